// The CAN bus of the board and the can4linux controllers on it, without any
// of the board's plumbing: vboard-can (main.cpp) connects it to the device
// nodes, the control socket and the clock; the tests and the fuzz target
// drive it directly.
//
// One bus, nodes 0..N-1 (/dev/can0...), each a controller with a transmit
// queue, a bit rate, an acceptance code and mask and an error state. Every
// open of a node is a Session with a receive queue of its own. A record put
// on the bus by a node reaches every open of every other running node whose
// acceptance filter passes it; the sending node's opens get it only with
// self-reception on (then flagged MSG_SELF); the writer's node's other opens
// get it as the driver queues it for them. A foreign station (the rest of the
// vehicle) sends single frames and paced traffic.
//
// Configuration belongs to the first open of a node (while it stays open;
// then to the oldest open left): start, stop, reset and configuration
// requests of the other opens are refused with EPERM in the record's retval.
// A failed command or configuration reports through retval, the ioctl
// itself returns 0. Reset leaves the controller stopped until a start.
// Options::lenient brings back the looser model (any open configures, reset
// restarts, failures make the ioctl fail, no copies to the writer's node).
//
// Time: the bus runs on a microsecond clock the caller advances (run(now));
// a frame occupies the bus for its bit time at the sender's bit rate
// (47 + 8 x length bits standard, 67 + 8 x length extended: 111 bits for
// 8 octets, about 9,000 records/s at 1 Mbit/s). Among the waiting senders the
// lowest identifier wins arbitration. The receive time stamp is the end of
// the frame, in the wall-clock time the caller maps the bus clock to.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "can4linux.h"

namespace cansim
{

struct Options {
    int nodes = 2;
    size_t rx_size = 512;      // receive queue of each open, records
    size_t tx_size = 256;      // transmit queue of each controller, records
    uint32_t baud = 125;       // kbit/s at open when /proc/sys/Can/baud says nothing else
    int64_t tx_timeout_us = 1000000; // a blocking write that queues nothing returns 0 after this
    uint32_t type = CAN_TYPE_SJA1000;
    bool lenient = false; // the looser model above, for programs written against it
};

// Outcome of a device call: a value >= 0 or an errno.
struct Outcome {
    int64_t value = 0;
    int err = 0;
    static Outcome ok(int64_t v = 0) { return {v, 0}; }
    static Outcome fail(int e) { return {-1, e}; }
};


struct Node;

struct Session {
    int id = 0;
    int node = 0;
    bool can_write = true; // opened read-write or write-only
    uint64_t opened = 0;   // order of the opens: the oldest live one of a node configures it
    std::deque<canmsg_t> rx;
    int64_t write_blocked_since = -1; // bus time of the first refused blocking write
    size_t want_room = 0;             // records that blocked write waits room for
    bool dead = false;                // its node vanished: ENODEV for ever
    uint64_t received = 0, overruns = 0;
};

struct Node {
    int index = 0;
    bool present = true;
    bool running = true;   // started (open starts it), not stopped, not bus off
    bool self = false;     // self-reception
    uint32_t baud = 125;   // kbit/s
    uint32_t acc_code = 0;
    uint32_t acc_mask = 0xFFFFFFFFu; // bits set: don't care
    enum class State { kActive, kPassive, kBusOff } state = State::kActive;
    bool lose_next = false; // controller overrun injected: next record lost, the following flagged MSG_OVR
    bool mark_ovr = false;
    struct Queued {
        canmsg_t m;
        int64_t ready;   // bus time it was queued
        int session = 0; // the open that wrote it
    };
    std::deque<Queued> tx;
    uint64_t sent = 0, received = 0, overruns = 0, status_requests = 0;
    std::vector<canmsg_t> sent_log;     // what this node put on the bus
    std::vector<std::string> requests;  // command and configuration requests, as text
};

class Bus
{
  public:
    explicit Bus(const Options &o);

    const Options &options() const { return opt_; }
    int nodes() const { return static_cast<int>(nodes_.size()); }
    Node &node(int i) { return nodes_.at(static_cast<size_t>(i)); }
    const std::vector<std::string> &violations() const { return violations_; }

    // The bit rate a controller starts with (/proc/sys/Can/baud).
    void set_default_baud(uint32_t kbit) { default_baud_ = kbit; }

