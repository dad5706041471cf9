// cbjitter: writes blocks of 10 random messages to a CAN device every
// second, for as long as the device takes them.
#include "cbtool.h"

namespace
{

// Identifier 2..502 from the C library's random numbers (seeded by
// default), data "%ldabcde" of it (at most 8 characters), remote requests
// at multiples of 50.
canmsg_t random_message()
{
    canmsg_t m{};
    long id = 1 + static_cast<long>(500.0 * static_cast<double>(random()) / 2147483647.0 + 1.0);
    m.id = static_cast<uint32_t>(id);
    char text[32];
    snprintf(text, sizeof text, "%ldabcde", id);
    text[8] = '\0'; // at most 8 characters: the data field
    printf("send: '%s' \n", text);
    m.length = static_cast<int16_t>(strlen(text));
    memcpy(m.data, text, strlen(text));
    if (id % 50 == 0 && id <= 500)
        m.flags = MSG_RTR;
    return m;
}

} // namespace

int main(int argc, char **argv)
{
    char device[300];
    device_name(device, sizeof device, argc > 1 ? argv[1] : "can1");
    printf("using CAN device %s\n", device);
    fflush(stdout);
    int fd = open_or_complain(device, O_RDWR);
    if (fd < 0)
        return 1;
    canmsg_t tx[10];
    ssize_t r;
    do {
        for (canmsg_t &m : tx)
            m = random_message();
        fflush(stdout);
        r = write(fd, tx, 10);
        sleep(1);
    } while (r > 0);
    printf("not ready\n");
    close(fd);
    return 0;
}
