// vboard-cmux: the kernel multiplexer-control device "/dev/cmux" and its
// four channel ports (/dev/ttyMUX0..3, pseudo-terminals any program can
// open). The daemon reads OPEN, DATA, MCTRL and CLOSE messages that the
// ports' users cause, and writes the modem's DATA and MCTRL back.
//
// Flow control as a driver gives it: the device polls writable only while
// every port has room for the daemon's next messages (a slow reader stops
// the daemon's DATA writes), and readable while messages wait; while too
// much waits for the daemon, the ports' input is not read.
#include "mux_msg.h"

#include "vboard/control.h"
#include "vboard/device.h"
#include "vboard/emulator.h"
#include "vboard/loop.h"
#include "vboard/serial.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int PORTS = 4;

struct Options {
    uint32_t msg_size = 264; // 256 payload octets
    uint32_t msg_count = 16;
    size_t port_limit = 4096;        // octets queued towards a port's user before it stops the daemon
    size_t daemon_limit = 64 * 1024; // octets waiting for the daemon before the ports stop being read
};

struct Port {
    std::unique_ptr<vboard::SerialLine> line;
    bool open = false;      // OPEN sent to the daemon
    bool connected = false; // the daemon reported the channel up
    int lines = 0;          // DTR/RTS as the user set them
    bool brk = false;
    uint32_t status = 0;       // modem status (mctrl word) from the daemon
    std::vector<uint8_t> held; // user data waiting for the channel
    uint64_t to_daemon = 0, from_daemon = 0, dropped = 0;
};

class Cmux
{
  public:
    Cmux(vboard::Loop &loop, const std::string &root, const Options &opt) : loop_(loop), opt_(opt)
    {
        size_t map_len = static_cast<size_t>(opt.msg_size) * opt.msg_count;
        shm_ = memfd_create("cmux", MFD_CLOEXEC);
        if (shm_ < 0 || ftruncate(shm_, static_cast<off_t>(map_len)) != 0)
            throw std::runtime_error("cannot create the shared message area");
        for (int p = 0; p < PORTS; ++p) {
            Port &port = ports_[p];
            port.line = std::make_unique<vboard::SerialLine>(loop, root, "ttyMUX" + std::to_string(p));
            port.line->on_open = [this, p](bool on) { user_open(p, on); };
            port.line->on_data = [this, p](std::span<const uint8_t> d) { user_data(p, d); };
            port.line->on_lines = [this, p](int lines) { user_lines(p, lines); };
            port.line->on_break = [this, p](bool on) { user_break(p, on); };
        }
    }
    ~Cmux()
    {
        if (shm_ >= 0)
            close(shm_);
    }

    const Options &options() const { return opt_; }
    void attach(vboard::Connection *c)
    {
        conn_ = c;
        update_readiness();
    }
    void detach(vboard::Connection *c)
    {
        if (conn_ != c)
            return;
        conn_ = nullptr;
        // The daemon is gone: every channel is down.
        for (int p = 0; p < PORTS; ++p) {
            ports_[p].connected = false;
            ports_[p].line->set_status(0);
        }
        event("daemon closed the device");
    }
    int shm() const { return shm_; }

    vboard::Result read_msg(vboard::IoctlCall &call)
    {
        if (call.size < opt_.msg_size)
            return vboard::Result::error(EINVAL);
        if (queue_.empty())
            return vboard::Result::error(EAGAIN);
        std::vector<uint8_t> msg = std::move(queue_.front());
        queue_.pop_front();
        queued_octets_ -= msg.size();
        msg.resize(call.size, 0);
        call.out = std::move(msg);
        update_readiness();
        return vboard::Result::ok();
    }

