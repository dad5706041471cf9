// The control words of vboard-can ("vboard ctl can ...").
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "canbus.h"

namespace cansim
{

const char kUsage[] =
    "usage: show | sent [NODE] | requests [NODE] | violations | clear\n"
    "       frame ID [DATA|-] [ext] [rtr]\n"
    "       traffic off | traffic RATE [seq | random | fixed ID LEN] [jitter US] [count N]\n"
    "       error NODE busoff|passive|active... | overrun NODE | fault drop|dup|swap [NTH]\n"
    "       vanish NODE | appear NODE | self NODE on|off | baud KBIT|auto\n";

namespace
{

bool number(const std::string &s, uint64_t &v, uint64_t max)
{
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long r = strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || r > max)
        return false;
    v = r;
    return true;
}

bool hex_data(const std::string &s, canmsg_t &m)
{
    if (s == "-") {
        m.length = 0;
        return true;
    }
    if (s.size() % 2 != 0 || s.size() > 16)
        return false;
    for (size_t i = 0; i < s.size(); i += 2) {
        uint64_t b;
        std::string two = "0x" + s.substr(i, 2);
        if (!isxdigit(static_cast<unsigned char>(s[i])) || !isxdigit(static_cast<unsigned char>(s[i + 1])) ||
            !number(two, b, 255))
            return false;
        m.data[i / 2] = static_cast<uint8_t>(b);
    }
    m.length = static_cast<int16_t>(s.size() / 2);
    return true;
}

const char *state_name(Node::State s)
{
    switch (s) {
    case Node::State::kActive:
        return "active";
    case Node::State::kPassive:
        return "passive";
    case Node::State::kBusOff:
        return "busoff";
    }
    return "?";
}

std::string show(Bus &bus)
{
    std::string t;
    char b[512];
    for (int i = 0; i < bus.nodes(); ++i) {
        Node &n = bus.node(i);
        snprintf(b, sizeof b,
                 "can%d present=%d running=%d state=%s baud=%u acc_code=0x%x acc_mask=0x%x self=%d tx=%zu/%zu "
                 "sent=%llu received=%llu overruns=%llu opens=%d queued=%zu\n",
                 i, n.present, n.running, state_name(n.state), n.baud, n.acc_code, n.acc_mask, n.self, n.tx.size(),
                 bus.options().tx_size, static_cast<unsigned long long>(n.sent),
                 static_cast<unsigned long long>(n.received), static_cast<unsigned long long>(n.overruns), bus.opens(i), bus.queued(i));
        t += b;
    }
    snprintf(b, sizeof b, "station baud=%u traffic sent=%llu\nviolations=%zu\n", bus.station_baud(),
             static_cast<unsigned long long>(bus.traffic_sent()), bus.violations().size());
    t += b;
    return t;
}

bool node_arg(Bus &bus, const std::string &s, int &node)
{
    uint64_t v;
    if (!number(s, v, static_cast<uint64_t>(bus.nodes() - 1)))
        return false;
    node = static_cast<int>(v);
    return true;
}

} // namespace

