// Descriptor calls the unit's C library and kernel lack: pipe2 (Linux 2.6.27,
// GLIBC_2.9) and eventfd (Linux 2.6.22, GLIBC_2.7), made of calls that Linux
// 2.6.16 and GLIBC_2.4 have. Flags are set right after creation, so a program
// that forks from another thread in between may hand the descriptor on; the
// deliverables' children are started with their descriptors closed.
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace
{

int set_flags(int fd, int flags)
{
    if ((flags & O_CLOEXEC) != 0 && fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
        return -1;
    }
    if ((flags & O_NONBLOCK) != 0) {
        const int fl = fcntl(fd, F_GETFL);
        if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) != 0) {
            return -1;
        }
    }
    return 0;
}

void close_keeping_errno(int fd)
{
    const int saved = errno;
    close(fd);
    errno = saved;
}

} // namespace

extern "C" {

__attribute__((visibility("hidden"))) int pipe2(int fds[2], int flags)
{
    if ((flags & ~(O_CLOEXEC | O_NONBLOCK)) != 0) {
        errno = EINVAL;
        return -1;
    }
    int p[2];
    if (pipe(p) != 0) {
        return -1;
    }
    if (set_flags(p[0], flags) != 0 || set_flags(p[1], flags) != 0) {
        close_keeping_errno(p[0]);
        close_keeping_errno(p[1]);
        return -1;
    }
    fds[0] = p[0];
    fds[1] = p[1];
    return 0;
}

// One descriptor that is readable once something was written to it: a pipe
// reopened for reading and writing through /proc. Unlike the kernel's
// counter, written values queue one by one (a read returns the oldest 8
// octets, not their sum), which is all a wake-up needs.
__attribute__((visibility("hidden"))) int eventfd(unsigned int initval, int flags)
{
    if ((flags & ~(EFD_CLOEXEC | EFD_NONBLOCK)) != 0) { // no semaphore mode
        errno = EINVAL;
        return -1;
    }
    int p[2];
    if (pipe(p) != 0) {
        return -1;
    }
    char path[32];
    snprintf(path, sizeof path, "/proc/self/fd/%d", p[0]);
    const int fd = open(path, O_RDWR);
    close_keeping_errno(p[0]);
    close_keeping_errno(p[1]);
    if (fd < 0) {
        return -1;
    }
    const int fdflags = ((flags & EFD_CLOEXEC) != 0 ? O_CLOEXEC : 0) | ((flags & EFD_NONBLOCK) != 0 ? O_NONBLOCK : 0);
    const eventfd_t value = initval;
    if (set_flags(fd, fdflags) != 0 || (initval != 0 && write(fd, &value, sizeof value) != sizeof value)) {
        close_keeping_errno(fd);
        return -1;
    }
    return fd;
}

} // extern "C"