    vboard::Result write_msg(vboard::IoctlCall &call)
    {
        mux_msg_hdr hdr;
        if (!call.get(hdr) || call.size > opt_.msg_size)
            return vboard::Result::error(EINVAL);
        if (hdr.port >= PORTS)
            return vboard::Result::error(ENODEV);
        Port &port = ports_[hdr.port];
        if (hdr.type == MUX_MSG_DATA) {
            if (hdr.len != call.size - sizeof hdr)
                return vboard::Result::error(EINVAL);
            if (!port.open) {
                port.dropped += hdr.len;
            } else {
                port.line->send(std::span<const uint8_t>(call.in.data() + sizeof hdr, hdr.len));
                port.from_daemon += hdr.len;
                event("data " + std::to_string(hdr.port) + " " + std::to_string(hdr.len));
            }
        } else if (hdr.type == MUX_MSG_MCTRL) {
            if (call.size != sizeof hdr)
                return vboard::Result::error(EINVAL);
            port.status = hdr.len;
            int bits = 0;
            if (hdr.len & MUX_MCTRL_CTS)
                bits |= TIOCM_CTS;
            if (hdr.len & MUX_MCTRL_DCD)
                bits |= TIOCM_CAR;
            if (hdr.len & MUX_MCTRL_RI)
                bits |= TIOCM_RNG;
            if (hdr.len & MUX_MCTRL_DSR)
                bits |= TIOCM_DSR;
            port.line->set_status(bits);
            event("mctrl " + std::to_string(hdr.port) + " " + hex(hdr.len));
        } else {
            return vboard::Result::error(EINVAL);
        }
        update_readiness();
        return vboard::Result::ok();
    }

    vboard::Result notify(vboard::IoctlCall &call, bool up)
    {
        if (call.value >= PORTS)
            return vboard::Result::error(ENODEV);
        int p = static_cast<int>(call.value);
        Port &port = ports_[p];
        event(std::string(up ? "connected " : "disconnected ") + std::to_string(p));
        port.connected = up;
        if (up) {
            if (port.lines & (TIOCM_DTR | TIOCM_RTS))
                queue_mctrl(p);
            if (!port.held.empty()) {
                std::vector<uint8_t> held;
                held.swap(port.held);
                queue_data(p, held);
            }
        } else {
            port.line->set_status(0);
        }
        return vboard::Result::ok();
    }

    std::string status() const
    {
        std::ostringstream s;
        for (int p = 0; p < PORTS; ++p) {
            const Port &port = ports_[p];
            s << "port " << p << (port.open ? " open" : " closed") << (port.connected ? " connected" : "")
              << " lines " << port.lines << " status " << hex(port.status) << " to-daemon " << port.to_daemon
              << " from-daemon " << port.from_daemon << " dropped " << port.dropped << " queued "
              << port.line->queued() << "\n";
        }
        s << "device " << (conn_ ? "open" : "closed") << " messages " << queue_.size() << " writable "
          << (writable() ? 1 : 0) << "\n";
        return s.str();
    }
    const std::vector<std::string> &events() const { return events_; }
    void clear_events() { events_.clear(); }
    void set_port_limit(size_t n)
    {
        opt_.port_limit = n;
        update_readiness();
    }

