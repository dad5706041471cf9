#include "can4linuxAdapter.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace
{

// A command or configuration request. The driver answers a refusal in the
// record's retval (its sign differs between drivers) and lets the ioctl
// itself succeed; both ways end here as -1 with errno.
int CAN_request(int fd, unsigned long request, Command_par_t &record)
{
    if (ioctl(fd, request, &record) < 0) {
        return -1;
    }
    if (record.retval != 0) {
        errno = record.retval < 0 ? -record.retval : record.retval;
        return -1;
    }
    return 0;
}

} // namespace

int CAN_openDevice(const char *path, int flags)
{
    int fd = open(path, flags | O_CLOEXEC);
    // A 2.6.16 kernel ignores O_CLOEXEC in open(): set it by hand.
    if (fd >= 0) {
        fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    return fd;
}

int CAN_command(int fd, int cmd)
{
    Command_par_t command{};
    command.cmd = cmd;
    return CAN_request(fd, CAN_IOCTL_COMMAND, command);
}

int CAN_setBitrate(int fd, int baud)
{
    int error = CAN_command(fd, CMD_STOP) < 0 ? errno : 0;
    Config_par_t config{};
    config.target = CONF_TIMING;
    config.val1 = static_cast<uint32_t>(baud);
    if (CAN_request(fd, CAN_IOCTL_CONFIG, config) < 0 && error == 0) {
        error = errno;
    }
    if (CAN_command(fd, CMD_START) < 0 && error == 0) {
        error = errno;
    }
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

extern "C" int set_bitrate(int fd, int baud)
{
    CAN_setBitrate(fd, baud);
    return 0;
}
