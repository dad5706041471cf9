#include "canbus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cansim
{

namespace
{

constexpr size_t kRecord = sizeof(canmsg_t);
constexpr uint32_t kTcgets = 0x5401; // isatty() of the C library: not a CAN request, not a fault

bool standard_rate(uint32_t kbit)
{
    static const uint32_t rates[] = {10, 20, 50, 100, 125, 250, 500, 800, 1000};
    return std::find(std::begin(rates), std::end(rates), kbit) != std::end(rates);
}

std::string hex(uint32_t v)
{
    char b[16];
    snprintf(b, sizeof b, "0x%x", v);
    return b;
}

canmsg_t record_at(std::span<const uint8_t> in, size_t i)
{
    canmsg_t m;
    std::memcpy(&m, in.data() + i * kRecord, kRecord);
    return m;
}

} // namespace

std::string describe(const canmsg_t &m)
{
    char b[128];
    int n = snprintf(b, sizeof b, "id=0x%x len=%d flags=0x%02x data=", m.id, m.length, static_cast<unsigned>(m.flags));
    std::string s(b, static_cast<size_t>(n));
    int len = std::clamp<int>(m.length, 0, 8);
    for (int i = 0; i < len; ++i) {
        snprintf(b, sizeof b, i == 0 ? "%02x" : " %02x", m.data[i]);
        s += b;
    }
    if (len == 0)
        s += "-";
    return s;
}

Bus::Bus(const Options &o) : opt_(o), default_baud_(o.baud)
{
    nodes_.resize(static_cast<size_t>(std::clamp(o.nodes, 1, 64)));
    for (size_t i = 0; i < nodes_.size(); ++i) {
        nodes_[i].index = static_cast<int>(i);
        nodes_[i].baud = o.baud;
    }
}

void Bus::violation(const std::string &what)
{
    if (violations_.size() < 1000)
        violations_.push_back(what);
}

Session *Bus::session(int id)
{
    auto it = sessions_.find(id);
    return it == sessions_.end() ? nullptr : &it->second;
}

int Bus::open(int id, int node, bool can_write)
{
    if (node < 0 || node >= nodes())
        return ENXIO;
    Node &n = nodes_[static_cast<size_t>(node)];
    if (!n.present)
        return ENODEV;
    bool first = std::none_of(sessions_.begin(), sessions_.end(),
                              [&](const auto &kv) { return kv.second.node == node && !kv.second.dead; });
    if (first) {
        // The first open initialises the controller and starts it at the
        // default bit rate; the transmit queue starts empty.
        n.baud = default_baud_;
        n.acc_code = 0;
        n.acc_mask = 0xFFFFFFFFu;
        n.state = Node::State::kActive;
        n.running = true;
        n.lose_next = n.mark_ovr = false;
        n.tx.clear();
    }
    Session s;
    s.id = id;
    s.node = node;
    s.can_write = can_write;
    s.opened = ++opens_made_;
    sessions_[id] = std::move(s);
    return 0;
}

int Bus::opens(int node) const
{
    int n = 0;
    for (const auto &[id, s] : sessions_)
        n += s.node == node && !s.dead ? 1 : 0;
    return n;
}

size_t Bus::queued(int node) const
{
    size_t n = 0;
    for (const auto &[id, s] : sessions_)
        n += s.node == node ? s.rx.size() : 0;
    return n;
}

void Bus::close(int id)
{
    sessions_.erase(id);
}

bool Bus::readable(int id) const
{
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return false;
    return it->second.dead || !it->second.rx.empty();
}

bool Bus::writable(int id) const
{
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return false;
    const Session &s = it->second;
    size_t used = nodes_[static_cast<size_t>(s.node)].tx.size();
    return s.dead || opt_.tx_size - std::min(used, opt_.tx_size) >= std::max<size_t>(s.want_room, 1);
}

int64_t Bus::write_deadline(int id) const
{
    auto it = sessions_.find(id);
    if (it == sessions_.end() || it->second.write_blocked_since < 0)
        return -1;
    return it->second.write_blocked_since + opt_.tx_timeout_us;
}

Outcome Bus::read(int id, std::vector<uint8_t> &out, size_t octets, bool nonblock)
{
    (void)nonblock;
    Session *s = session(id);
    if (s == nullptr)
        return Outcome::fail(EBADF);
    if (s->dead)
        return Outcome::fail(ENODEV);
    if (octets % kRecord != 0) {
        violation("read of " + std::to_string(octets) + " octets: not a whole number of records");
        return Outcome::fail(EINVAL);
    }
    size_t want = octets / kRecord;
    if (want == 0)
        return Outcome::ok(0);
    if (s->rx.empty())
        return Outcome::fail(EAGAIN);
    size_t n = std::min(want, s->rx.size());
    out.resize(n * kRecord);
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(out.data() + i * kRecord, &s->rx.front(), kRecord);
        s->rx.pop_front();
    }
    return Outcome::ok(static_cast<int64_t>(out.size()));
}

