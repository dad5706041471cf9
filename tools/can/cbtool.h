// Steps the CAN tools share: a command-line number and a command request to
// the driver. Each tool stays a single main that includes this.
#pragma once

#include <sys/ioctl.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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
