// Board paths: absolute device and attribute paths of the board's
// namespaces are redirected under VBOARD_ROOT, host plumbing passes through.
//
//   /dev/...           redirected, except the host's own devices that every
//                      process (and the JVM) needs: null zero full random
//                      urandom tty ptmx console stdin stdout stderr log kmsg
//                      and the directories fd pts shm mqueue hugepages
//   /sys/...           redirected, except fs kernel module power firmware
//                      block dev bus/cpu devices/system (cgroups, CPUs, ...)
//   /proc/sys/Can/...  redirected (the CAN driver's attributes)
//   anything else      untouched
//
// Paths are normalised lexically ("//", ".", "..") before the rule is
// applied, so "/dev/../etc/passwd" is "/etc/passwd" and stays on the host.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <sys/time.h>
#include <sys/xattr.h>

#include "preload.h"

#define VBP_EXPORT extern "C" __attribute__((visibility("default")))

// Entry points of the C library that its headers no longer declare: the
// versioned stat wrappers older binaries call, and the 64-bit time variants
// of the 32-bit ABI.
extern "C" {
int __xstat(int, const char *, struct stat *);
int __lxstat(int, const char *, struct stat *);
int __fxstatat(int, int, const char *, struct stat *, int);
int __xstat64(int, const char *, struct stat64 *);
int __lxstat64(int, const char *, struct stat64 *);
int __fxstatat64(int, int, const char *, struct stat64 *, int);
int __open_2(const char *, int);
int __open64_2(const char *, int);
int __openat_2(int, const char *, int);
int __openat64_2(int, const char *, int);
char *__realpath_chk(const char *, char *, size_t);
#if defined(__arm__)
int __stat64_time64(const char *, void *);
int __lstat64_time64(const char *, void *);
int __fstatat64_time64(int, const char *, void *, int);
#endif
}

void *vbp_next(const char *name) {
  void *f = dlsym(RTLD_NEXT, name);
  if (f == nullptr) {
    // A versioned-only (compat) symbol: ask for the version this ABI has.
#if defined(__x86_64__)
    f = dlvsym(RTLD_NEXT, name, "GLIBC_2.2.5");
#elif defined(__arm__)
    f = dlvsym(RTLD_NEXT, name, "GLIBC_2.4");
#endif
  }
  if (f == nullptr) {
    static const char msg[] = "vboard preload: C library function missing: ";
    (void)!::write(2, msg, sizeof msg - 1);
    (void)!::write(2, name, strlen(name));
    (void)!::write(2, "\n", 1);
    abort();
  }
  return f;
}

namespace {

struct root_info {
  char path[PATH_MAX];
  size_t len;
  bool set;
};

root_info load_root() {
  root_info r{};
  const char *env = getenv("VBOARD_ROOT");
  if (env == nullptr || env[0] != '/') return r;
  size_t len = strlen(env);
  while (len > 1 && env[len - 1] == '/') --len;
  if (len >= sizeof r.path - 1) return r;
  memcpy(r.path, env, len);
  r.path[len] = '\0';
  r.len = len;
  r.set = true;
  return r;
}

const root_info &root() {
  static const root_info r = load_root();
  return r;
}

// First component of rest ("pts/3" -> "pts") equal to one of names.
bool first_component_in(const char *rest, const char *const *names) {
  size_t n = strcspn(rest, "/");
  for (; *names != nullptr; ++names) {
    if (strlen(*names) == n && memcmp(*names, rest, n) == 0) return true;
  }
  return false;
}

// p under prefix ("/dev" matches "/dev" and "/dev/x"); *rest is what follows.
bool under(const char *p, const char *prefix, const char **rest) {
  size_t n = strlen(prefix);
  if (strncmp(p, prefix, n) != 0) return false;
  if (p[n] == '\0') {
    *rest = p + n;
    return true;
  }
  if (p[n] != '/') return false;
  *rest = p + n + 1;
  return true;
}

const char *const kHostDev[] = {"null",   "zero",  "full",   "random", "urandom", "tty",
                                "ptmx",   "console", "stdin", "stdout", "stderr",  "log",
                                "kmsg",   "fd",    "pts",    "shm",    "mqueue",  "hugepages",
                                nullptr};
const char *const kHostSys[] = {"fs", "kernel", "module", "power", "firmware", "block", "dev",
                                nullptr};

bool in_board(const char *p) {
  const char *rest;
  if (under(p, "/dev", &rest)) return *rest == '\0' || !first_component_in(rest, kHostDev);
  if (under(p, "/sys", &rest)) {
    if (*rest == '\0') return true;
    if (first_component_in(rest, kHostSys)) return false;
    const char *sub;
    if (under(p, "/sys/devices/system", &sub) || under(p, "/sys/bus/cpu", &sub)) return false;
    return true;
  }
  return under(p, "/proc/sys/Can", &rest);
}

// Lexical normalisation of an absolute path into out (without root).
bool normalise(const char *path, char *out, size_t cap) {
  size_t len = 0;
  const char *s = path;
  while (*s != '\0') {
    while (*s == '/') ++s;
    if (*s == '\0') break;
    size_t n = strcspn(s, "/");
    if (n == 1 && s[0] == '.') {
      // nothing
    } else if (n == 2 && s[0] == '.' && s[1] == '.') {
      while (len > 0 && out[len - 1] != '/') --len;
      if (len > 0) --len;
    } else {
      if (len + 1 + n >= cap) return false;
      out[len++] = '/';
      memcpy(out + len, s, n);
      len += n;
    }
    s += n;
  }
  if (len == 0) out[len++] = '/';
  out[len] = '\0';
  return true;
}

}  // namespace