Outcome Bus::write(int id, std::span<const uint8_t> in, bool nonblock, int64_t now)
{
    Session *s = session(id);
    if (s == nullptr)
        return Outcome::fail(EBADF);
    if (s->dead)
        return Outcome::fail(ENODEV);
    if (!s->can_write) {
        violation("write on a descriptor opened read-only");
        return Outcome::fail(EBADF);
    }
    if (in.size() % kRecord != 0) {
        violation("write of " + std::to_string(in.size()) + " octets: a partial record");
        return Outcome::fail(EINVAL);
    }
    size_t count = in.size() / kRecord;
    for (size_t i = 0; i < count; ++i) {
        canmsg_t m = record_at(in, i);
        std::string at = "write record " + std::to_string(i) + ": ";
        if (m.length < 0 || m.length > 8) {
            violation(at + "length " + std::to_string(m.length) + " outside 0..8");
            return Outcome::fail(EINVAL);
        }
        bool ext = (m.flags & MSG_EXT) != 0;
        if (m.id > (ext ? 0x1FFFFFFFu : 0x7FFu)) {
            violation(at + "identifier " + hex(m.id) + (ext ? " beyond 29 bits" : " beyond 11 bits without MSG_EXT"));
            return Outcome::fail(EINVAL);
        }
    }
    if (count == 0)
        return Outcome::ok(0);
    Node &n = nodes_[static_cast<size_t>(s->node)];
    size_t room = opt_.tx_size - std::min(opt_.tx_size, n.tx.size());
    if (nonblock && room == 0)
        return Outcome::fail(EAGAIN);
    // A blocking write waits until the whole write fits (as much as the
    // queue can hold); after the time-out it queues what fits, 0 records
    // when the queue is still full.
    size_t need = std::min(count, opt_.tx_size);
    if (!nonblock && room < need) {
        if (s->write_blocked_since < 0)
            s->write_blocked_since = now;
        if (now - s->write_blocked_since < opt_.tx_timeout_us) {
            s->want_room = need;
            return Outcome::fail(EAGAIN);
        }
    }
    s->want_room = 0;
    s->write_blocked_since = -1;
    size_t take = std::min(room, count);
    for (size_t i = 0; i < take; ++i) {
        canmsg_t m = record_at(in, i);
        m.flags &= MSG_EXT | MSG_RTR;
        n.tx.push_back({m, now, id});
    }
    return Outcome::ok(static_cast<int64_t>(take * kRecord));
}

// The configuring open of a node: the oldest live one.
bool Bus::configures(const Session &s) const
{
    for (const auto &[id, o] : sessions_)
        if (o.node == s.node && !o.dead && o.opened < s.opened)
            return false;
    return true;
}

