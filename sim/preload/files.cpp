// The descriptors the preload serves itself (emulated devices, serial lines
// with emulated modem-control lines): a table indexed by descriptor, kept
// right across close and dup, and the calls that dispatch on it. Every other
// descriptor costs one atomic load per call and goes straight to the C
// library.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "preload.h"

#define VBP_EXPORT extern "C" __attribute__((visibility("default")))

using vboard::wire::IoctlEntry;

struct vbp_file {
    vbp_kind kind;
    int side;             // control connection to the emulator
    int fds;              // descriptors that refer to this file (dup)
    int uses;             // calls in progress
    pthread_mutex_t lock; // one exchange at a time on side
    IoctlEntry *table;    // sizes of the requests not encoded in their number
    size_t entries;
    uint32_t record;      // octets per counted unit of read/write
};

namespace
{

constexpr int kMaxFd = 65536;
std::atomic<vbp_file *> g_files[kMaxFd];
pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;

bool in_range(int fd)
{
    return fd >= 0 && fd < kMaxFd;
}

void destroy(vbp_file *f)
{
    VBP_REAL(close);
    real_close(f->side);
    pthread_mutex_destroy(&f->lock);
    free(f->table);
    free(f);
}

// Drops the binding of fd (caller holds g_lock); returns the file to destroy.
vbp_file *unbind_locked(int fd)
{
    vbp_file *f = g_files[fd].exchange(nullptr, std::memory_order_acq_rel);
    if (f == nullptr)
        return nullptr;
    --f->fds;
    return (f->fds == 0 && f->uses == 0) ? f : nullptr;
}

// newfd now refers to the same open file as f (nullptr: to none of ours).
void rebind(int newfd, vbp_file *f)
{
    if (!in_range(newfd))
        return;
    pthread_mutex_lock(&g_lock);
    vbp_file *dead = unbind_locked(newfd);
    if (f != nullptr) {
        ++f->fds;
        g_files[newfd].store(f, std::memory_order_release);
    }
    pthread_mutex_unlock(&g_lock);
    if (dead != nullptr)
        destroy(dead);
}

bool send_all(int side, const vbp_exchange *x, const int *fds, int nfds)
{
    vboard::wire::Request req = x->req;
    req.len = static_cast<uint32_t>(x->out_len);
    iovec iov[2] = {{&req, sizeof req}, {const_cast<void *>(x->out), x->out_len}};
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = x->out_len > 0 ? 2 : 1;
    alignas(cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
    if (nfds > 0) {
        m.msg_control = control;
        m.msg_controllen = CMSG_SPACE(static_cast<size_t>(nfds) * sizeof(int));
        cmsghdr *c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(static_cast<size_t>(nfds) * sizeof(int));
        memcpy(CMSG_DATA(c), fds, static_cast<size_t>(nfds) * sizeof(int));
    }
    ssize_t n;
    do {
        n = sendmsg(side, &m, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)
            errno = EIO;
        return false;
    }
    return true;
}

bool receive(int side, vbp_exchange *x)
{
    VBP_REAL(close);
    iovec iov[2] = {{&x->reply, sizeof x->reply}, {x->in, x->in_cap}};
    msghdr m{};
    m.msg_iov = iov;
    m.msg_iovlen = x->in_cap > 0 ? 2 : 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(side, &m, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    int got = -1;
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS &&
            c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            memcpy(&got, CMSG_DATA(c), sizeof got);
        }
    }
    bool ok = n >= static_cast<ssize_t>(sizeof x->reply) && (m.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
              x->reply.len == static_cast<size_t>(n) - sizeof x->reply;
    if (ok && x->fd_out != nullptr) {
        *x->fd_out = got;
    } else if (got >= 0) {
        real_close(got);
    }
    if (!ok)
        errno = EIO; // the emulator went away or broke the protocol
    return ok;
}

} // namespace

bool vbp_side_exchange(int side, vbp_exchange *x, const int *fds, int nfds)
{
    if (x->fd_out != nullptr)
        *x->fd_out = -1;
    return send_all(side, x, fds, nfds) && receive(side, x);
}

bool vbp_file_exchange(vbp_file *f, vbp_exchange *x)
{
    pthread_mutex_lock(&f->lock);
    bool ok = vbp_side_exchange(f->side, x, nullptr, 0);
    int e = errno;
    pthread_mutex_unlock(&f->lock);
    errno = e;
    return ok;
}

vbp_file *vbp_file_get(int fd)
{
    if (!in_range(fd) || g_files[fd].load(std::memory_order_acquire) == nullptr)
        return nullptr;
    pthread_mutex_lock(&g_lock);
    vbp_file *f = g_files[fd].load(std::memory_order_acquire);
    if (f != nullptr)
        ++f->uses;
    pthread_mutex_unlock(&g_lock);
    return f;
}

void vbp_file_put(vbp_file *f)
{
    pthread_mutex_lock(&g_lock);
    bool dead = --f->uses == 0 && f->fds == 0;
    pthread_mutex_unlock(&g_lock);
    if (dead)
        destroy(f);
}

vbp_kind vbp_file_kind(const vbp_file *f)
{
    return f->kind;
}

uint32_t vbp_file_record(const vbp_file *f)
{
    return f->record;
}

bool vbp_file_attach(int fd, vbp_kind kind, int side, const IoctlEntry *table, size_t entries, uint32_t record)
{
    if (!in_range(fd)) {
        errno = EMFILE;
        return false;
    }
    auto *f = static_cast<vbp_file *>(calloc(1, sizeof(vbp_file)));
    if (f == nullptr)
        return false;
    if (entries > 0) {
        f->table = static_cast<IoctlEntry *>(malloc(entries * sizeof(IoctlEntry)));
        if (f->table == nullptr) {
            free(f);
            return false;
        }
        memcpy(f->table, table, entries * sizeof(IoctlEntry));
        f->entries = entries;
    }
    f->kind = kind;
    f->side = side;
    f->record = record > 1 ? record : 1;
    pthread_mutex_init(&f->lock, nullptr);
    rebind(fd, f);
    return true;
}

void vbp_file_ioctl_shape(const vbp_file *f, unsigned long request, uint32_t *size, uint32_t *dir)
{
    for (size_t i = 0; i < f->entries; ++i) {
        if (f->table[i].request == static_cast<uint32_t>(request)) {
            *size = f->table[i].size;
            *dir = f->table[i].dir;
            return;
        }
    }
    *size = static_cast<uint32_t>(_IOC_SIZE(request));
    *dir = 0;
    if ((_IOC_DIR(request) & _IOC_WRITE) != 0)
        *dir |= vboard::wire::kIn;
    if ((_IOC_DIR(request) & _IOC_READ) != 0)
        *dir |= vboard::wire::kOut;
    if (*size == 0)
        *dir = vboard::wire::kByValue;
}

// ---- calls on descriptors

VBP_EXPORT int close(int fd)
{
    VBP_REAL(close);
    if (in_range(fd) && g_files[fd].load(std::memory_order_acquire) != nullptr)
        rebind(fd, nullptr);
    return real_close(fd);
}

VBP_EXPORT int dup(int fd)
{
    VBP_REAL(dup);
    int r = real_dup(fd);
    vbp_file *f = vbp_file_get(fd);
    if (f != nullptr) {
        if (r >= 0)
            rebind(r, f);
        vbp_file_put(f);
    }
    return r;
}

namespace
{
int dup_onto(int oldfd, int r)
{
    if (r < 0 || r == oldfd)
        return r;
    vbp_file *f = vbp_file_get(oldfd);
    rebind(r, f);
    if (f != nullptr)
        vbp_file_put(f);
    return r;
}
} // namespace

VBP_EXPORT int dup2(int oldfd, int newfd)
{
    VBP_REAL(dup2);
    return dup_onto(oldfd, real_dup2(oldfd, newfd));
}

VBP_EXPORT int dup3(int oldfd, int newfd, int flags)
{
    VBP_REAL(dup3);
    return dup_onto(oldfd, real_dup3(oldfd, newfd, flags));
}

namespace
{
int fcntl_common(int (*real)(int, int, ...), int fd, int cmd, va_list ap)
{
    void *arg = va_arg(ap, void *);
    int r = real(fd, cmd, arg);
    if ((cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC) && r >= 0) {
        vbp_file *f = vbp_file_get(fd);
        if (f != nullptr) {
            rebind(r, f);
            vbp_file_put(f);
        }
    }
    return r;
}
} // namespace

VBP_EXPORT int fcntl(int fd, int cmd, ...)
{
    VBP_REAL(fcntl);
    va_list ap;
    va_start(ap, cmd);
    int r = fcntl_common(real_fcntl, fd, cmd, ap);
    va_end(ap);
    return r;
}

VBP_EXPORT int fcntl64(int fd, int cmd, ...)
{
    VBP_REAL(fcntl64);
    va_list ap;
    va_start(ap, cmd);
    int r = fcntl_common(real_fcntl64, fd, cmd, ap);
    va_end(ap);
    return r;
}

VBP_EXPORT ssize_t read(int fd, void *buf, size_t count)
{
    VBP_REAL(read);
    vbp_file *f = vbp_file_get(fd);
    if (f == nullptr)
        return real_read(fd, buf, count);
    return vbp_with_file(f, [&](vbp_file *v) {
        return v->kind == VBP_DEVICE ? vbp_device_read(v, fd, buf, count) : real_read(fd, buf, count);
    });
}

extern "C" ssize_t __read_chk(int, void *, size_t, size_t);
VBP_EXPORT ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen)
{
    if (count > buflen)
        abort(); // what the checked variant does
    return read(fd, buf, count);
}