const char *vbp_root() { return root().set ? root().path : nullptr; }

bool vbp_translate(const char *path, vbp_path *out) {
  out->path = path;
  out->redirected = false;
  out->board_len = 0;
  const root_info &r = root();
  if (!r.set || path == nullptr || path[0] != '/') return true;
  char norm[PATH_MAX];
  if (!normalise(path, norm, sizeof norm) || !in_board(norm)) return true;
  size_t n = strlen(norm);
  if (r.len + n >= sizeof out->buf) {
    errno = ENAMETOOLONG;
    return false;
  }
  memcpy(out->buf, r.path, r.len);
  memcpy(out->buf + r.len, norm, n + 1);
  out->path = out->buf;
  out->redirected = true;
  out->board_len = r.len;
  return true;
}

namespace {

// The board's view of a host path inside one of the board's namespaces:
// the root prefix removed (in place).
void strip_root(char *p) {
  const root_info &r = root();
  if (!r.set || p == nullptr || strncmp(p, r.path, r.len) != 0 || p[r.len] != '/') return;
  if (in_board(p + r.len)) memmove(p, p + r.len, strlen(p + r.len) + 1);
}

// Emulated devices are sockets on the host; the program sees them as
// character devices, as on the unit.
template <typename M>
void show_device(bool redirected, M &mode) {
  if (redirected && S_ISSOCK(mode)) mode = static_cast<M>((mode & ~S_IFMT) | S_IFCHR);
}

mode_t take_mode(int flags, va_list ap) {
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) return va_arg(ap, mode_t);
  return 0;
}

}  // namespace

int vbp_open_board(int dirfd, const vbp_path *p, int flags, mode_t mode, bool large) {
  VBP_REAL(openat);
  VBP_REAL(openat64);
  VBP_REAL(stat);
  if (p->redirected) {
    struct stat st;
    if (real_stat(p->path, &st) == 0 && S_ISSOCK(st.st_mode)) return vbp_device_open(p->path, flags);
  }
  int fd = large ? real_openat64(dirfd, p->path, flags, mode) : real_openat(dirfd, p->path, flags, mode);
  if (fd >= 0 && p->redirected) vbp_serial_opened(fd, p);
  return fd;
}

// ---- open family

#define VBP_TRANSLATE(var, path, fail) \
  vbp_path var;                        \
  if (!vbp_translate(path, &var)) return fail

VBP_EXPORT int open(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = take_mode(flags, ap);
  va_end(ap);
  VBP_TRANSLATE(p, path, -1);
  return vbp_open_board(AT_FDCWD, &p, flags, mode, false);
}

VBP_EXPORT int open64(const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = take_mode(flags, ap);
  va_end(ap);
  VBP_TRANSLATE(p, path, -1);
  return vbp_open_board(AT_FDCWD, &p, flags, mode, true);
}

VBP_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = take_mode(flags, ap);
  va_end(ap);
  VBP_TRANSLATE(p, path, -1);
  return vbp_open_board(dirfd, &p, flags, mode, false);
}

VBP_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = take_mode(flags, ap);
  va_end(ap);
  VBP_TRANSLATE(p, path, -1);
  return vbp_open_board(dirfd, &p, flags, mode, true);
}