// The record comes back with `error` 0 and the result in `retval`; the
// ioctl itself succeeds (the looser model fails it instead).
Outcome Bus::answer(Node &n, const Command_par_t &c, int32_t retval, std::vector<uint8_t> &out)
{
    if (retval != 0) {
        n.requests.back() += std::string(": ") + (retval == EPERM ? "EPERM, not the first open" : "EINVAL");
        if (opt_.lenient)
            return Outcome::fail(retval);
    }
    Command_par_t r = c;
    r.error = 0;
    r.retval = retval;
    out.assign(reinterpret_cast<const uint8_t *>(&r), reinterpret_cast<const uint8_t *>(&r) + sizeof r);
    return Outcome::ok();
}

// Reset empties the queues and clears the error state, keeping the
// configuration; the controller stays in reset (stopped) until a start.
void Bus::reset_node(Node &n)
{
    n.tx.clear();
    n.state = Node::State::kActive;
    n.running = opt_.lenient;
    n.lose_next = n.mark_ovr = false;
    for (auto &[id, s] : sessions_)
        if (s.node == n.index)
            s.rx.clear();
}

Outcome Bus::command(Session &s, Node &n, const Command_par_t &c, std::vector<uint8_t> &out)
{
    const bool allowed = opt_.lenient || configures(s);
    switch (c.cmd) {
    case CMD_START:
        n.requests.push_back("command start");
        if (!allowed)
            return answer(n, c, EPERM, out);
        if (n.state == Node::State::kBusOff)
            n.state = Node::State::kActive; // bus-off recovery
        n.running = true;
        break;
    case CMD_STOP:
        n.requests.push_back("command stop");
        if (!allowed)
            return answer(n, c, EPERM, out);
        n.running = false;
        break;
    case CMD_RESET:
        n.requests.push_back("command reset");
        if (!allowed)
            return answer(n, c, EPERM, out);
        reset_node(n);
        break;
    default:
        n.requests.push_back("command " + std::to_string(c.cmd) + " (unknown)");
        violation("command request with unknown cmd " + std::to_string(c.cmd));
        return answer(n, c, EINVAL, out);
    }
    return answer(n, c, 0, out);
}

Outcome Bus::config(Session &s, Node &n, const Config_par_t &c, std::vector<uint8_t> &out)
{
    const bool allowed = opt_.lenient || configures(s);
    std::string state = n.running ? " (running)" : "";
    switch (c.target) {
    case CONF_TIMING:
        n.requests.push_back("config timing " + std::to_string(c.val1) + state);
        if (!allowed)
            return answer(n, c, EPERM, out);
        if (!standard_rate(c.val1)) {
            violation("bit rate " + std::to_string(c.val1) + " kbit/s is none of 10 20 50 100 125 250 500 800 1000");
            return answer(n, c, EINVAL, out);
        }
        n.baud = c.val1;
        break;
    case CONF_ACCC:
        n.requests.push_back("config acc_code " + hex(c.val1) + state);
        if (!allowed)
            return answer(n, c, EPERM, out);
        n.acc_code = c.val1;
        break;
    case CONF_ACCM_CODE:
        n.requests.push_back("config acc_mask " + hex(c.val1) + " acc_code " + hex(c.val2) + state);
        if (!allowed)
            return answer(n, c, EPERM, out);
        n.acc_mask = c.val1;
        n.acc_code = c.val2;
        break;
    default:
        n.requests.push_back("config target " + std::to_string(c.target) + " (unknown)");
        violation("configuration request with unknown target " + std::to_string(c.target));
        return answer(n, c, EINVAL, out);
    }
    return answer(n, c, 0, out);
}