VBP_EXPORT ssize_t write(int fd, const void *buf, size_t count)
{
    VBP_REAL(write);
    vbp_file *f = vbp_file_get(fd);
    if (f == nullptr)
        return real_write(fd, buf, count);
    return vbp_with_file(f, [&](vbp_file *v) {
        return v->kind == VBP_DEVICE ? vbp_device_write(v, fd, buf, count) : real_write(fd, buf, count);
    });
}

namespace
{
// Vectored transfers on a device go through one buffer, as one request.
ssize_t device_readv(vbp_file *f, int fd, const iovec *iov, int count)
{
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += iov[i].iov_len;
    char buf[4096];
    size_t n = std::min(total, sizeof buf);
    // A record device counts records: as many as the buffer holds.
    size_t record = vbp_file_record(f);
    ssize_t r = vbp_device_read(f, fd, buf, n / record);
    size_t got = r > 0 ? static_cast<size_t>(r) * record : 0;
    size_t done = 0;
    for (int i = 0; i < count && done < got; ++i) {
        size_t part = std::min(iov[i].iov_len, got - done);
        memcpy(iov[i].iov_base, buf + done, part);
        done += part;
    }
    return r;
}

ssize_t device_writev(vbp_file *f, int fd, const iovec *iov, int count)
{
    char buf[4096];
    size_t n = 0;
    for (int i = 0; i < count && n < sizeof buf; ++i) {
        size_t part = std::min(iov[i].iov_len, sizeof buf - n);
        memcpy(buf + n, iov[i].iov_base, part);
        n += part;
    }
    return vbp_device_write(f, fd, buf, n / vbp_file_record(f));
}
} // namespace