VBP_EXPORT int __open_2(const char *path, int flags) {
  VBP_TRANSLATE(p, path, -1);
  return vbp_open_board(AT_FDCWD, &p, flags, 0, false);
}
VBP_EXPORT int __open64_2(const char *path, int flags) {
  VBP_TRANSLATE(p, path, -1);
  return vbp_open_board(AT_FDCWD, &p, flags, 0, true);
}
VBP_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
  VBP_TRANSLATE(p, path, -1);
  return vbp_open_board(dirfd, &p, flags, 0, false);
}
VBP_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
  VBP_TRANSLATE(p, path, -1);
  return vbp_open_board(dirfd, &p, flags, 0, true);
}

VBP_EXPORT int creat(const char *path, mode_t mode) {
  VBP_TRANSLATE(p, path, -1);
  return vbp_open_board(AT_FDCWD, &p, O_CREAT | O_WRONLY | O_TRUNC, mode, false);
}
VBP_EXPORT int creat64(const char *path, mode_t mode) {
  VBP_TRANSLATE(p, path, -1);
  return vbp_open_board(AT_FDCWD, &p, O_CREAT | O_WRONLY | O_TRUNC, mode, true);
}

// ---- stdio

namespace {

// stdio on an emulated device goes through the forwarding calls; the C
// library's own stream code would read the socket underneath.
ssize_t cookie_read(void *c, char *buf, size_t n) {
  return ::read(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n);
}
ssize_t cookie_write(void *c, const char *buf, size_t n) {
  return ::write(static_cast<int>(reinterpret_cast<intptr_t>(c)), buf, n);
}
int cookie_close(void *c) { return ::close(static_cast<int>(reinterpret_cast<intptr_t>(c))); }

int stdio_flags(const char *mode) {
  int flags = 0;
  bool plus = strchr(mode, '+') != nullptr;
  switch (mode[0]) {
    case 'r': flags = plus ? O_RDWR : O_RDONLY; break;
    case 'w': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC; break;
    case 'a': flags = (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND; break;
    default: return -1;
  }
  if (strchr(mode, 'e') != nullptr) flags |= O_CLOEXEC;
  if (strchr(mode, 'x') != nullptr) flags |= O_EXCL;
  return flags;
}

// A stream on an emulated device, or nullptr with *handled false when the
// node is not one.
FILE *device_stream(const vbp_path *p, const char *mode, bool *handled) {
  VBP_REAL(stat);
  *handled = false;
  struct stat st;
  if (!p->redirected || real_stat(p->path, &st) != 0 || !S_ISSOCK(st.st_mode)) return nullptr;
  *handled = true;
  int flags = stdio_flags(mode);
  if (flags < 0) {
    errno = EINVAL;
    return nullptr;
  }
  int fd = vbp_device_open(p->path, flags);
  if (fd < 0) return nullptr;
  cookie_io_functions_t io{cookie_read, cookie_write, nullptr, cookie_close};
  FILE *f = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
  if (f == nullptr) {
    int e = errno;
    ::close(fd);
    errno = e;
  }
  return f;
}

}  // namespace

VBP_EXPORT FILE *fopen(const char *path, const char *mode) {
  VBP_REAL(fopen);
  VBP_TRANSLATE(p, path, nullptr);
  bool handled;
  FILE *f = device_stream(&p, mode, &handled);
  if (handled) return f;
  f = real_fopen(p.path, mode);
  if (f != nullptr && p.redirected) vbp_serial_opened(fileno(f), &p);
  return f;
}

VBP_EXPORT FILE *fopen64(const char *path, const char *mode) {
  VBP_REAL(fopen64);
  VBP_TRANSLATE(p, path, nullptr);
  bool handled;
  FILE *f = device_stream(&p, mode, &handled);
  if (handled) return f;
  f = real_fopen64(p.path, mode);
  if (f != nullptr && p.redirected) vbp_serial_opened(fileno(f), &p);
  return f;
}

VBP_EXPORT FILE *freopen(const char *path, const char *mode, FILE *stream) {
  VBP_REAL(freopen);
  VBP_TRANSLATE(p, path, nullptr);
  return real_freopen(p.path, mode, stream);
}

VBP_EXPORT FILE *freopen64(const char *path, const char *mode, FILE *stream) {
  VBP_REAL(freopen64);
  VBP_TRANSLATE(p, path, nullptr);
  return real_freopen64(p.path, mode, stream);
}

// ---- stat family

#define VBP_STAT(name, type, field)                 \
  VBP_EXPORT int name(const char *path, type *st) { \
    VBP_REAL(name);                                 \
    VBP_TRANSLATE(p, path, -1);                     \
    int r = real_##name(p.path, st);                \
    if (r == 0) show_device(p.redirected, st->field); \
    return r;                                       \
  }
VBP_STAT(stat, struct stat, st_mode)
VBP_STAT(lstat, struct stat, st_mode)
VBP_STAT(stat64, struct stat64, st_mode)
VBP_STAT(lstat64, struct stat64, st_mode)

#define VBP_XSTAT(name, type)                                \
  VBP_EXPORT int name(int ver, const char *path, type *st) { \
    VBP_REAL(name);                                          \
    VBP_TRANSLATE(p, path, -1);                              \
    int r = real_##name(ver, p.path, st);                    \
    if (r == 0) show_device(p.redirected, st->st_mode);      \
    return r;                                                \
  }
VBP_XSTAT(__xstat, struct stat)
VBP_XSTAT(__lxstat, struct stat)
VBP_XSTAT(__xstat64, struct stat64)
VBP_XSTAT(__lxstat64, struct stat64)

VBP_EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) {
  VBP_REAL(fstatat);
  VBP_TRANSLATE(p, path, -1);
  int r = real_fstatat(dirfd, p.path, st, flags);
  if (r == 0) show_device(p.redirected, st->st_mode);
  return r;
}
VBP_EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *st, int flags) {
  VBP_REAL(fstatat64);
  VBP_TRANSLATE(p, path, -1);
  int r = real_fstatat64(dirfd, p.path, st, flags);
  if (r == 0) show_device(p.redirected, st->st_mode);
  return r;
}
VBP_EXPORT int __fxstatat(int ver, int dirfd, const char *path, struct stat *st, int flags) {
  VBP_REAL(__fxstatat);
  VBP_TRANSLATE(p, path, -1);
  int r = real___fxstatat(ver, dirfd, p.path, st, flags);
  if (r == 0) show_device(p.redirected, st->st_mode);
  return r;
}
VBP_EXPORT int __fxstatat64(int ver, int dirfd, const char *path, struct stat64 *st, int flags) {
  VBP_REAL(__fxstatat64);
  VBP_TRANSLATE(p, path, -1);
  int r = real___fxstatat64(ver, dirfd, p.path, st, flags);
  if (r == 0) show_device(p.redirected, st->st_mode);
  return r;
}
VBP_EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask, struct statx *st) {
  VBP_REAL(statx);
  VBP_TRANSLATE(p, path, -1);
  int r = real_statx(dirfd, p.path, flags, mask, st);
  if (r == 0) show_device(p.redirected, st->stx_mode);
  return r;
}