Outcome Bus::ioctl(int id, uint32_t request, std::span<const uint8_t> in, std::vector<uint8_t> &out)
{
    Session *s = session(id);
    if (s == nullptr)
        return Outcome::fail(EBADF);
    if (s->dead)
        return Outcome::fail(ENODEV);
    Node &n = nodes_[static_cast<size_t>(s->node)];
    switch (request) {
    case CAN_IOCTL_COMMAND:
    case CAN_IOCTL_CONFIG: {
        const char *what = request == CAN_IOCTL_COMMAND ? "command" : "configuration";
        if (in.size() < sizeof(Command_par_t)) {
            violation(std::string(what) + " request without its record");
            return Outcome::fail(EFAULT);
        }
        Command_par_t c;
        std::memcpy(&c, in.data(), sizeof c);
        return request == CAN_IOCTL_COMMAND ? command(*s, n, c, out) : config(*s, n, c, out);
    }
    case CAN_IOCTL_STATUS: {
        ++n.status_requests;
        CanStatusPar_t st{};
        st.baud = n.baud;
        st.status = 0x0C; // transmit buffer free, last transmission complete
        st.error_warning_limit = 96;
        if (n.state == Node::State::kPassive) {
            st.status |= 0x40;
            st.rx_errors = st.tx_errors = 128;
        } else if (n.state == Node::State::kBusOff) {
            st.status |= 0xC0;
            st.tx_errors = 255;
            st.rx_errors = 128;
        }
        st.rx_buffer_size = static_cast<uint32_t>(opt_.rx_size);
        st.rx_buffer_used = static_cast<uint32_t>(s->rx.size());
        st.tx_buffer_size = static_cast<uint32_t>(opt_.tx_size);
        st.tx_buffer_used = static_cast<uint32_t>(n.tx.size());
        st.type = opt_.type;
        out.assign(reinterpret_cast<const uint8_t *>(&st), reinterpret_cast<const uint8_t *>(&st) + sizeof st);
        return Outcome::ok();
    }
    case kTcgets:
        return Outcome::fail(ENOTTY);
    default:
        violation("unknown ioctl request " + hex(request));
        return Outcome::fail(ENOTTY);
    }
}

int64_t Bus::frame_us(const canmsg_t &m, uint32_t kbit) const
{
    int len = (m.flags & MSG_RTR) != 0 ? 0 : std::clamp<int>(m.length, 0, 8);
    int64_t bits = ((m.flags & MSG_EXT) != 0 ? 67 : 47) + 8 * len;
    uint32_t rate = std::max<uint32_t>(kbit, 1);
    return (bits * 1000 + rate - 1) / rate;
}

void Bus::put_rx(Session &s, Node &n, canmsg_t m)
{
    if (s.rx.size() >= opt_.rx_size) {
        // The driver's buffer is full: the record is lost, the newest one
        // kept carries the mark.
        s.rx.back().flags |= MSG_BOVR;
        ++s.overruns;
        ++n.overruns;
        return;
    }
    s.rx.push_back(m);
    ++s.received;
}

void Bus::deliver(canmsg_t m, int from, int64_t end, int writer)
{
    int64_t wall_us = wall(end);
    m.seconds = static_cast<int32_t>(wall_us / 1000000);
    m.microseconds = static_cast<int32_t>(wall_us % 1000000);
    m.flags &= MSG_EXT | MSG_RTR;
    int len = std::clamp<int>(m.length, 0, 8);
    if ((m.flags & MSG_RTR) != 0)
        len = 0;
    for (int i = len; i < 8; ++i)
        m.data[i] = 0; // only the data octets travel
    for (Node &n : nodes_) {
        if (!n.present || !n.running)
            continue;
        canmsg_t r = m;
        if (n.index == from) {
            // The driver queues what one open wrote for the node's other
            // opens (its own filter does not apply: the frame never came
            // in through the controller); the writer sees it only with
            // self-reception, flagged.
            if (!opt_.lenient)
                for (auto &[id, s] : sessions_)
                    if (s.node == n.index && !s.dead && id != writer)
                        put_rx(s, n, r);
            if (!n.self)
                continue;
            r.flags |= MSG_SELF;
            if (!opt_.lenient) {
                if (Session *w = session(writer); w != nullptr && !w->dead) {
                    ++n.received;
                    put_rx(*w, n, r);
                }
                continue;
            }
        }
        if (((r.id ^ n.acc_code) & ~n.acc_mask) != 0)
            continue;
        if (n.lose_next) {
            n.lose_next = false;
            n.mark_ovr = true;
            ++n.overruns;
            continue;
        }
        if (n.mark_ovr) {
            n.mark_ovr = false;
            r.flags |= MSG_OVR;
        }
        ++n.received;
        for (auto &[id, s] : sessions_)
            if (s.node == n.index && !s.dead)
                put_rx(s, n, r);
    }
}

