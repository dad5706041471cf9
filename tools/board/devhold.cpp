// devhold device: puts a serial device into the fixed line mode the board's
// peripherals expect (115200 8N1, RTS/CTS, raw) and leaves it so.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2) {
        errno = EINVAL;
        perror("device necessary");
        printf("leave with error: no device\n");
        return 255;
    }
    const int fd = open(argv[1], O_RDWR | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        perror("try to open fd");
        printf("argv[0]: %s\n", argv[0]);
        printf("cannot open fd: %d\n", fd);
        return 255;
    }
    termios t;
    memset(&t, 0, sizeof t); // every other control character 0
    t.c_iflag = IGNBRK | IGNPAR;
    t.c_oflag = 0;
    t.c_cflag = B115200 | CS8 | CREAD | CLOCAL | CRTSCTS;
    t.c_lflag = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5; // tenths of a second
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        perror("tcsetattr()");
        return 255;
    }
    // The settings outlive us: exit closes the device without touching them.
    return 0;
}