#if defined(__arm__)
VBP_EXPORT int __stat64_time64(const char *path, void *st) {
  VBP_REAL(__stat64_time64);
  VBP_TRANSLATE(p, path, -1);
  return real___stat64_time64(p.path, st);
}
VBP_EXPORT int __lstat64_time64(const char *path, void *st) {
  VBP_REAL(__lstat64_time64);
  VBP_TRANSLATE(p, path, -1);
  return real___lstat64_time64(p.path, st);
}
VBP_EXPORT int __fstatat64_time64(int dirfd, const char *path, void *st, int flags) {
  VBP_REAL(__fstatat64_time64);
  VBP_TRANSLATE(p, path, -1);
  return real___fstatat64_time64(dirfd, p.path, st, flags);
}
#endif

// ---- other calls that name one path

#define VBP_PATH1(ret, name, params, args) \
  VBP_EXPORT ret name params {             \
    VBP_REAL(name);                        \
    VBP_TRANSLATE(p, path, -1);            \
    return real_##name args;               \
  }
VBP_PATH1(int, access, (const char *path, int mode), (p.path, mode))
VBP_PATH1(int, euidaccess, (const char *path, int mode), (p.path, mode))
VBP_PATH1(int, eaccess, (const char *path, int mode), (p.path, mode))
VBP_PATH1(int, faccessat, (int dirfd, const char *path, int mode, int flags),
          (dirfd, p.path, mode, flags))
VBP_PATH1(ssize_t, readlink, (const char *path, char *buf, size_t size), (p.path, buf, size))
VBP_PATH1(ssize_t, readlinkat, (int dirfd, const char *path, char *buf, size_t size),
          (dirfd, p.path, buf, size))