void Bus::transmit(const canmsg_t &m, int from, int64_t end, int writer)
{
    if (from >= 0) {
        Node &n = nodes_[static_cast<size_t>(from)];
        ++n.sent;
        if (n.sent_log.size() < kLogLimit)
            n.sent_log.push_back(m);
    }
    uint64_t number = ++frames_;
    Fault f = Fault::kDrop;
    bool faulty = false;
    if (auto it = faults_.find(number); it != faults_.end()) {
        f = it->second;
        faulty = true;
        faults_.erase(it);
    }
    if (faulty && f == Fault::kSwap) {
        held_.push_back({m, from, writer});
        return;
    }
    if (!(faulty && f == Fault::kDrop)) {
        deliver(m, from, end, writer);
        if (faulty && f == Fault::kDup)
            deliver(m, from, end, writer);
    }
    std::vector<Held> held;
    held.swap(held_);
    for (const Held &h : held)
        deliver(h.m, h.from, end, h.writer);
}

void Bus::foreign_frame(const canmsg_t &m, int64_t now)
{
    foreign_.push_back({m, now});
}

void Bus::set_traffic(const Traffic &t, int64_t now)
{
    traffic_ = t;
    traffic_start_ = now;
    traffic_made_ = 0;
    last_due_ = now;
    // Frames of the previous traffic still waiting are withdrawn.
    foreign_.erase(std::remove_if(foreign_.begin(), foreign_.end(), [](const Pending &p) { return p.m.cob == 1; }),
                   foreign_.end());
}

canmsg_t Bus::traffic_record()
{
    canmsg_t m{};
    m.cob = 1; // marks generated traffic in the foreign queue
    switch (traffic_.kind) {
    case Traffic::Kind::kSeq: {
        // The numbered sequence: identifiers 0..2042, lengths 0..8, one
        // sequence number per length cycle, carried in the data.
        m.id = static_cast<uint32_t>(seq_ % 2043);
        m.length = static_cast<int16_t>(seq_ % 9);
        uint64_t number = seq_ / 9;
        std::memcpy(m.data, &number, 8);
        ++seq_;
        break;
    }
    case Traffic::Kind::kFixed: {
        m.id = traffic_.id;
        m.flags = traffic_.id > 0x7FF ? MSG_EXT : 0;
        m.length = static_cast<int16_t>(traffic_.length);
        uint64_t number = traffic_made_;
        std::memcpy(m.data, &number, 8);
        break;
    }
    case Traffic::Kind::kRandom:
        m.id = std::uniform_int_distribution<uint32_t>(0, 0x7FF)(rng_);
        m.length = static_cast<int16_t>(std::uniform_int_distribution<int>(0, 8)(rng_));
        for (uint8_t &b : m.data)
            b = static_cast<uint8_t>(rng_());
        break;
    }
    return m;
}

void Bus::generate(int64_t now)
{
    if (traffic_.rate <= 0)
        return;
    constexpr size_t kStationQueue = 256;
    while ((traffic_.limit == 0 || traffic_made_ < traffic_.limit) && foreign_.size() < kStationQueue) {
        int64_t due = traffic_start_ + static_cast<int64_t>(static_cast<double>(traffic_made_) * 1e6 / traffic_.rate);
        if (traffic_.jitter_us > 0)
            due += std::uniform_int_distribution<int64_t>(-traffic_.jitter_us, traffic_.jitter_us)(rng_);
        due = std::max(due, last_due_);
        if (due > now)
            break;
        last_due_ = due;
        foreign_.push_back({traffic_record(), due});
        ++traffic_made_;
    }
}

