// cbburst: writes blocks of 100 prepared records to a CAN device until at
// least the count is reached; the running total rides in record 0.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cbtool.h"

int main(int argc, char **argv)
{
    static const char version[] = " V 1.1, Jul 17 2006";
    const int block = 100;
    long rate = -1, count = 100;
    bool debug = false, nonblocking = false;
    int opt;
    while ((opt = getopt(argc, argv, "b:dhs:nT:V")) != -1) {
        long v;
        switch (opt) {
        case 'b':
        case 'T':
            if (!number(optarg, v)) {
                fprintf(stderr, "%s: -%c: not a number: '%s'\n", argv[0], opt, optarg);
                return 2;
            }
            (opt == 'b' ? rate : count) = v;
            break;
        case 'd':
            debug = true;
            break;
        case 'n':
            nonblocking = true;
            break;
        case 's':
            break; // accepted, no effect
        case 'V':
            printf("%s %s\n", argv[0], version);
            return 0;
        default:
            fprintf(stderr, "usage: %s [options] [device]\n", argv[0]);
            fprintf(stderr, " -b baudrate  bit rate in Kbit/s (default -1: no change)\n"
                            " -d           debug\n"
                            " -n           non-blocking mode (default blocking)\n"
                            " -s value     accepted, no effect\n"
                            " -T count     messages to send (default 100)\n"
                            " -V           version\n"
                            " device       default /dev/can1\n");
            return 0;
        }
    }
    char device[300] = "/dev/can1";
    if (optind < argc)
        device_path(device, sizeof device, argv[optind]);
    if (debug) {
        printf("%s %s\n", argv[0], version);
        printf(" using canmsg_t with %d bytes\n", static_cast<int>(sizeof(canmsg_t)));
        printf(" max count %ld messages, %d with each write()\n", count, block);
    }
    int fd = open_device(device, O_RDWR, nonblocking, debug, rate);
    if (fd < 0)
        return 1;

    canmsg_t tx[block];
    for (int i = 0; i < block; ++i) {
        tx[i] = canmsg_t{};
        tx[i].id = static_cast<uint32_t>(i);
        char text[16];
        snprintf(text, sizeof text, "msg %4d", i);
        memcpy(tx[i].data, text, 8);
        tx[i].length = 8;
    }
    int status = 0;
    long total = 0;
    do {
        uint32_t t = static_cast<uint32_t>(total);
        memcpy(tx[0].data, &t, 4);
        ssize_t r = write(fd, tx, block);
        if (r <= 0) {
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
                status = 1; // the device failed: no count to reach
                break;
            }
            continue;
        }
        total += r;
    } while (total < count);
    fflush(stdout);
    sleep(1);
    close(fd);
    return status;
}
