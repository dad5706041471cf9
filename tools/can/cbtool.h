// Steps the CAN tools share: a command-line number and a command request to
// the driver. Each tool stays a single main that includes this.
#pragma once

#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>

#include "can4linux.h"

// The whole text as a number that fits 32 bits (decimal, 0x hex, 0 octal).
inline bool number(const char *s, long &v)
{
    char *end = nullptr;
    errno = 0;
    v = strtol(s, &end, 0);
    return *s != '\0' && *end == '\0' && errno == 0 && v >= -2147483647L - 1 && v <= 2147483647L;
}

// A command record to the driver; its answer is not looked at.
inline void request(int fd, unsigned long req, int32_t cmd, int32_t target, uint32_t val1, uint32_t val2 = 0)
{
    Command_par_t c{};
    c.cmd = cmd;
    c.target = target;
    c.val1 = val1;
    c.val2 = val2;
    ioctl(fd, req, &c);
}

// The device a command line names: a path as given, a bare name under /dev.
inline void device_path(char *out, size_t size, const char *arg)
{
    if (arg[0] == '.' || arg[0] == '/')
        snprintf(out, size, "%s", arg);
    else
        snprintf(out, size, "/dev/%s", arg);
}

// Opens the device for a tool that reads (and writes) records, as it says
// with -d, and sets the bit rate when one was asked for (Kbit/s; 0 or less:
// keep it).
// -1 after the error line.
inline int open_device(const char *device, int mode, bool nonblocking, bool debug, long rate)
{
    int fd = open(device, mode | (nonblocking ? O_NONBLOCK : 0));
    if (fd < 0) {
        fprintf(stderr, "Error opening CAN device %s\n", device);
        return -1;
    }
    if (debug)
        printf(" CAN device %s opened in %sblocking mode\n", device, nonblocking ? "non-" : "");
    if (rate > 0) {
        if (debug)
            printf("change Bit-Rate to %d Kbit/s\n", static_cast<int>(rate));
        request(fd, CAN_IOCTL_COMMAND, CMD_STOP, 0, 0);
        request(fd, CAN_IOCTL_CONFIG, 0, CONF_TIMING, static_cast<uint32_t>(rate));
        request(fd, CAN_IOCTL_COMMAND, CMD_START, 0, 0);
    }
    fflush(stdout);
    return fd;
}
