// stat, fstat and lstat as functions: before GLIBC_2.33 they were inline
// wrappers around the versioned __xstat calls, which the unit's library
// exports (and which the virtual board's preload library redirects).
#include <sys/stat.h>

namespace
{
// The layout of struct stat the wrappers fill on ARM.
constexpr int kStatVersion = 3;
} // namespace

extern "C" {

int __xstat(int, const char *, struct stat *);
int __lxstat(int, const char *, struct stat *);
int __fxstat(int, int, struct stat *);

__attribute__((visibility("hidden"))) int stat(const char *path, struct stat *buf) noexcept
{
    return __xstat(kStatVersion, path, buf);
}

__attribute__((visibility("hidden"))) int lstat(const char *path, struct stat *buf) noexcept
{
    return __lxstat(kStatVersion, path, buf);
}

__attribute__((visibility("hidden"))) int fstat(int fd, struct stat *buf) noexcept
{
    return __fxstat(kStatVersion, fd, buf);
}

} // extern "C"
