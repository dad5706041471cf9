// cbpoke: sends a counting message whenever the CAN device is writable,
// reports error records from the device and keys from standard input.
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "can4linux.h"

int main(int argc, char **argv)
{
    char device[300];
    snprintf(device, sizeof device, "/dev/%s", argc > 1 ? argv[1] : "can0");
    printf("using CAN device %s, ", device);
    fflush(stdout);
    int fd = open(device, O_RDWR);
    if (fd < 0) {
        fprintf(stderr, "Error opening CAN device %s\n", device);
        return 1;
    }
    printf("got can_fd  %d\n", fd);
    fflush(stdout);

    canmsg_t tx{};
    tx.id = 100;
    tx.length = 8;
    uint64_t counter = 0;
    bool keys = true; // standard input still open
    for (;;) {
        fd_set rd, wr;
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        FD_SET(fd, &rd);
        FD_SET(fd, &wr);
        if (keys)
            FD_SET(0, &rd);
        if (select(fd + 1, &rd, &wr, nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            perror("select");
            return 1;
        }
        if (FD_ISSET(fd, &wr)) {
            memcpy(tx.data, &counter, 8);
            if (write(fd, &tx, 1) < 0 && errno != EAGAIN && errno != EINTR) {
                perror(device); // the device failed (gone)
                return 1;
            }
            ++counter;
        }
        if (FD_ISSET(fd, &rd)) {
            canmsg_t rx;
            ssize_t got = read(fd, &rx, 1);
            if (got < 0 && errno != EAGAIN && errno != EINTR) {
                perror(device);
                return 1;
            }
            if (got == 1 && rx.id == CAN_ERROR_ID) {
                printf(" Error %d\n", rx.flags);
                if ((rx.flags & MSG_BUSOFF) != 0)
                    printf(" - BUSOFF");
                if ((rx.flags & MSG_PASSIVE) != 0)
                    printf(" - ERROR PASSIVE");
                fflush(stdout);
            }
        }
        if (keys && FD_ISSET(0, &rd)) {
            unsigned char key;
            if (read(0, &key, 1) == 1) {
                printf(" key = %x\n", key);
                fflush(stdout);
            } else {
                keys = false; // end of input: nothing more to watch there
            }
        }
    }
}