  private:
    static std::string hex(uint32_t v)
    {
        char b[16];
        snprintf(b, sizeof b, "0x%02x", v);
        return b;
    }
    void event(const std::string &e)
    {
        if (events_.size() > 10000)
            events_.erase(events_.begin(), events_.begin() + 5000);
        events_.push_back(e);
    }
    void push(std::vector<uint8_t> msg)
    {
        queued_octets_ += msg.size();
        queue_.push_back(std::move(msg));
        update_readiness();
    }
    void queue_simple(int p, uint8_t type, uint32_t word)
    {
        std::vector<uint8_t> msg(sizeof(mux_msg_hdr));
        mux_msg_hdr hdr{static_cast<uint8_t>(p), type, 0, word};
        memcpy(msg.data(), &hdr, sizeof hdr);
        push(std::move(msg));
    }
    void queue_mctrl(int p)
    {
        const Port &port = ports_[p];
        uint32_t word = 0;
        if (port.lines & TIOCM_DTR)
            word |= MUX_MCTRL_DTR;
        if (port.lines & TIOCM_RTS)
            word |= MUX_MCTRL_RTS;
        if (port.brk)
            word |= MUX_MCTRL_BREAK;
        queue_simple(p, MUX_MSG_MCTRL, word);
    }
    void queue_data(int p, std::span<const uint8_t> d)
    {
        size_t piece_max = opt_.msg_size - sizeof(mux_msg_hdr);
        for (size_t off = 0; off < d.size(); off += piece_max) {
            size_t n = std::min(piece_max, d.size() - off);
            std::vector<uint8_t> msg(sizeof(mux_msg_hdr) + n);
            mux_msg_hdr hdr{static_cast<uint8_t>(p), MUX_MSG_DATA, 0, static_cast<uint32_t>(n)};
            memcpy(msg.data(), &hdr, sizeof hdr);
            memcpy(msg.data() + sizeof hdr, d.data() + off, n);
            push(std::move(msg));
        }
        ports_[p].to_daemon += d.size();
    }
    void user_open(int p, bool on)
    {
        Port &port = ports_[p];
        if (on == port.open)
            return;
        port.open = on;
        event(std::string(on ? "open " : "close ") + std::to_string(p));
        if (!on) {
            port.held.clear();
            port.brk = false;
        }
        queue_simple(p, on ? MUX_MSG_OPEN : MUX_MSG_CLOSE, 0);
    }
    void user_data(int p, std::span<const uint8_t> d)
    {
        Port &port = ports_[p];
        if (!port.open)
            user_open(p, true); // a program without the board's preload
        if (port.connected)
            queue_data(p, d);
        else
            port.held.insert(port.held.end(), d.begin(), d.end());
    }
    void user_lines(int p, int lines)
    {
        Port &port = ports_[p];
        port.lines = lines;
        if (port.open && port.connected)
            queue_mctrl(p);
    }
    void user_break(int p, bool on)
    {
        Port &port = ports_[p];
        port.brk = on;
        if (on && port.open && port.connected)
            queue_mctrl(p);
    }
    bool writable() const
    {
        for (const Port &port : ports_)
            if (port.line->queued() > opt_.port_limit)
                return false;
        return true;
    }
    // Readiness of the daemon's descriptor, and whether the ports are read.
    void update_readiness()
    {
        bool w = writable();
        if (conn_) {
            conn_->set_readable(!queue_.empty());
            conn_->set_writable(w);
        }
        if (!w && recheck_ == 0) {
            // No callback tells when a port's reader caught up: look again.
            recheck_ = loop_.every(std::chrono::milliseconds(5), [this] {
                if (writable()) {
                    loop_.cancel(recheck_);
                    recheck_ = 0;
                    update_readiness();
                }
            });
        }
        bool pause = queued_octets_ > opt_.daemon_limit;
        if (pause != paused_) {
            paused_ = pause;
            for (Port &port : ports_) {
                short events = pause ? 0 : POLLIN;
                if (!pause && port.line->queued() > 0)
                    events |= POLLOUT;
                loop_.set_events(port.line->master_fd(), events);
            }
        } else if (paused_) {
            for (Port &port : ports_)
                loop_.set_events(port.line->master_fd(), port.line->queued() > 0 ? POLLOUT : 0);
        }
    }

    vboard::Loop &loop_;
    Options opt_;
    int shm_ = -1;
    std::array<Port, PORTS> ports_;
    std::deque<std::vector<uint8_t>> queue_;
    size_t queued_octets_ = 0;
    vboard::Connection *conn_ = nullptr;
    vboard::Loop::TimerId recheck_ = 0;
    bool paused_ = false;
    std::vector<std::string> events_;
};

