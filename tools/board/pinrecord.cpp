#include "pinrecord.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int64_t pin_readLimit(const char *text)
{
    if (text == nullptr || *text == '\0') {
        return 0;
    }
    char *end = nullptr;
    errno = 0;
    // long long, not long: 64 bits on the target as on the host.
    const long long v = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || v <= 0) {
        return -1;
    }
    return v;
}

ssize_t pin_shortRead(int fd, void *buffer, size_t length, int64_t limit)
{
    auto *p = static_cast<unsigned char *>(buffer);
    size_t got = 0;
    while (got < length) {
        size_t ask = length - got;
        // Compared in 64 bits: a limit beyond size_t is no limit.
        if (limit > 0 && static_cast<uint64_t>(ask) > static_cast<uint64_t>(limit)) {
            ask = static_cast<size_t>(limit);
        }
        const ssize_t n = read(fd, p + got, ask);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return n;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

int pin_formatEvent(char *out, size_t size, const GpioEventRecord &r)
{
    return snprintf(out, size, "[ev=%li.%09li, rep=%li.%09li, %u, %u, %u]\n", static_cast<long>(r.event_sec),
                    static_cast<long>(r.event_nsec), static_cast<long>(r.report_sec),
                    static_cast<long>(r.report_nsec), r.sequence, r.address, r.value);
}
