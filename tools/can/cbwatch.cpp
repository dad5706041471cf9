// cbwatch: prints every record received on a CAN device, using select() on
// the device and standard input; reports keys.
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "can4linux.h"

int main(int argc, char **argv)
{
    printf("usage: %s <dev>]\n", argv[0]);
    printf("   e.g.:");
    printf("   %s /dev/can0\n", argv[0]);
    printf("   wait for CAN messages using select()");
    if (argc < 2) {
        printf("\n");
        return 1;
    }
    const char *device = argv[1];
    printf("using CAN device %s, ", device);
    fflush(stdout);
    int fd = open(device, O_RDWR);
    if (fd < 0) {
        fprintf(stderr, "Error opening CAN device %s\n", device);
        return 1;
    }
    printf("got can_fd  %d\n", fd);
    fflush(stdout);

    bool keys = true;
    canmsg_t rx[16];
    for (;;) {
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(fd, &rd);
        if (keys)
            FD_SET(0, &rd);
        if (select(fd + 1, &rd, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            perror("select");
            return 1;
        }
        if (FD_ISSET(fd, &rd)) {
            ssize_t got = read(fd, rx, 16);
            int e = errno;
            if (got <= 0) {
                printf("Received with ret=%d\n", static_cast<int>(got));
                fflush(stdout);
                if (got < 0 && e != EAGAIN && e != EINTR) {
                    errno = e;
                    perror(device); // the device failed (gone)
                    return 1;
                }
            }
            for (ssize_t i = 0; i < got; ++i) {
                const canmsg_t &m = rx[i];
                bool rtr = (m.flags & MSG_RTR) != 0;
                printf("Received at %12lu.%06lu ", static_cast<unsigned long>(m.seconds),
                       static_cast<unsigned long>(m.microseconds));
                printf(": %c%c 0x%08lx : %d bytes:", (m.flags & MSG_EXT) != 0 ? 'x' : 's', rtr ? 'R' : 'D',
                       static_cast<unsigned long>(m.id), m.length);
                if (m.length > 0) {
                    printf("\t");
                    if (rtr)
                        printf("(RTR no data)");
                    else
                        for (int k = 0; k < m.length && k < 8; ++k)
                            printf("%02x ", m.data[k]);
                }
                printf("\n");
                fflush(stdout);
            }
        }
        if (keys && FD_ISSET(0, &rd)) {
            unsigned char key;
            if (read(0, &key, 1) == 1) {
                printf(" key = %x\n", key);
                fflush(stdout);
            } else {
                keys = false;
            }
        }
    }
}
