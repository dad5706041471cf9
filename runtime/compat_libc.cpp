// Data and calls that libstdc++ and today's C library headers expect of a
// newer library than the unit's.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

// Fills buf from the kernel's random pool; false (errno set) if it cannot.
bool read_urandom(void *buf, size_t len)
{
    const int fd = open("/dev/urandom", O_RDONLY | O_NOCTTY);
    if (fd < 0) {
        return false;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    auto *p = static_cast<unsigned char *>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = read(fd, p + got, len - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            if (n == 0) {
                errno = EIO;
            }
            break;
        }
    }
    const int saved = errno;
    close(fd);
    errno = saved;
    return got == len;
}

} // namespace

extern "C" {

// Set by GLIBC_2.32 on while a process has one thread; libstdc++ then skips
// atomic reference counts. Zero means "may have threads": always atomic.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;

// In the C library from 2.17; the unit's has it in librt only. The system
// call is as old as Linux 2.6.0.
__attribute__((visibility("hidden"))) int clock_gettime(clockid_t id, struct timespec *ts) noexcept
{
    return static_cast<int>(syscall(SYS_clock_gettime, id, ts));
}

// std::random_device's sources (GLIBC_2.25 and 2.36), from /dev/urandom: the
// getrandom call behind the library's own needs Linux 3.17.
__attribute__((visibility("hidden"))) int getentropy(void *buf, size_t len)
{
    if (len > 256) {
        errno = EIO;
        return -1;
    }
    return read_urandom(buf, len) ? 0 : -1;
}

__attribute__((visibility("hidden"))) uint32_t arc4random(void) noexcept
{
    uint32_t r;
    if (!read_urandom(&r, sizeof r)) {
        // Like the library's own: no number is better than a guessable one.
        fprintf(stderr, "cannot read /dev/urandom: %s\n", strerror(errno));
        abort();
    }
    return r;
}

} // extern "C"
