// Emulated character devices. A DeviceServer binds a Unix socket at
// <root>/dev/<path>; the preload library in the program turns every open()
// of /dev/<path> into a connection, and read/write/ioctl/mmap/close on that
// descriptor into calls of the connection's Session. The Session decides
// when the program's descriptor polls readable and writable.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "vboard/loop.h"
#include "vboard/wire.h"

namespace vboard
{

// Outcome of a request: a non-negative value, or an errno.
struct Result {
    int64_t value = 0;
    int err = 0;
    static Result ok(int64_t v = 0) { return Result{v, 0}; }
    static Result error(int e) { return Result{-1, e}; }
    bool failed() const { return value < 0; }
};

// Size and direction of an ioctl request whose number does not encode them
// (TIOCMBIS, the can4linux requests...). Encoded (_IOC) requests need none.
struct IoctlSpec {
    uint32_t request;
    uint32_t size;
    wire::IoctlDir dir;
};

// One ioctl call as the device sees it.
struct IoctlCall {
    uint32_t request;
    uint64_t value; // argument passed by value (kByValue)
    uint32_t size;  // argument size (pointer requests)
    wire::IoctlDir dir;
    std::vector<uint8_t> in;  // octets from the program (kIn, kInOut); empty for a null pointer
    std::vector<uint8_t> out; // octets to the program (kOut, kInOut), size octets

    // The argument record the program passed (kIn); false when it is shorter.
    template <typename T> bool get(T &v) const
    {
        if (in.size() < sizeof(T))
            return false;
        std::memcpy(&v, in.data(), sizeof(T));
        return true;
    }
    // The record returned to the program (kOut).
    template <typename T> void put(const T &v)
    {
        out.assign(reinterpret_cast<const uint8_t *>(&v), reinterpret_cast<const uint8_t *>(&v) + sizeof(T));
    }
};

// What a successful mmap hands over: shared memory (the device keeps its own
// descriptor and mapping) and where the requested offset lies in it.
struct Mapping {
    int fd = -1; // not taken over: the caller keeps it open
    uint64_t offset = 0;
    int err = 0; // refusal when fd < 0
};

class Connection;

// Per-open state and behaviour of an emulated device. Every request arrives
// with the program's non-blocking flag; a request that would block returns
// EAGAIN, and the preload then waits for the readiness the session gives
// (set_readable / set_writable) before it asks again.
class Session
{
  public:
    virtual ~Session() = default;
    // Called once after construction; an errno refuses the open.
    virtual int open(int flags)
    {
        (void)flags;
        return 0;
    }
    virtual Result read(std::vector<uint8_t> &data, size_t count, bool nonblock)
    {
        (void)data, (void)count, (void)nonblock;
        return Result::error(EINVAL);
    }
    virtual Result write(std::span<const uint8_t> data, bool nonblock)
    {
        (void)data, (void)nonblock;
        return Result::error(EINVAL);
    }
    virtual Result ioctl(IoctlCall &call, bool nonblock)
    {
        (void)call, (void)nonblock;
        return Result::error(ENOTTY);
    }
    virtual Mapping mmap(uint64_t length, uint64_t offset, int prot, int flags)
    {
        (void)length, (void)offset, (void)prot, (void)flags;
        return Mapping{-1, 0, ENODEV};
    }
    // The program closed its last descriptor (or died).
    virtual void closed() {}
};

class DeviceServer;

// The emulator's side of one open of the device.
class Connection
{
  public:
    Connection(DeviceServer &server, int ctl);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Readiness of the program's descriptor for poll/select. A new connection
    // is writable and not readable.
    void set_readable(bool on);
    void set_writable(bool on);
    bool readable() const { return readable_; }
    bool writable() const { return writable_; }

    // Hangs up: the program's further calls fail with EIO, poll reports POLLHUP.
    void hang_up();

    int id() const { return id_; }
    int open_flags() const { return open_flags_; }
    Session *session() { return session_.get(); }

  private:
    friend class DeviceServer;
    DeviceServer &server_;
    int ctl_;
    int peer_ = -1; // our end of the program's socket pair
    int app_ = -1;  // the program's end (a duplicate)
    int id_;
    int open_flags_ = 0;
    bool readable_ = false;
    bool writable_ = true;
    std::unique_ptr<Session> session_;
};

class DeviceServer
{
  public:
    using Factory = std::function<std::unique_ptr<Session>(Connection &)>;

    // Binds <root>/dev/<path> (parent directories created). The factory makes
    // the Session of each open.
    DeviceServer(Loop &loop, const std::string &root, const std::string &path, Factory factory,
                 std::vector<IoctlSpec> ioctls = {});
    ~DeviceServer();
    DeviceServer(const DeviceServer &) = delete;
    DeviceServer &operator=(const DeviceServer &) = delete;

    const std::string &node() const { return node_; }
    // Makes read and write counts of the program's calls counts of records
    // of this many octets (a can4linux device: 32); the session still sees
    // octets, whole records only.
    void set_record_size(uint32_t octets) { record_ = octets; }
    // Open connections, in the order of their opens.
    std::vector<Connection *> connections() const;

  private:
    friend class Connection;
    void accept_one();
    void serve(Connection *c);
    void drop(Connection *c);
    bool handle_open(Connection *c, const wire::Request &req, std::vector<int> &fds);
    Loop &loop_;
    std::string node_;
    Factory factory_;
    std::vector<IoctlSpec> ioctls_;
    uint32_t record_ = 0;
    int listen_fd_ = -1;
    int next_id_ = 1;
    std::vector<std::unique_ptr<Connection>> conns_;
};

} // namespace vboard
