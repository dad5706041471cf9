// cbmask: sets the acceptance code, or code and mask, of a CAN device and
// keeps it open for 10 seconds.
#include "cbtool.h"

int main(int argc, char **argv)
{
    char device[300];
    device_name(device, sizeof device, argc > 1 ? argv[1] : "can0");
    printf("usage: %s [dev] [acc_code] [acc_mask]\n", argv[0]);
    printf("using CAN device %s\n", device);
    fflush(stdout);
    // 32-bit values in C notation, not negative.
    int64_t values[2] = {0, 0};
    for (int i = 2; i < argc && i < 4; ++i)
        if (argv[i][0] == '-' || argv[i][0] == '+' || !number(argv[i], 0, UINT32_MAX, values[i - 2])) {
            fprintf(stderr, "%s: %s: not a 32-bit number (decimal, 0x hex, 0 octal): '%s'\n", argv[0],
                    i == 2 ? "acc_code" : "acc_mask", argv[i]);
            return 2;
        }
    const uint32_t code = static_cast<uint32_t>(values[0]), mask = static_cast<uint32_t>(values[1]);
    int fd = open_or_complain(device, O_RDWR);
    if (fd < 0)
        return 1;
    int refused = 0;
    if (argc == 3) {
        printf("change acc_code to 0x%x\n", code);
        refused = configure(fd, CONF_ACCC, code);
    } else if (argc >= 4) {
        printf("set acc_mask to 0x%x and acc_code to 0x%x\n", code, mask);
        refused = configure(fd, CONF_ACCM_CODE, mask, code);
    }
    fflush(stdout);
    if (refused != 0) {
        // Nothing was set (EPERM: another program opened the node first and
        // configures it): say so instead of waiting as if it had been.
        fprintf(stderr, "%s: %s not set: %s\n", argv[0], argc == 3 ? "acc_code" : "acc_mask and acc_code",
                strerror(refused));
        close(fd);
        return 1;
    }
    sleep(10);
    close(fd);
    return 0;
}