VBP_EXPORT ssize_t readv(int fd, const struct iovec *iov, int count)
{
    VBP_REAL(readv);
    vbp_file *f = vbp_file_get(fd);
    if (f == nullptr)
        return real_readv(fd, iov, count);
    return vbp_with_file(f, [&](vbp_file *v) {
        return v->kind == VBP_DEVICE ? device_readv(v, fd, iov, count) : real_readv(fd, iov, count);
    });
}

VBP_EXPORT ssize_t writev(int fd, const struct iovec *iov, int count)
{
    VBP_REAL(writev);
    vbp_file *f = vbp_file_get(fd);
    if (f == nullptr)
        return real_writev(fd, iov, count);
    return vbp_with_file(f, [&](vbp_file *v) {
        return v->kind == VBP_DEVICE ? device_writev(v, fd, iov, count) : real_writev(fd, iov, count);
    });
}

namespace
{
int ioctl_common(int fd, unsigned long request, void *arg)
{
    VBP_REAL(ioctl);
    vbp_file *f = vbp_file_get(fd);
    if (f == nullptr)
        return real_ioctl(fd, request, arg);
    return vbp_with_file(f, [&](vbp_file *v) {
        int r;
        if (v->kind == VBP_DEVICE) {
            r = vbp_device_ioctl(v, fd, request, arg);
        } else if (!vbp_serial_ioctl(v, request, arg, &r)) {
            r = real_ioctl(fd, request, arg);
        }
        return r;
    });
}
} // namespace

VBP_EXPORT int ioctl(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return ioctl_common(fd, request, arg);
}

#if defined(__arm__)
extern "C" int __ioctl_time64(int, unsigned long, ...);
VBP_EXPORT int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);
    return ioctl_common(fd, request, arg);
}
#endif

namespace
{
void *mmap_common(void *addr, size_t length, int prot, int flags, int fd, off64_t offset, bool *served)
{
    *served = false;
    if (fd < 0 || (flags & MAP_ANONYMOUS) != 0)
        return nullptr;
    vbp_file *f = vbp_file_get(fd);
    if (f == nullptr)
        return nullptr;
    return vbp_with_file(f, [&](vbp_file *v) -> void * {
        if (v->kind != VBP_DEVICE)
            return nullptr;
        *served = true;
        return vbp_device_mmap(v, addr, length, prot, flags, offset);
    });
}
} // namespace

VBP_EXPORT void *mmap(void *addr, size_t length, int prot, int flags, int fd, off_t offset)
{
    VBP_REAL(mmap);
    bool served;
    void *r = mmap_common(addr, length, prot, flags, fd, offset, &served);
    return served ? r : real_mmap(addr, length, prot, flags, fd, offset);
}

VBP_EXPORT void *mmap64(void *addr, size_t length, int prot, int flags, int fd, off64_t offset)
{
    VBP_REAL(mmap64);
    bool served;
    void *r = mmap_common(addr, length, prot, flags, fd, offset, &served);
    return served ? r : real_mmap64(addr, length, prot, flags, fd, offset);
}
