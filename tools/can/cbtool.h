// Steps the CAN tools share: command-line numbers, device names, opening a
// node, the controller requests, waiting on the device and standard input,
// keys and device failures. Each tool stays a single main over these.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "can4linux.h"

// The whole text as a number in C notation (decimal, 0x hex, 0 octal)
// within [min, max]. Parsed in 64 bits, so that the host and the unit
// (32-bit long) take and refuse the same texts.
inline bool number(const char *s, int64_t min, int64_t max, int64_t &v)
{
    char *end = nullptr;
    errno = 0;
    long long r = strtoll(s, &end, 0);
    if (*s == '\0' || *end != '\0' || errno != 0 || r < min || r > max)
        return false;
    v = r;
    return true;
}

// A number that fits 32 bits signed.
inline bool number(const char *s, long &v)
{
    int64_t r;
    if (!number(s, INT32_MIN, INT32_MAX, r))
        return false;
    v = static_cast<long>(r);
    return true;
}

// The device a command line names: a path as given, a bare name under /dev.
inline void device_path(char *out, size_t size, const char *arg)
{
    if (arg[0] == '.' || arg[0] == '/')
        snprintf(out, size, "%s", arg);
    else
        snprintf(out, size, "/dev/%s", arg);
}

// Always under /dev.
inline void device_name(char *out, size_t size, const char *name)
{
    snprintf(out, size, "/dev/%s", name);
}

// The start of the help of the tools that take [options] [device]
// (cbburst, cbdump): the usage line and the options they share.
inline void help_head(const char *program)
{
    fprintf(stderr, "usage: %s [options] [device]\n", program);
    fprintf(stderr, " -b baudrate  bit rate in Kbit/s (default -1: no change)\n"
                    " -d           debug\n"
                    " -n           non-blocking mode (default blocking)\n");
}

// Their first debug lines: the version line and the record size.
inline void debug_head(const char *program, const char *version)
{
    printf("%s %s\n", program, version);
    printf(" using canmsg_t with %d bytes\n", static_cast<int>(sizeof(canmsg_t)));
}

// Opens a node; the descriptor is closed on exec (set by hand: a 2.6.16
// kernel ignores O_CLOEXEC). -1 with errno.
inline int open_node(const char *device, int mode)
{
    int fd = open(device, mode | O_CLOEXEC);
    if (fd >= 0)
        fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    return fd;
}

// open_node with the tools' error line. -1 after it.
inline int open_or_complain(const char *device, int mode)
{
    int fd = open_node(device, mode);
    if (fd < 0)
        fprintf(stderr, "Error opening CAN device %s\n", device);
    return fd;
}

// One command or configuration record to the driver: 0, or the error
// number of a refusal (the ioctl failing, or the driver's answer in retval:
// EPERM when another open of the node configures it).
inline int request(int fd, unsigned long req, int32_t cmd, int32_t target, uint32_t val1, uint32_t val2 = 0)
{
    Command_par_t c{};
    c.cmd = cmd;
    c.target = target;
    c.val1 = val1;
    c.val2 = val2;
    if (ioctl(fd, req, &c) < 0)
        return errno;
    return c.retval < 0 ? -c.retval : c.retval;
}

// Stop, one configuration, start: the three always go; 0 or the first
// refusal's error number.
inline int configure(int fd, int32_t target, uint32_t val1, uint32_t val2 = 0)
{
    int e = request(fd, CAN_IOCTL_COMMAND, CMD_STOP, 0, 0);
    int c = request(fd, CAN_IOCTL_CONFIG, 0, target, val1, val2);
    int s = request(fd, CAN_IOCTL_COMMAND, CMD_START, 0, 0);
    return e != 0 ? e : c != 0 ? c : s;
}

// Sets the bit rate (Kbit/s). A refusal is said on standard error and the
// tool goes on at the rate the node has: only a node's first open may set
// it, and the program that opened it first (the application) has chosen.
inline void set_rate(int fd, long rate, const char *program)
{
    int e = configure(fd, CONF_TIMING, static_cast<uint32_t>(rate));
    if (e != 0)
        fprintf(stderr, "%s: bit rate %ld Kbit/s not set: %s\n", program, rate, strerror(e));
}

// Opens the device for a tool that reads (and writes) records, as it says
// with -d, and sets the bit rate when one was asked for (Kbit/s; 0 or less:
// keep it). -1 after the error line.
inline int open_device(const char *device, int mode, bool nonblocking, bool debug, long rate,
                       const char *program)
{
    int fd = open_or_complain(device, mode | (nonblocking ? O_NONBLOCK : 0));
    if (fd < 0)
        return -1;
    if (debug)
        printf(" CAN device %s opened in %sblocking mode\n", device, nonblocking ? "non-" : "");
    if (rate > 0) {
        if (debug)
            printf("change Bit-Rate to %d Kbit/s\n", static_cast<int>(rate));
        fflush(stdout);
        set_rate(fd, rate, program);
    }
    fflush(stdout);
    return fd;
}

// A read or write result that means the device failed for good (gone:
// ENODEV ...), not a retry (EAGAIN, EINTR): the system error is printed.
inline bool device_failed(ssize_t result, int error, const char *device)
{
    if (result >= 0 || error == EAGAIN || error == EINTR)
        return false;
    errno = error;
    perror(device);
    return true;
}

// Waits in select() without a time-out for the device (readable, and
// writable when asked) and, while `keys`, standard input. false after the
// system error line.
inline bool wait_ready(int fd, bool writing, bool keys, fd_set &rd, fd_set &wr)
{
    for (;;) {
        FD_ZERO(&rd);
        FD_ZERO(&wr);
        FD_SET(fd, &rd);
        if (writing)
            FD_SET(fd, &wr);
        if (keys)
            FD_SET(0, &rd);
        if (select(fd + 1, &rd, writing ? &wr : nullptr, nullptr, nullptr) >= 0)
            return true;
        if (errno != EINTR) {
            perror("select");
            return false;
        }
    }
}

// A key from standard input: " key = %x" with the byte read. At the end of
// input `keys` goes false, so that it is not watched (readable) for ever.
inline void report_key(bool &keys)
{
    unsigned char key;
    if (read(0, &key, 1) == 1) {
        printf(" key = %x\n", key);
        fflush(stdout);
    } else {
        keys = false;
    }
}
