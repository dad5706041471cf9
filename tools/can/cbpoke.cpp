// cbpoke: sends a counting message whenever the CAN device is writable,
// reports error records from the device and keys from standard input.
#include "cbtool.h"

namespace
{

// An error record from the driver: its flags and the states they name.
void report_error(const canmsg_t &rx)
{
    printf(" Error %d\n", rx.flags);
    if ((rx.flags & MSG_BUSOFF) != 0)
        printf(" - BUSOFF");
    if ((rx.flags & MSG_PASSIVE) != 0)
        printf(" - ERROR PASSIVE");
    fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    char device[300];
    device_name(device, sizeof device, argc > 1 ? argv[1] : "can0");
    printf("using CAN device %s, ", device);
    fflush(stdout);
    int fd = open_or_complain(device, O_RDWR);
    if (fd < 0)
        return 1;
    printf("got can_fd  %d\n", fd);
    fflush(stdout);

    canmsg_t tx{};
    tx.id = 100;
    tx.length = 8;
    uint64_t counter = 0;
    bool keys = true; // standard input still open
    fd_set rd, wr;
    while (wait_ready(fd, true, keys, rd, wr)) {
        if (FD_ISSET(fd, &wr)) {
            memcpy(tx.data, &counter, 8);
            ssize_t put = write(fd, &tx, 1);
            if (device_failed(put, errno, device))
                return 1;
            ++counter;
        }
        if (FD_ISSET(fd, &rd)) {
            canmsg_t rx;
            ssize_t got = read(fd, &rx, 1);
            if (device_failed(got, errno, device))
                return 1;
            if (got == 1 && rx.id == CAN_ERROR_ID)
                report_error(rx);
        }
        if (keys && FD_ISSET(0, &rd))
            report_key(keys);
    }
    return 1;
}
