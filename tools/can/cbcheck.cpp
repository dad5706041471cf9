// cbcheck: verifies the numbered message sequence on a CAN device (or on
// records from standard input): identifiers 0..2042, lengths 0..8, one
// sequence number per length cycle carried in the data.
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
    int rate = 0;
    bool debug = false, extended = false;
    char device[300] = "/dev/can0";
    bool from_stdin = false;
    int opt;
    while ((opt = getopt(argc, argv, "b:dehrs:n:D:t:T:V")) != -1) {
        long v;
        switch (opt) {
        case 'b':
            if (!number(optarg, v)) {
                fprintf(stderr, "%s: -b: not a bit rate: '%s'\n", argv[0], optarg);
                return 2;
            }
            rate = static_cast<int>(v);
            break;
        case 'd':
            debug = true;
            break;
        case 'e':
            extended = true;
            break;
        case 'D':
            if (strcmp(optarg, "stdin") == 0)
                from_stdin = true;
            else
                snprintf(device, sizeof device, "/dev/%s", optarg);
            break;
        case 'V':
            printf("%s cbcheck V1.0\n", argv[0]);
            return 0;
        case 'r':
        case 's':
        case 'n':
        case 't':
        case 'T':
            break; // accepted, no effect
        default:
            fprintf(stderr, "usage: %s options\n", argv[0]);
            fprintf(stderr, " -b baudrate   change the bit rate, in Kbit/s (default: no change)\n"
                            " -d            debug: print every record\n"
                            " -e            extended identifiers (wrap after 0x1FFFFFFA, not 2042)\n"
                            " -D device     /dev/<device> (default can0); \"stdin\" reads records from standard input\n"
                            " -V            version\n");
            return 0;
        }
    }

    int fd = 0;
    if (!from_stdin) {
        fd = open(device, O_RDWR);
        if (fd < 0) {
            fprintf(stderr, "open error %d;", errno);
            perror(device);
            return 1;
        }
        if (debug)
            printf("opened %s succesful, got can_fd = %d\n", device, fd);
        if (rate != 0) {
            if (debug)
                printf("change Bit-Rate to %d Kbit/s\n", rate);
            request(fd, CAN_IOCTL_COMMAND, CMD_STOP, 0, 0);
            request(fd, CAN_IOCTL_CONFIG, 0, CONF_TIMING, static_cast<uint32_t>(rate));
            request(fd, CAN_IOCTL_COMMAND, CMD_START, 0, 0);
        }
    }

    uint32_t expected_id = 0;
    int expected_len = 0;
    long long seq = 0;
    const uint32_t last_id = extended ? 0x1FFFFFFAu : 2042u;
    canmsg_t rx[9];
    size_t carry = 0; // octets of a record begun on standard input
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(fd, &rd);
        if (select(fd + 1, &rd, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            perror("select");
            break;
        }
        int got;
        if (from_stdin) {
            // A pipe may hand over part of a record: it is kept for the next read.
            ssize_t r = read(fd, reinterpret_cast<char *>(rx) + carry, sizeof rx - carry);
            if (r <= 0) {
                got = static_cast<int>(r);
            } else {
                size_t have = carry + static_cast<size_t>(r);
                got = static_cast<int>(have / sizeof(canmsg_t));
                carry = have % sizeof(canmsg_t);
                if (got == 0)
                    continue;
            }
        } else {
            got = static_cast<int>(read(fd, rx, 9));
        }
        printf("%d ", got);
        fflush(stdout);
        if (got <= 0)
            break;
        for (int i = 0; i < got; ++i) {
            const canmsg_t &r = rx[i];
            if (debug) {
                printf("%10ld/0x%08lx : %d : ", static_cast<long>(static_cast<int32_t>(r.id)),
                       static_cast<unsigned long>(r.id), r.length);
                for (int k = 0; k < r.length && k < 8; ++k)
                    printf("%02x ", r.data[k]);
                printf("\n");
                fflush(stdout);
            }
            if (r.id != expected_id) {
                printf("wrong message Id received: %0lx, expected %0x, in seq %lld\n",
                       static_cast<unsigned long>(r.id), expected_id, seq);
                expected_id = r.id;
            }
            if (r.length != expected_len) {
                printf("wrong message length: %d, expected %d, in seq %lld\n", r.length, expected_len, seq);
            } else {
                if (r.length == 1 || r.length == 2 || r.length == 4 || r.length == 8) {
                    bool same = true;
                    for (int k = 0; k < r.length; ++k)
                        same = same && r.data[k] == static_cast<uint8_t>(static_cast<unsigned long long>(seq) >> (8 * k));
                    if (!same)
                        printf("----wrong data, %d exp: %lld\n", r.length, seq);
                }
                if (++expected_len == 9) {
                    expected_len = 0;
                    ++seq;
                    printf(" seq %lld\n", seq);
                }
            }
            expected_id = expected_id >= last_id ? 0 : expected_id + 1;
        }
        fflush(stdout);
    }
    fflush(stdout);
    if (!from_stdin) {
        if (close(fd) != 0) {
            fprintf(stderr, "close error %d;", errno);
            perror(device);
            return 1;
        }
        if (debug)
            printf("closed fd = %d succesful\n", fd);
    }
    return 0;
}
