// Run-time checks of -D_FORTIFY_SOURCE that came after the unit's library
// (GLIBC_2.4 has the others): done here with the same failure, __chk_fail.
// They call the unchecked functions: a checked open would call __open_2 again.
#undef _FORTIFY_SOURCE
#include <cstdarg>
#include <cstddef>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>

extern "C" {

[[noreturn]] void __chk_fail(void);

// poll with an array smaller than the count it is given (GLIBC_2.16).
__attribute__((visibility("hidden"))) int __poll_chk(struct pollfd *fds, nfds_t nfds, int timeout, size_t fdslen)
{
    if (fdslen / sizeof(*fds) < nfds) {
        __chk_fail();
    }
    return poll(fds, nfds, timeout);
}

// FD_SET, FD_CLR and FD_ISSET with a descriptor outside the set (GLIBC_2.15).
__attribute__((visibility("hidden"))) long int __fdelt_chk(long int d)
{
    if (d < 0 || d >= FD_SETSIZE) {
        __chk_fail();
    }
    return d / __NFDBITS;
}

// open and openat without a mode where one is needed (GLIBC_2.7): a file
// created with whatever was left in the register.
__attribute__((visibility("hidden"))) int __open_2(const char *path, int flags)
{
    if ((flags & O_CREAT) != 0 || (flags & __O_TMPFILE) == __O_TMPFILE) {
        __chk_fail();
    }
    return open(path, flags);
}

__attribute__((visibility("hidden"))) int __openat_2(int dirfd, const char *path, int flags)
{
    if ((flags & O_CREAT) != 0 || (flags & __O_TMPFILE) == __O_TMPFILE) {
        __chk_fail();
    }
    return openat(dirfd, path, flags);
}

} // extern "C"
