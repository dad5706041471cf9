// vboard-can: the can4linux CAN driver of the board, /dev/can0, /dev/can1...
// on one emulated bus (canbus.h has the model), and /proc/sys/Can/baud.
//
// Options:
//   --nodes N         device nodes /dev/can0../dev/can<N-1> (default 2)
//   --rx-size N       receive queue of each open, records (default 512)
//   --tx-size N       transmit queue of each controller, records (default 64)
//   --baud KBIT       bit rate written to /proc/sys/Can/baud when the board has none (default 125)
//   --tx-timeout MS   a blocking write that can queue nothing returns 0 after this (default 1000)
//   --type N          controller type in the status record (default 1, sja1000)
//   --lenient         the looser driver of earlier boards: any open configures the
//                     controller, reset restarts it, a refused request fails the
//                     ioctl, a written frame does not reach the node's other opens
//
// Control words ("vboard ctl can ..."): see kUsage in control.cpp and
// sim/can/README.md.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>

#include "canbus.h"
#include "vboard/control.h"
#include "vboard/device.h"
#include "vboard/emulator.h"

namespace
{

int64_t mono_us()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

int64_t wall_us()
{
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

class Emulator
{
  public:
    Emulator(vboard::Loop &loop, const std::string &root, const cansim::Options &o)
        : loop_(loop), bus_(o), baud_file_(root + CAN_PROC_BAUD)
    {
        int64_t offset = wall_us() - mono_us();
        bus_.wall = [offset](int64_t t) { return t + offset; };
        struct stat st;
        if (::stat(baud_file_.c_str(), &st) != 0) {
            std::ofstream f(baud_file_);
            for (int i = 0; i < o.nodes; ++i)
                f << (i == 0 ? "" : " ") << o.baud;
            f << "\n";
        }
    }

    cansim::Bus &bus() { return bus_; }
    vboard::Loop &loop() { return loop_; }

    // The bit rate /proc/sys/Can/baud gives node's controller: its entry, or
    // the first one.
    uint32_t default_baud(int node) const
    {
        std::ifstream f(baud_file_);
        std::vector<long> v;
        long x;
        while (f >> x)
            v.push_back(x);
        if (v.empty())
            return bus_.options().baud;
        long r = static_cast<size_t>(node) < v.size() ? v[static_cast<size_t>(node)] : v[0];
        return r > 0 && r <= 1000 ? static_cast<uint32_t>(r) : bus_.options().baud;
    }

    void attach(int id, vboard::Connection *c) { conns_[id] = c; }
    void detach(int id)
    {
        conns_.erase(id);
        bus_.close(id);
    }
    int next_id() { return next_id_++; }

    // After every request and timer: run the bus, then give every open the
    // readiness its queues have, and arm the timer for what is due next.
    void kick()
    {
        int64_t now = mono_us();
        int64_t due = bus_.run(now);
        for (auto &[id, c] : conns_) {
            int64_t deadline = bus_.write_deadline(id);
            // (a passed deadline needs no timer: the open is writable now)
            if (deadline > now && (due < 0 || deadline < due))
                due = deadline;
            c->set_readable(bus_.readable(id));
            // A blocked blocking write whose time-out passed is woken so
            // that it returns 0.
            c->set_writable(bus_.writable(id) || (deadline >= 0 && now >= deadline));
        }
        if (due < 0)
            return;
        if (armed_ && armed_due_ <= due)
            return;
        if (armed_)
            loop_.cancel(timer_);
        int64_t ms = due <= now ? 0 : (due - now + 999) / 1000;
        armed_ = true;
        armed_due_ = due;
        timer_ = loop_.after(std::chrono::milliseconds(ms), [this] {
            armed_ = false;
            kick();
        });
    }

  private:
    vboard::Loop &loop_;
    cansim::Bus bus_;
    std::string baud_file_;
    std::map<int, vboard::Connection *> conns_;
    int next_id_ = 1;
    bool armed_ = false;
    int64_t armed_due_ = 0;
    vboard::Loop::TimerId timer_ = 0;
};

class CanSession : public vboard::Session
{
  public:
    CanSession(Emulator &emu, vboard::Connection &c, int node) : emu_(emu), conn_(c), node_(node), id_(emu.next_id()) {}
    int open(int flags) override
    {
        emu_.bus().set_default_baud(emu_.default_baud(node_));
        int e = emu_.bus().open(id_, node_, (flags & O_ACCMODE) != O_RDONLY);
        if (e != 0)
            return e;
        emu_.attach(id_, &conn_);
        emu_.kick();
        return 0;
    }
    vboard::Result read(std::vector<uint8_t> &data, size_t count, bool nonblock) override
    {
        emu_.kick(); // records due by now are in the queue
        cansim::Outcome r = emu_.bus().read(id_, data, count, nonblock);
        emu_.kick();
        return {r.value, r.err};
    }
    vboard::Result write(std::span<const uint8_t> data, bool nonblock) override
    {
        cansim::Outcome r = emu_.bus().write(id_, data, nonblock, mono_us());
        emu_.kick();
        return {r.value, r.err};
    }
    vboard::Result ioctl(vboard::IoctlCall &call, bool) override
    {
        std::vector<uint8_t> out;
        cansim::Outcome r = emu_.bus().ioctl(id_, call.request, call.in, out);
        if (r.err == 0 && !call.out.empty())
            std::copy_n(out.begin(), std::min(out.size(), call.out.size()), call.out.begin());
        emu_.kick();
        return {r.value, r.err};
    }
    void closed() override
    {
        emu_.detach(id_);
        emu_.kick();
    }

  private:
    Emulator &emu_;
    vboard::Connection &conn_;
    int node_;
    int id_;
};

cansim::Options parse(int argc, char **argv)
{
    cansim::Options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--lenient") {
            o.lenient = true;
            continue;
        }
        if (i + 1 >= argc)
            throw std::runtime_error("option " + a + " needs a value");
        char *end = nullptr;
        long v = strtol(argv[++i], &end, 10);
        if (*end != '\0' || v < 0)
            throw std::runtime_error("bad value for " + a + ": " + argv[i]);
        if (a == "--nodes" && v >= 1 && v <= 16)
            o.nodes = static_cast<int>(v);
        else if (a == "--rx-size" && v >= 1 && v <= 100000)
            o.rx_size = static_cast<size_t>(v);
        else if (a == "--tx-size" && v >= 1 && v <= 100000)
            o.tx_size = static_cast<size_t>(v);
        else if (a == "--baud" && v >= 1 && v <= 1000)
            o.baud = static_cast<uint32_t>(v);
        else if (a == "--tx-timeout" && v <= 3600000)
            o.tx_timeout_us = v * 1000;
        else if (a == "--type")
            o.type = static_cast<uint32_t>(v);
        else
            throw std::runtime_error("unknown option or value out of range: " + a + " " + argv[i]);
    }
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    cansim::Options o;
    try {
        o = parse(argc, argv);
    } catch (const std::exception &e) {
        std::cerr << "vboard-can: " << e.what() << "\n";
        return 2;
    }
    return vboard::emulator_main("vboard-can", [&o](vboard::Loop &loop, const std::string &root) {
        Emulator emu(loop, root, o);
        std::vector<std::unique_ptr<vboard::DeviceServer>> nodes;
        const std::vector<vboard::IoctlSpec> requests{
            {static_cast<uint32_t>(CAN_IOCTL_COMMAND), sizeof(Command_par_t), vboard::wire::kInOut},
            {static_cast<uint32_t>(CAN_IOCTL_CONFIG), sizeof(Config_par_t), vboard::wire::kInOut},
            {static_cast<uint32_t>(CAN_IOCTL_STATUS), sizeof(CanStatusPar_t), vboard::wire::kInOut},
        };
        for (int i = 0; i < o.nodes; ++i) {
            nodes.push_back(std::make_unique<vboard::DeviceServer>(
                loop, root, "can" + std::to_string(i),
                [&emu, i](vboard::Connection &c) { return std::make_unique<CanSession>(emu, c, i); }, requests));
            nodes.back()->set_record_size(sizeof(canmsg_t));
        }
        vboard::ControlServer ctl(loop, root, "can", [&emu](const std::vector<std::string> &w) {
            emu.kick();
            cansim::Reply r = cansim::control(emu.bus(), w, mono_us());
            emu.kick();
            return vboard::ControlReply{r.status, r.text};
        });
        vboard::serve(loop);
    });
}