VBP_PATH1(int, unlink, (const char *path), (p.path))
VBP_PATH1(int, unlinkat, (int dirfd, const char *path, int flags), (dirfd, p.path, flags))
VBP_PATH1(int, mkdir, (const char *path, mode_t mode), (p.path, mode))
VBP_PATH1(int, mkdirat, (int dirfd, const char *path, mode_t mode), (dirfd, p.path, mode))
VBP_PATH1(int, rmdir, (const char *path), (p.path))
VBP_PATH1(int, chmod, (const char *path, mode_t mode), (p.path, mode))
VBP_PATH1(int, fchmodat, (int dirfd, const char *path, mode_t mode, int flags),
          (dirfd, p.path, mode, flags))
VBP_PATH1(int, chown, (const char *path, uid_t uid, gid_t gid), (p.path, uid, gid))
VBP_PATH1(int, lchown, (const char *path, uid_t uid, gid_t gid), (p.path, uid, gid))
VBP_PATH1(int, truncate, (const char *path, off_t length), (p.path, length))
VBP_PATH1(int, truncate64, (const char *path, off64_t length), (p.path, length))
VBP_PATH1(int, mknod, (const char *path, mode_t mode, dev_t dev), (p.path, mode, dev))
VBP_PATH1(int, mkfifo, (const char *path, mode_t mode), (p.path, mode))
VBP_PATH1(int, utime, (const char *path, const struct utimbuf *times), (p.path, times))
VBP_PATH1(int, utimes, (const char *path, const struct timeval times[2]), (p.path, times))
VBP_PATH1(int, utimensat, (int dirfd, const char *path, const struct timespec times[2], int flags),
          (dirfd, p.path, times, flags))
VBP_PATH1(int, chdir, (const char *path), (p.path))
VBP_PATH1(ssize_t, getxattr, (const char *path, const char *name, void *value, size_t size),
          (p.path, name, value, size))
VBP_PATH1(ssize_t, lgetxattr, (const char *path, const char *name, void *value, size_t size),
          (p.path, name, value, size))
VBP_PATH1(ssize_t, listxattr, (const char *path, char *list, size_t size), (p.path, list, size))
VBP_PATH1(ssize_t, llistxattr, (const char *path, char *list, size_t size), (p.path, list, size))

VBP_EXPORT int symlink(const char *target, const char *path) {
  VBP_REAL(symlink);
  VBP_TRANSLATE(p, path, -1);
  return real_symlink(target, p.path);
}
VBP_EXPORT int symlinkat(const char *target, int dirfd, const char *path) {
  VBP_REAL(symlinkat);
  VBP_TRANSLATE(p, path, -1);
  return real_symlinkat(target, dirfd, p.path);
}
VBP_EXPORT int rename(const char *from, const char *path) {
  VBP_REAL(rename);
  VBP_TRANSLATE(f, from, -1);
  VBP_TRANSLATE(p, path, -1);
  return real_rename(f.path, p.path);
}
VBP_EXPORT int renameat(int fromfd, const char *from, int dirfd, const char *path) {
  VBP_REAL(renameat);
  VBP_TRANSLATE(f, from, -1);
  VBP_TRANSLATE(p, path, -1);
  return real_renameat(fromfd, f.path, dirfd, p.path);
}
VBP_EXPORT int link(const char *from, const char *path) {
  VBP_REAL(link);
  VBP_TRANSLATE(f, from, -1);
  VBP_TRANSLATE(p, path, -1);
  return real_link(f.path, p.path);
}

VBP_EXPORT DIR *opendir(const char *path) {
  VBP_REAL(opendir);
  VBP_TRANSLATE(p, path, nullptr);
  return real_opendir(p.path);
}

VBP_EXPORT char *realpath(const char *path, char *resolved) {
  VBP_REAL(realpath);
  VBP_TRANSLATE(p, path, nullptr);
  char *r = real_realpath(p.path, resolved);
  strip_root(r);
  return r;
}

VBP_EXPORT char *__realpath_chk(const char *path, char *resolved, size_t size) {
  VBP_REAL(__realpath_chk);
  VBP_TRANSLATE(p, path, nullptr);
  char *r = real___realpath_chk(p.path, resolved, size);
  strip_root(r);
  return r;
}

VBP_EXPORT char *getcwd(char *buf, size_t size) {
  VBP_REAL(getcwd);
  char *r = real_getcwd(buf, size);
  strip_root(r);
  return r;
}