    // Device side: an open of /dev/can<node>; 0 or an errno.
    int open(int session, int node, bool can_write);
    void close(int session);
    Session *session(int id);
    // Live opens of a node.
    int opens(int node) const;
    // Records waiting in the receive queues of a node's opens.
    size_t queued(int node) const;
    // Octet counts (whole records); `now` is the bus clock in microseconds.
    Outcome read(int session, std::vector<uint8_t> &out, size_t octets, bool nonblock);
    Outcome write(int session, std::span<const uint8_t> in, bool nonblock, int64_t now);
    // ioctl with its argument; `out` is what the program gets back.
    Outcome ioctl(int session, uint32_t request, std::span<const uint8_t> in, std::vector<uint8_t> &out);
    bool readable(int session) const;
    bool writable(int session) const;
    // The bus time at which a refused blocking write of this session gives
    // up (returns 0), or -1.
    int64_t write_deadline(int session) const;

    // Bus side. Runs the bus up to `now`: transmits what the arbitration
    // allows, generates foreign traffic. Returns the bus time at which
    // something is due next (-1: idle until a new request).
    int64_t run(int64_t now);

    // The foreign station.
    void foreign_frame(const canmsg_t &m, int64_t now);
    struct Traffic {
        double rate = 0;        // records/s, 0 off
        enum class Kind { kSeq, kFixed, kRandom } kind = Kind::kSeq;
        uint32_t id = 0x100;
        int length = 8;
        int64_t jitter_us = 0;  // each frame's start moves by up to +-jitter
        uint64_t limit = 0;     // stop after this many records (0: never)
    };
    void set_traffic(const Traffic &t, int64_t now);
    uint64_t traffic_sent() const { return traffic_sent_; }
    // The foreign station's bit rate (0: that of the fastest running node).
    void set_station_baud(uint32_t kbit) { station_baud_ = kbit; }
    uint32_t station_baud() const;

    // Error-state change of a controller: error record to its opens.
    void error_state(int node, Node::State s, int64_t now);
    // Controller overrun: the node loses its next received record and flags
    // the one after with MSG_OVR.
    void controller_overrun(int node) { nodes_.at(static_cast<size_t>(node)).lose_next = true; }
    // Faults on the wire, counted from the next frame on the bus (1 = next).
    enum class Fault { kDrop, kDup, kSwap };
    void fault(Fault f, uint64_t nth);
    // Device gone / back: opens of a vanished node fail with ENODEV.
    void vanish(int node);
    void appear(int node);
    void clear_logs();

    // Maps the bus clock to the wall-clock time stamps (microseconds since 1970).
    std::function<int64_t(int64_t)> wall = [](int64_t t) { return t; };

  private:
    struct Pending {
        canmsg_t m;
        int64_t ready;
    };
    void violation(const std::string &what);
    void deliver(canmsg_t m, int from, int64_t end, int writer);
    void transmit(const canmsg_t &m, int from, int64_t end, int writer);
    bool configures(const Session &s) const;
    Outcome answer(Node &n, const Command_par_t &c, int32_t retval, std::vector<uint8_t> &out);
    void put_rx(Session &s, Node &n, canmsg_t m);
    void generate(int64_t now);
    canmsg_t traffic_record();
    int64_t frame_us(const canmsg_t &m, uint32_t kbit) const;
    Outcome command(Session &s, Node &n, const Command_par_t &c, std::vector<uint8_t> &out);
    Outcome config(Session &s, Node &n, const Config_par_t &c, std::vector<uint8_t> &out);
    void reset_node(Node &n);

    Options opt_;
    uint32_t default_baud_;
    std::vector<Node> nodes_;
    std::map<int, Session> sessions_;
    std::vector<std::string> violations_;
    int64_t bus_free_ = 0;        // end of the frame on the wire
    std::deque<Pending> foreign_; // foreign station's queue (paced traffic and frames)
    Traffic traffic_;
    uint32_t station_baud_ = 0;
    int64_t traffic_start_ = 0;
    uint64_t traffic_made_ = 0, traffic_sent_ = 0;
    int64_t last_due_ = 0;
    uint64_t seq_ = 0;            // sequence traffic position
    std::mt19937 rng_{12345};
    std::map<uint64_t, Fault> faults_; // by frame number on the bus
    uint64_t frames_ = 0;              // frames on the bus so far
    struct Held {
        canmsg_t m;
        int from, writer;
    };
    std::vector<Held> held_; // a swapped frame waiting for the next
    uint64_t opens_made_ = 0;
    static constexpr size_t kLogLimit = 200000;
};

// Text of a record for the logs: "id=0x123 len=8 flags=0x00 data=01 02 ...".
std::string describe(const canmsg_t &m);
// The control words of "vboard ctl can ..."; `now` is the bus clock.
struct Reply {
    int status;
    std::string text;
};
Reply control(Bus &bus, const std::vector<std::string> &words, int64_t now);
extern const char kUsage[];

} // namespace cansim
