// cbclock: sets the bit rate of a CAN device and sends one test message
// (0x55 everywhere) to be watched on the cable.
#include "cbtool.h"

int main(int argc, char **argv)
{
    printf("usage: %s [dev] [bit_rate]\n", argv[0]);
    printf("   e.g. %s /dev/can0 125\n", argv[0]);
    printf("   sends one message at that bit rate,\n");
    printf("   to be watched on the cable with an oscilloscope\n");
    if (argc < 2)
        return 1;
    const char *device = argv[1];
    long rate = 250;
    if (argc > 2 && !number(argv[2], rate)) {
        fprintf(stderr, "%s: bit_rate: not a number: '%s'\n", argv[0], argv[2]);
        return 2;
    }
    printf("using CAN device %s\n", device);
    printf("set baudrate to %d Kbit/s\n", static_cast<int>(rate));
    fflush(stdout);
    int fd = open_or_complain(device, O_RDWR);
    if (fd < 0)
        return 1;
    if (rate > 0)
        set_rate(fd, rate, argv[0]);
    canmsg_t m{};
    m.id = 0x55;
    m.length = 8;
    memset(m.data, 0x55, 8);
    ssize_t r = write(fd, &m, 1);
    if (r < 0)
        perror("write error");
    else if (r == 0)
        fprintf(stderr, "transmit timed out\n");
    sleep(30);
    close(fd);
    return 0;
}