class Session : public vboard::Session
{
  public:
    Session(Cmux &cmux, vboard::Connection &conn) : cmux_(cmux), conn_(conn) {}
    int open(int) override
    {
        cmux_.attach(&conn_);
        return 0;
    }
    void closed() override { cmux_.detach(&conn_); }
    vboard::Result ioctl(vboard::IoctlCall &call, bool) override
    {
        if (call.request == IOCTL_MUX_GET_INFO) {
            mux_info info{cmux_.options().msg_size, cmux_.options().msg_count, 0};
            call.put(info);
            return vboard::Result::ok();
        }
        if (call.request == IOCTL_MUX_CONNECTED)
            return cmux_.notify(call, true);
        if (call.request == IOCTL_MUX_DISCONNECTED)
            return cmux_.notify(call, false);
        if (_IOC_TYPE(call.request) == 'M' && _IOC_NR(call.request) == 0 &&
            _IOC_DIR(call.request) == _IOC_READ)
            return cmux_.read_msg(call);
        if (_IOC_TYPE(call.request) == 'M' && _IOC_NR(call.request) == 3 &&
            _IOC_DIR(call.request) == _IOC_WRITE)
            return cmux_.write_msg(call);
        return vboard::Result::error(ENOTTY);
    }
    vboard::Mapping mmap(uint64_t length, uint64_t offset, int, int) override
    {
        uint64_t size = static_cast<uint64_t>(cmux_.options().msg_size) * cmux_.options().msg_count;
        if (offset + length > size)
            return vboard::Mapping{-1, 0, EINVAL};
        return vboard::Mapping{cmux_.shm(), offset, 0};
    }

  private:
    Cmux &cmux_;
    vboard::Connection &conn_;
};

void usage()
{
    std::cerr << "usage: vboard-cmux [--msg-size N] [--msg-count N] [--port-limit OCTETS]\n";
}

} // namespace

int main(int argc, char **argv)
{
    Options opt;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            if (i + 1 >= argc)
                throw std::invalid_argument(a == "--help" ? "" : a + " needs a value");
            unsigned long v = std::stoul(argv[++i]);
            if (a == "--msg-size")
                opt.msg_size = static_cast<uint32_t>(v);
            else if (a == "--msg-count")
                opt.msg_count = static_cast<uint32_t>(v);
            else if (a == "--port-limit")
                opt.port_limit = v;
            else
                throw std::invalid_argument("unknown option " + a);
        }
    } catch (const std::exception &e) {
        if (*e.what())
            std::cerr << "vboard-cmux: " << e.what() << "\n";
        usage();
        return 2;
    }
    try {
        std::string root = vboard::board_root();
        vboard::Loop loop;
        Cmux cmux(loop, root, opt);
        vboard::DeviceServer device(loop, root, "cmux", [&cmux](vboard::Connection &c) {
            return std::make_unique<Session>(cmux, c);
        });
        vboard::ControlServer control(loop, root, "cmux", [&cmux](const std::vector<std::string> &w) {
            vboard::ControlReply r;
            if (w.empty() || w[0] == "status") {
                r.text = cmux.status();
            } else if (w[0] == "events") {
                for (auto &e : cmux.events())
                    r.text += e + "\n";
            } else if (w[0] == "clear") {
                cmux.clear_events();
            } else if (w[0] == "has" && w.size() > 1) {
                r.status = 1;
                for (auto &e : cmux.events())
                    if (e.find(w[1]) != std::string::npos) {
                        r.status = 0;
                        r.text = e + "\n";
                        break;
                    }
            } else if (w[0] == "port-limit" && w.size() > 1) {
                cmux.set_port_limit(std::stoul(w[1]));
            } else {
                r.status = 2;
                r.text = "unknown command\n";
            }
            return r;
        });
        vboard::announce_ready();
        loop.run();
    } catch (const std::exception &e) {
        std::cerr << "vboard-cmux: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
