#include "can4linuxAdapter.h"

#include <sys/ioctl.h>

int CAN_command(int fd, int cmd)
{
    Command_par_t command{};
    command.cmd = cmd;
    return ioctl(fd, CAN_IOCTL_COMMAND, &command);
}

extern "C" int set_bitrate(int fd, int baud)
{
    CAN_command(fd, CMD_STOP);
    Config_par_t config{};
    config.target = CONF_TIMING;
    config.val1 = static_cast<uint32_t>(baud);
    ioctl(fd, CAN_IOCTL_CONFIG, &config);
    CAN_command(fd, CMD_START);
    return 0;
}
