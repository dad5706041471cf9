// cbwatch: prints every record received on a CAN device, using select() on
// the device and standard input; reports keys.
#include "cbtool.h"

namespace
{

void print_record(const canmsg_t &m)
{
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

} // namespace

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
    int fd = open_or_complain(device, O_RDWR);
    if (fd < 0)
        return 1;
    printf("got can_fd  %d\n", fd);
    fflush(stdout);

    bool keys = true;
    canmsg_t rx[16];
    fd_set rd, wr;
    while (wait_ready(fd, false, keys, rd, wr)) {
        if (FD_ISSET(fd, &rd)) {
            ssize_t got = read(fd, rx, 16);
            int e = errno;
            if (got <= 0) {
                printf("Received with ret=%d\n", static_cast<int>(got));
                fflush(stdout);
                if (device_failed(got, e, device))
                    return 1;
            }
            for (ssize_t i = 0; i < got; ++i)
                print_record(rx[i]);
        }
        if (keys && FD_ISSET(0, &rd))
            report_key(keys);
    }
    return 1;
}
