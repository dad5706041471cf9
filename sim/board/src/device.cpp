#include "vboard/device.h"

#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sock.h"

namespace vboard
{

Connection::Connection(DeviceServer &server, int ctl) : server_(server), ctl_(ctl), id_(server.next_id_++)
{
}

Connection::~Connection()
{
    server_.loop_.unwatch(ctl_);
    close(ctl_);
    if (peer_ >= 0)
        close(peer_);
    if (app_ >= 0)
        close(app_);
}

namespace
{
void drain(int fd)
{
    char buf[4096];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}
} // namespace

// Readable: one octet waits in the program's socket. Not writable: the
// program's socket has filled its send buffer towards us; draining that
// makes it writable again. The program never reads or writes the socket
// itself (the preload forwards those calls), so both states stay ours.
void Connection::set_readable(bool on)
{
    if (on == readable_ || peer_ < 0)
        return;
    if (on) {
        char token = 'r';
        send(peer_, &token, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    } else {
        drain(app_);
    }
    readable_ = on;
}

void Connection::set_writable(bool on)
{
    if (on == writable_ || peer_ < 0)
        return;
    if (on) {
        drain(peer_);
    } else {
        static const char filler[1024] = {};
        while (send(app_, filler, sizeof filler, MSG_DONTWAIT | MSG_NOSIGNAL) > 0) {
        }
    }
    writable_ = on;
}

void Connection::hang_up()
{
    if (peer_ >= 0) {
        shutdown(peer_, SHUT_RDWR);
    }
    shutdown(ctl_, SHUT_RDWR);
}

DeviceServer::DeviceServer(Loop &loop, const std::string &root, const std::string &path, Factory factory,
                           std::vector<IoctlSpec> ioctls)
    : loop_(loop), node_(root + "/dev/" + path), factory_(std::move(factory)), ioctls_(std::move(ioctls))
{
    listen_fd_ = detail::listen_at(node_);
    loop_.watch(listen_fd_, POLLIN, [this](short) { accept_one(); });
}

DeviceServer::~DeviceServer()
{
    // The node goes first: a program that sees its descriptor hang up
    // finds no device any more, rather than a listener about to vanish.
    loop_.unwatch(listen_fd_);
    close(listen_fd_);
    unlink(node_.c_str());
    for (auto &c : conns_) {
        if (c->session_)
            c->session_->closed();
    }
    conns_.clear();
}

std::vector<Connection *> DeviceServer::connections() const
{
    std::vector<Connection *> v;
    for (auto &c : conns_) {
        if (c->session_)
            v.push_back(c.get());
    }
    return v;
}

void DeviceServer::accept_one()
{
    int fd = detail::accept_one(listen_fd_);
    if (fd < 0)
        return;
    conns_.push_back(std::make_unique<Connection>(*this, fd));
    Connection *c = conns_.back().get();
    loop_.watch(fd, POLLIN, [this, c](short) { serve(c); });
}

void DeviceServer::drop(Connection *c)
{
    if (c->session_)
        c->session_->closed();
    auto it = std::find_if(conns_.begin(), conns_.end(), [c](auto &p) { return p.get() == c; });
    if (it != conns_.end())
        conns_.erase(it);
}

bool DeviceServer::handle_open(Connection *c, const wire::Request &req, std::vector<int> &fds)
{
    if (req.op != wire::kOpen || fds.size() != 2) {
        for (int f : fds)
            close(f);
        return false;
    }
    c->peer_ = fds[0];
    c->app_ = fds[1];
    // A small send buffer keeps the filler that blocks writes small.
    int size = 1;
    setsockopt(c->app_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    c->open_flags_ = static_cast<int>(req.flags);
    std::unique_ptr<Session> s = factory_(*c);
    int err = s ? s->open(c->open_flags_) : ENXIO;
    if (err != 0) {
        detail::send_reply(c->ctl_, -1, err, nullptr, 0);
        return false;
    }
    c->session_ = std::move(s);
    std::vector<wire::IoctlEntry> table;
    for (const IoctlSpec &i : ioctls_)
        table.push_back(wire::IoctlEntry{i.request, i.size, i.dir});
    return detail::send_reply(c->ctl_, record_, 0, table.data(), table.size() * sizeof(wire::IoctlEntry));
}

void DeviceServer::serve(Connection *c)
{
    wire::Request req;
    std::vector<uint8_t> payload;
    std::vector<int> fds;
    if (!detail::recv_request(c->ctl_, req, payload, fds)) {
        if (errno != EAGAIN)
            drop(c); // closed by the program, or garbage
        return;
    }
    if (!c->session_) {
        if (!handle_open(c, req, fds))
            drop(c);
        return;
    }
    for (int f : fds)
        close(f);
    bool nonblock = (req.flags & wire::kNonBlock) != 0;
    Session &s = *c->session_;
    bool sent = false;
    switch (req.op) {
    case wire::kRead: {
        std::vector<uint8_t> data;
        size_t count = static_cast<size_t>(std::min<uint64_t>(req.a, wire::kMaxTransfer));
        Result r = s.read(data, count, nonblock);
        if (r.failed()) {
            sent = detail::send_reply(c->ctl_, -1, r.err, nullptr, 0);
        } else {
            data.resize(std::min(data.size(), count));
            sent =
                detail::send_reply(c->ctl_, static_cast<int64_t>(data.size()), 0, data.data(), data.size());
        }
        break;
    }
    case wire::kWrite: {
        Result r = s.write(payload, nonblock);
        if (!r.failed())
            r.value = std::min<int64_t>(r.value, static_cast<int64_t>(payload.size()));
        sent = detail::send_reply(c->ctl_, r.value, r.err, nullptr, 0);
        break;
    }
    case wire::kIoctl: {
        IoctlCall call{static_cast<uint32_t>(req.a), req.b,
                       static_cast<uint32_t>(req.c), static_cast<wire::IoctlDir>(req.d),
                       std::move(payload),           {}};
        if ((call.dir & wire::kOut) != 0 && (req.flags & wire::kNullArg) == 0) {
            // What the program passed is what it gets back unless the device
            // writes it (read-write requests start from the program's record).
            call.out = call.in;
            call.out.resize(call.size);
        }
        Result r = s.ioctl(call, nonblock);
        bool null_arg = (req.flags & wire::kNullArg) != 0;
        // Copying a result to a null pointer faults, as in copy_to_user.
        if (!r.failed() && null_arg && (call.dir & wire::kOut) != 0)
            r = Result::error(EFAULT);
        if (r.failed() || (call.dir & wire::kOut) == 0 || null_arg) {
            sent = detail::send_reply(c->ctl_, r.value, r.err, nullptr, 0);
        } else {
            call.out.resize(call.size);
            sent = detail::send_reply(c->ctl_, r.value, 0, call.out.data(), call.out.size());
        }
        break;
    }
    case wire::kMmap: {
        Mapping m = s.mmap(req.a, req.b, static_cast<int>(req.c), static_cast<int>(req.d));
        if (m.fd < 0) {
            sent = detail::send_reply(c->ctl_, -1, m.err != 0 ? m.err : ENODEV, nullptr, 0);
        } else {
            sent = detail::send_reply(c->ctl_, static_cast<int64_t>(m.offset), 0, nullptr, 0, m.fd);
        }
        break;
    }
    default:
        sent = detail::send_reply(c->ctl_, -1, EINVAL, nullptr, 0);
        break;
    }
    if (!sent)
        drop(c);
}

} // namespace vboard
