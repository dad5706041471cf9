// cbdump: reads records from a CAN device and prints them, for ever.
#include "cbtool.h"

namespace
{

const char kVersion[] = " V 1.2, Jul 17 2006";

struct Options {
    long rate = -1, sleep_ms = 1000;
    bool debug = false, nonblocking = false;
    char device[300] = "/dev/can0";
};

void help(const char *program)
{
    help_head(program);
    fprintf(stderr, " -s sleep     sleep after each read in non-blocking mode, ms (default 1000)\n"
                    " -V           version\n"
                    " device       default /dev/can0\n");
}

// -1: go on; otherwise the exit status.
int options(int argc, char **argv, Options &o)
{
    int opt;
    while ((opt = getopt(argc, argv, "b:dhs:nV")) != -1) {
        switch (opt) {
        case 'b':
        case 's': {
            long &v = opt == 'b' ? o.rate : o.sleep_ms;
            if (!number(optarg, v) || (opt == 's' && v < 0)) {
                fprintf(stderr, "%s: -%c: not a %s: '%s'\n", argv[0], opt,
                        opt == 's' ? "time in ms (0 or more)" : "number", optarg);
                return 2;
            }
            break;
        }
        case 'd':
            o.debug = true;
            break;
        case 'n':
            o.nonblocking = true;
            break;
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

void print_record(const canmsg_t &m, int got)
{
    printf("Received with ret=%d: %12lu.%06lu id=%ld\n", got, static_cast<unsigned long>(m.seconds),
           static_cast<unsigned long>(m.microseconds), static_cast<long>(static_cast<int32_t>(m.id)));
    printf("\tlen=%d msg=", m.length);
    for (int k = 0; k < m.length && k < 8; ++k)
        printf(" %02x", m.data[k]);
    printf(" flags=0x%02x\n", static_cast<unsigned>(m.flags));
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (int status = options(argc, argv, o); status >= 0)
        return status;
    if (o.debug) {
        debug_head(argv[0], kVersion);
    }
    int fd = open_device(o.device, O_RDONLY, o.nonblocking, o.debug, o.rate, argv[0]);
    if (fd < 0)
        return 1;
    static canmsg_t rx[100];
    const int want = o.nonblocking ? 100 : 1;
    for (;;) {
        ssize_t got = read(fd, rx, want);
        int e = errno;
        for (ssize_t i = 0; i < got; ++i)
            print_record(rx[i], static_cast<int>(got));
        if (got <= 0) {
            printf("Received with ret=%d\n", static_cast<int>(got));
            fflush(stdout);
            // The device failed (gone): reading on would only repeat this.
            if (device_failed(got, e, o.device))
                return 1;
        }
        if (o.nonblocking && o.sleep_ms > 0)
            usleep(static_cast<useconds_t>(o.sleep_ms) * 1000);
    }
}
