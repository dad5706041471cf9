// Emulated devices: a board node that is a Unix socket is a device whose
// driver is an emulator process. Opening it connects a control connection
// (requests and replies) and hands the emulator both ends of a socket pair;
// the program gets one end as its descriptor, so poll and select see the
// readiness the emulator sets on it, and the calls below are forwarded.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "preload.h"

namespace wire = vboard::wire;

namespace
{

// Control connections live above the descriptors a program usually counts
// on, so that its own numbering stays as it would be on the unit.
constexpr int kSideFloor = 512;

int move_high(int fd)
{
    VBP_REAL(close);
    VBP_REAL(fcntl);
    int high = real_fcntl(fd, F_DUPFD_CLOEXEC, kSideFloor);
    if (high < 0)
        return fd;
    real_close(fd);
    return high;
}

bool nonblocking(int fd)
{
    VBP_REAL(fcntl);
    int fl = real_fcntl(fd, F_GETFL);
    return fl >= 0 && (fl & O_NONBLOCK) != 0;
}

// Waits until the emulator makes fd ready for events; false with errno
// set when interrupted or when the device hung up.
bool wait_ready(int fd, short events)
{
    pollfd p{fd, events, 0};
    int r = poll(&p, 1, -1);
    if (r < 0)
        return false;
    if ((p.revents & events) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        errno = EIO;
        return false;
    }
    return true;
}

} // namespace

int vbp_connect_side(const char *path)
{
    VBP_REAL(close);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(addr.sun_path, path);
    int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    if (connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        int e = errno;
        real_close(s);
        // A node without a live emulator is a device without its driver.
        errno = (e == ECONNREFUSED || e == ENOENT) ? ENXIO : e;
        return -1;
    }
    return move_high(s);
}

int vbp_device_open(const char *node, int flags)
{
    VBP_REAL(close);
    VBP_REAL(fcntl);
    int side = vbp_connect_side(node);
    if (side < 0)
        return -1;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        int e = errno;
        real_close(side);
        errno = e;
        return -1;
    }
    wire::IoctlEntry table[wire::kMaxIoctlEntries];
    vbp_exchange x{};
    x.req.op = wire::kOpen;
    x.req.flags = static_cast<uint32_t>(flags);
    x.in = table;
    x.in_cap = sizeof table;
    int pass[2] = {sv[1], sv[0]}; // the emulator's end, then the program's
    bool ok = vbp_side_exchange(side, &x, pass, 2);
    int e = ENXIO; // the emulator went away during the open: no driver
    real_close(sv[1]);
    if (ok && x.reply.result < 0) {
        ok = false;
        e = x.reply.err;
    }
    if (ok) {
        if ((flags & O_CLOEXEC) == 0)
            real_fcntl(sv[0], F_SETFD, 0);
        if ((flags & O_NONBLOCK) != 0)
            real_fcntl(sv[0], F_SETFL, O_NONBLOCK);
        uint32_t record = x.reply.result > 1 && x.reply.result <= 4096 ? static_cast<uint32_t>(x.reply.result) : 1;
        ok = vbp_file_attach(sv[0], VBP_DEVICE, side, table, x.reply.len / sizeof(wire::IoctlEntry), record);
        e = errno;
    }
    if (!ok) {
        real_close(sv[0]);
        real_close(side);
        errno = e;
        return -1;
    }
    return sv[0];
}

namespace
{

// A read or write request; a blocking descriptor waits for the readiness
// the emulator gives when it would block, as a driver's wait queue would.
// A device with records (open reply) counts records: count and result are
// converted, and only whole records travel.
ssize_t transfer(vbp_file *f, int fd, wire::Op op, void *in, const void *out, size_t units)
{
    size_t record = vbp_file_record(f);
    size_t count = std::min<size_t>(units, wire::kMaxTransfer / record) * record;
    for (;;) {
        bool nb = nonblocking(fd);
        vbp_exchange x{};
        x.req.op = op;
        x.req.flags = nb ? wire::kNonBlock : 0;
        x.req.a = count;
        if (op == wire::kRead) {
            x.in = in;
            x.in_cap = count;
        } else {
            x.out = out;
            x.out_len = count;
        }
        if (!vbp_file_exchange(f, &x))
            return -1;
        if (x.reply.result >= 0) {
            // The emulator may not claim more than was asked for.
            return static_cast<ssize_t>(std::min<uint64_t>(static_cast<uint64_t>(x.reply.result), count) / record);
        }
        if (x.reply.err != EAGAIN || nb) {
            errno = x.reply.err;
            return -1;
        }
        if (!wait_ready(fd, op == wire::kRead ? POLLIN : POLLOUT))
            return -1;
    }
}

} // namespace

ssize_t vbp_device_read(vbp_file *f, int fd, void *buf, size_t count)
{
    return transfer(f, fd, wire::kRead, buf, nullptr, count);
}

ssize_t vbp_device_write(vbp_file *f, int fd, const void *buf, size_t count)
{
    return transfer(f, fd, wire::kWrite, nullptr, buf, count);
}

int vbp_device_ioctl(vbp_file *f, int fd, unsigned long request, void *arg)
{
    uint32_t size, dir;
    vbp_file_ioctl_shape(f, request, &size, &dir);
    vbp_exchange x{};
    x.req.op = wire::kIoctl;
    x.req.flags = nonblocking(fd) ? wire::kNonBlock : 0;
    x.req.a = static_cast<uint32_t>(request);
    x.req.c = size;
    x.req.d = dir;
    if (dir == wire::kByValue) {
        x.req.b = reinterpret_cast<uintptr_t>(arg);
    } else if (arg == nullptr) {
        // The driver decides: an unknown request fails with its own error
        // before any copy would fault.
        x.req.flags |= wire::kNullArg;
    } else {
        if (size > wire::kMaxIoctlSize) {
            errno = EINVAL;
            return -1;
        }
        if ((dir & wire::kIn) != 0) {
            x.out = arg;
            x.out_len = size;
        }
        if ((dir & wire::kOut) != 0) {
            x.in = arg;
            x.in_cap = size;
        }
    }
    if (!vbp_file_exchange(f, &x))
        return -1;
    if (x.reply.result < 0) {
        errno = x.reply.err;
        return -1;
    }
    return static_cast<int>(x.reply.result);
}

void *vbp_device_mmap(vbp_file *f, void *addr, size_t length, int prot, int flags, off64_t offset)
{
    VBP_REAL(close);
    VBP_REAL(mmap64);
    int memfd = -1;
    vbp_exchange x{};
    x.req.op = wire::kMmap;
    x.req.a = length;
    x.req.b = static_cast<uint64_t>(offset);
    x.req.c = static_cast<uint32_t>(prot);
    x.req.d = static_cast<uint32_t>(flags);
    x.fd_out = &memfd;
    if (!vbp_file_exchange(f, &x))
        return MAP_FAILED;
    if (x.reply.result < 0 || memfd < 0) {
        if (memfd >= 0)
            real_close(memfd);
        errno = x.reply.result < 0 ? x.reply.err : ENODEV;
        return MAP_FAILED;
    }
    // The reply names where in the shared memory the device's offset lies.
    void *p = real_mmap64(addr, length, prot, flags, memfd, static_cast<off64_t>(x.reply.result));
    int e = errno;
    real_close(memfd);
    errno = e;
    return p;
}