int64_t Bus::run(int64_t now)
{
    for (;;) {
        generate(now);
        // Who contends: every running controller's first record and the
        // foreign station's, once queued; the lowest identifier wins.
        int64_t earliest = INT64_MAX;
        for (Node &n : nodes_)
            if (n.present && n.running && !n.tx.empty())
                earliest = std::min(earliest, n.tx.front().ready);
        if (!foreign_.empty())
            earliest = std::min(earliest, foreign_.front().ready);
        if (earliest == INT64_MAX || earliest > now)
            break;
        int64_t start = std::max(bus_free_, earliest);
        if (start > now)
            return start;
        int winner = -2;
        uint32_t best = UINT32_MAX;
        for (Node &n : nodes_)
            if (n.present && n.running && !n.tx.empty() && n.tx.front().ready <= start && n.tx.front().m.id < best) {
                best = n.tx.front().m.id;
                winner = n.index;
            }
        if (!foreign_.empty() && foreign_.front().ready <= start && (winner == -2 || foreign_.front().m.id < best))
            winner = -1;
        canmsg_t m;
        uint32_t kbit;
        int writer = 0;
        if (winner == -1) {
            m = foreign_.front().m;
            foreign_.pop_front();
            if (m.cob == 1)
                ++traffic_sent_;
            m.cob = 0;
            kbit = station_baud();
        } else {
            Node &n = nodes_[static_cast<size_t>(winner)];
            m = n.tx.front().m;
            writer = n.tx.front().session;
            n.tx.pop_front();
            kbit = n.baud;
        }
        int64_t end = start + frame_us(m, kbit);
        bus_free_ = end;
        transmit(m, winner, end, writer);
    }
    // Next due: the end of the frame on the wire when more wait, or the
    // next generated frame.
    bool waiting = !foreign_.empty();
    for (Node &n : nodes_)
        waiting = waiting || (n.present && n.running && !n.tx.empty());
    if (waiting)
        return std::max(bus_free_, now + 1);
    if (traffic_.rate > 0 && (traffic_.limit == 0 || traffic_made_ < traffic_.limit))
        return std::max(now + 1, traffic_start_ + static_cast<int64_t>(static_cast<double>(traffic_made_) * 1e6 /
                                                                       traffic_.rate) -
                                     traffic_.jitter_us);
    return -1;
}

uint32_t Bus::station_baud() const
{
    if (station_baud_ > 0)
        return station_baud_;
    uint32_t best = 0;
    for (const Node &n : nodes_)
        if (n.present && n.running)
            best = std::max(best, n.baud);
    return best > 0 ? best : default_baud_;
}

void Bus::error_state(int node, Node::State st, int64_t now)
{
    Node &n = nodes_.at(static_cast<size_t>(node));
    n.state = st;
    if (st == Node::State::kActive)
        return;
    if (st == Node::State::kBusOff)
        n.running = false;
    canmsg_t m{};
    m.id = CAN_ERROR_ID;
    m.flags = st == Node::State::kBusOff ? MSG_BUSOFF : MSG_PASSIVE;
    int64_t w = wall(now);
    m.seconds = static_cast<int32_t>(w / 1000000);
    m.microseconds = static_cast<int32_t>(w % 1000000);
    for (auto &[id, s] : sessions_)
        if (s.node == node && !s.dead)
            put_rx(s, n, m);
}

void Bus::fault(Fault f, uint64_t nth)
{
    faults_[frames_ + std::max<uint64_t>(nth, 1)] = f;
}

void Bus::vanish(int node)
{
    Node &n = nodes_.at(static_cast<size_t>(node));
    n.present = false;
    n.tx.clear();
    for (auto &[id, s] : sessions_)
        if (s.node == node) {
            s.dead = true;
            s.rx.clear();
        }
}

void Bus::appear(int node)
{
    Node &n = nodes_.at(static_cast<size_t>(node));
    n.present = true;
    reset_node(n);
}

void Bus::clear_logs()
{
    violations_.clear();
    for (Node &n : nodes_) {
        n.sent_log.clear();
        n.requests.clear();
        n.sent = n.received = n.overruns = n.status_requests = 0;
    }
    traffic_sent_ = 0;
}

} // namespace cansim
