// cbmask: sets the acceptance code, or code and mask, of a CAN device and
// keeps it open for 10 seconds.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cbtool.h"

// A 32-bit value in C notation: decimal, 0x hex, 0 octal.
static bool value(const char *s, uint32_t &v)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long r = strtoull(s, &end, 0);
    if (*s == '\0' || *s == '-' || *s == '+' || *end != '\0' || errno != 0 || r > 0xFFFFFFFFull)
        return false;
    v = static_cast<uint32_t>(r);
    return true;
}

int main(int argc, char **argv)
{
    char device[300];
    snprintf(device, sizeof device, "/dev/%s", argc > 1 ? argv[1] : "can0");
    printf("usage: %s [dev] [acc_code] [acc_mask]\n", argv[0]);
    printf("using CAN device %s\n", device);
    fflush(stdout);
    uint32_t code = 0, mask = 0;
    for (int i = 2; i < argc && i < 4; ++i)
        if (!value(argv[i], i == 2 ? code : mask)) {
            fprintf(stderr, "%s: %s: not a 32-bit number (decimal, 0x hex, 0 octal): '%s'\n", argv[0],
                    i == 2 ? "acc_code" : "acc_mask", argv[i]);
            return 2;
        }
    int fd = open(device, O_RDWR);
    if (fd < 0) {
        fprintf(stderr, "Error opening CAN device %s\n", device);
        return 1;
    }
    if (argc == 3) {
        printf("change acc_code to 0x%x\n", code);
        request(fd, CAN_IOCTL_COMMAND, CMD_STOP, 0, 0, 0);
        request(fd, CAN_IOCTL_CONFIG, 0, CONF_ACCC, code, 0);
        request(fd, CAN_IOCTL_COMMAND, CMD_START, 0, 0, 0);
    } else if (argc >= 4) {
        printf("set acc_mask to 0x%x and acc_code to 0x%x\n", code, mask);
        request(fd, CAN_IOCTL_COMMAND, CMD_STOP, 0, 0, 0);
        request(fd, CAN_IOCTL_CONFIG, 0, CONF_ACCM_CODE, mask, code);
        request(fd, CAN_IOCTL_COMMAND, CMD_START, 0, 0, 0);
    }
    fflush(stdout);
    sleep(10);
    close(fd);
    return 0;
}
