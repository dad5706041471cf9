// cbburst: writes blocks of 100 prepared records to a CAN device until at
// least the count is reached; the running total rides in record 0.
#include "cbtool.h"

namespace
{

const char kVersion[] = " V 1.1, Jul 17 2006";
constexpr int kBlock = 100;

struct Options {
    long rate = -1, count = 100;
    bool debug = false, nonblocking = false;
    char device[300] = "/dev/can1";
};

void help(const char *program)
{
    help_head(program);
    fprintf(stderr, " -s value     accepted, no effect\n"
                    " -T count     messages to send (default 100)\n"
                    " -V           version\n"
                    " device       default /dev/can1\n");
}

// -1: go on; otherwise the exit status.
int options(int argc, char **argv, Options &o)
{
    int opt;
    while ((opt = getopt(argc, argv, "b:dhs:nT:V")) != -1) {
        switch (opt) {
        case 'b':
        case 'T':
            if (!number(optarg, opt == 'b' ? o.rate : o.count)) {
                fprintf(stderr, "%s: -%c: not a number: '%s'\n", argv[0], opt, optarg);
                return 2;
            }
            break;
        case 'd':
            o.debug = true;
            break;
        case 'n':
            o.nonblocking = true;
            break;
        case 's':
            break; // accepted, no effect
        case 'V':
            printf("%s %s\n", argv[0], kVersion);
            return 0;
        default:
            help(argv[0]);
            return 0;
        }
    }
    if (optind < argc)
        device_path(o.device, sizeof o.device, argv[optind]);
    return -1;
}

// Writes the block until `count` records are queued: 0, or 1 when the
// device failed. Only queued records count (a -1 would count backwards).
int send(int fd, canmsg_t *tx, long count)
{
    long total = 0;
    do {
        uint32_t t = static_cast<uint32_t>(total);
        memcpy(tx[0].data, &t, 4);
        ssize_t r = write(fd, tx, kBlock);
        if (r > 0) {
            total += r;
            continue;
        }
        int e = errno;
        printf("sent %d;", static_cast<int>(r));
        fflush(stdout);
        errno = e;
        perror("sent");
        if (r < 0 && e == EAGAIN) {
            // Non-blocking: wait until the queue has room instead of spinning.
            fd_set wr;
            FD_ZERO(&wr);
            FD_SET(fd, &wr);
            select(fd + 1, nullptr, &wr, nullptr, nullptr);
        } else if (r < 0 && e != EINTR) {
            return 1; // the device failed: no count to reach
        }
    } while (total < count);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (int status = options(argc, argv, o); status >= 0)
        return status;
    if (o.debug) {
        debug_head(argv[0], kVersion);
        printf(" max count %ld messages, %d with each write()\n", o.count, kBlock);
    }
    int fd = open_device(o.device, O_RDWR, o.nonblocking, o.debug, o.rate, argv[0]);
    if (fd < 0)
        return 1;
    canmsg_t tx[kBlock];
    for (int i = 0; i < kBlock; ++i) {
        tx[i] = canmsg_t{};
        tx[i].id = static_cast<uint32_t>(i);
        char text[16];
        snprintf(text, sizeof text, "msg %4d", i);
        memcpy(tx[i].data, text, 8);
        tx[i].length = 8;
    }
    int status = send(fd, tx, o.count);
    fflush(stdout);
    sleep(1);
    close(fd);
    return status;
}
