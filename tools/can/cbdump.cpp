// cbdump: reads records from a CAN device and prints them, for ever.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cbtool.h"

int main(int argc, char **argv)
{
    static const char version[] = " V 1.2, Jul 17 2006";
    long rate = -1, sleep_ms = 1000;
    bool debug = false, nonblocking = false;
    int opt;
    while ((opt = getopt(argc, argv, "b:dhs:nV")) != -1) {
        long v;
        switch (opt) {
        case 'b':
        case 's':
            if (!number(optarg, v) || (opt == 's' && v < 0)) {
                fprintf(stderr, "%s: -%c: not a %s: '%s'\n", argv[0], opt,
                        opt == 's' ? "time in ms (0 or more)" : "number", optarg);
                return 2;
            }
            (opt == 'b' ? rate : sleep_ms) = v;
            break;
        case 'd':
            debug = true;
            break;
        case 'n':
            nonblocking = true;
            break;
        case 'V':
            printf("%s %s\n", argv[0], version);
            return 0;
        default:
            fprintf(stderr, "usage: %s [options] [device]\n", argv[0]);
            fprintf(stderr, " -b baudrate  bit rate in Kbit/s (default -1: no change)\n"
                            " -d           debug\n"
                            " -n           non-blocking mode (default blocking)\n"
                            " -s sleep     sleep after each read in non-blocking mode, ms (default 1000)\n"
                            " -V           version\n"
                            " device       default /dev/can0\n");
            return 0;
        }
    }
    char device[300] = "/dev/can0";
    if (optind < argc)
        device_path(device, sizeof device, argv[optind]);
    if (debug) {
        printf("%s %s\n", argv[0], version);
        printf(" using canmsg_t with %d bytes\n", static_cast<int>(sizeof(canmsg_t)));
    }
    int fd = open_device(device, O_RDONLY, nonblocking, debug, rate);
    if (fd < 0)
        return 1;

    static canmsg_t rx[100];
    const int want = nonblocking ? 100 : 1;
    for (;;) {
        ssize_t got = read(fd, rx, want);
        int e = errno;
        if (got > 0) {
            for (ssize_t i = 0; i < got; ++i) {
                const canmsg_t &m = rx[i];
                printf("Received with ret=%d: %12lu.%06lu id=%ld\n", static_cast<int>(got),
                       static_cast<unsigned long>(m.seconds), static_cast<unsigned long>(m.microseconds),
                       static_cast<long>(static_cast<int32_t>(m.id)));
                printf("\tlen=%d msg=", m.length);
                for (int k = 0; k < m.length && k < 8; ++k)
                    printf(" %02x", m.data[k]);
                printf(" flags=0x%02x\n", static_cast<unsigned>(m.flags));
                fflush(stdout);
            }
        } else {
            printf("Received with ret=%d\n", static_cast<int>(got));
            fflush(stdout);
            if (got < 0 && e != EAGAIN && e != EINTR) {
                // The device failed (gone): reading on would only repeat this.
                errno = e;
                perror(device);
                return 1;
            }
        }
        if (nonblocking && sleep_ms > 0)
            usleep(static_cast<useconds_t>(sleep_ms) * 1000);
    }
}