Reply control(Bus &bus, const std::vector<std::string> &w, int64_t now)
{
    const Reply usage{2, kUsage};
    if (w.empty())
        return usage;
    const std::string &cmd = w[0];
    int node = -1;
    if (cmd == "show" && w.size() == 1)
        return {0, show(bus)};
    if ((cmd == "sent" || cmd == "requests") && w.size() <= 2) {
        if (w.size() == 2 && !node_arg(bus, w[1], node))
            return usage;
        std::string t;
        for (int i = 0; i < bus.nodes(); ++i) {
            if (node >= 0 && i != node)
                continue;
            std::string prefix = "can" + std::to_string(i) + " ";
            if (cmd == "sent")
                for (const canmsg_t &m : bus.node(i).sent_log)
                    t += prefix + describe(m) + "\n";
            else
                for (const std::string &r : bus.node(i).requests)
                    t += prefix + r + "\n";
        }
        return {0, t};
    }
    if (cmd == "violations" && w.size() == 1) {
        std::string t;
        for (const std::string &v : bus.violations())
            t += v + "\n";
        return {0, t};
    }
    if (cmd == "clear" && w.size() == 1) {
        bus.clear_logs();
        return {0, ""};
    }
    if (cmd == "frame" && w.size() >= 2) {
        canmsg_t m{};
        uint64_t id;
        if (!number(w[1], id, 0x1FFFFFFF))
            return usage;
        m.id = static_cast<uint32_t>(id);
        size_t i = 2;
        if (i < w.size() && w[i] != "ext" && w[i] != "rtr") {
            if (!hex_data(w[i], m))
                return {2, "frame: DATA is up to 8 octets in hex (\"0102ff\") or \"-\"\n"};
            ++i;
        }
        for (; i < w.size(); ++i) {
            if (w[i] == "ext")
                m.flags |= MSG_EXT;
            else if (w[i] == "rtr")
                m.flags |= MSG_RTR;
            else
                return usage;
        }
        if (id > 0x7FF && (m.flags & MSG_EXT) == 0)
            return {2, "frame: identifier beyond 11 bits needs \"ext\"\n"};
        bus.foreign_frame(m, now);
        return {0, ""};
    }
    if (cmd == "traffic" && w.size() == 2 && w[1] == "off") {
        bus.set_traffic(Bus::Traffic{}, now);
        return {0, ""};
    }
    if (cmd == "traffic" && w.size() >= 2) {
        Bus::Traffic t;
        char *end = nullptr;
        errno = 0;
        t.rate = strtod(w[1].c_str(), &end);
        if (errno != 0 || *end != '\0' || !(t.rate > 0) || t.rate > 1e6)
            return {2, "traffic: RATE is records per second, above 0 and at most 1000000\n"};
        for (size_t i = 2; i < w.size(); ++i) {
            uint64_t v;
            if (w[i] == "seq") {
                t.kind = Bus::Traffic::Kind::kSeq;
            } else if (w[i] == "random") {
                t.kind = Bus::Traffic::Kind::kRandom;
            } else if (w[i] == "fixed" && i + 2 < w.size()) {
                uint64_t len;
                if (!number(w[i + 1], v, 0x1FFFFFFF) || !number(w[i + 2], len, 8))
                    return usage;
                t.kind = Bus::Traffic::Kind::kFixed;
                t.id = static_cast<uint32_t>(v);
                t.length = static_cast<int>(len);
                i += 2;
            } else if (w[i] == "jitter" && i + 1 < w.size() && number(w[i + 1], v, 10000000)) {
                t.jitter_us = static_cast<int64_t>(v);
                ++i;
            } else if (w[i] == "count" && i + 1 < w.size() && number(w[i + 1], v, UINT64_MAX)) {
                t.limit = v;
                ++i;
            } else {
                return usage;
            }
        }
        bus.set_traffic(t, now);
        return {0, ""};
    }
    if (cmd == "error" && w.size() >= 3 && node_arg(bus, w[1], node)) {
        // Several changes in one command reach the opens together.
        std::vector<Node::State> states;
        for (size_t i = 2; i < w.size(); ++i) {
            if (w[i] == "busoff")
                states.push_back(Node::State::kBusOff);
            else if (w[i] == "passive")
                states.push_back(Node::State::kPassive);
            else if (w[i] == "active")
                states.push_back(Node::State::kActive);
            else
                return usage;
        }
        for (Node::State s : states)
            bus.error_state(node, s, now);
        return {0, ""};
    }
    if (cmd == "overrun" && w.size() == 2 && node_arg(bus, w[1], node)) {
        bus.controller_overrun(node);
        return {0, ""};
    }
    if (cmd == "fault" && (w.size() == 2 || w.size() == 3)) {
        uint64_t nth = 1;
        if (w.size() == 3 && (!number(w[2], nth, 1000000000) || nth == 0))
            return usage;
        if (w[1] == "drop")
            bus.fault(Bus::Fault::kDrop, nth);
        else if (w[1] == "dup")
            bus.fault(Bus::Fault::kDup, nth);
        else if (w[1] == "swap")
            bus.fault(Bus::Fault::kSwap, nth);
        else
            return usage;
        return {0, ""};
    }
    if ((cmd == "vanish" || cmd == "appear") && w.size() == 2 && node_arg(bus, w[1], node)) {
        if (cmd == "vanish")
            bus.vanish(node);
        else
            bus.appear(node);
        return {0, ""};
    }
    if (cmd == "self" && w.size() == 3 && node_arg(bus, w[1], node) && (w[2] == "on" || w[2] == "off")) {
        bus.node(node).self = w[2] == "on";
        return {0, ""};
    }
    if (cmd == "baud" && w.size() == 2) {
        uint64_t v = 0;
        if (w[1] != "auto" && (!number(w[1], v, 1000) || v == 0))
            return usage;
        bus.set_station_baud(static_cast<uint32_t>(v));
        return {0, ""};
    }
    return usage;
}

} // namespace cansim
