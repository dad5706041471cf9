// The emulation's request decoding: arbitrary sequences of device calls
// (opens, closes, reads, writes of any octets, ioctls with any request and
// argument), control words and clock steps on the bus model. Nothing may
// crash or read out of bounds, and the queues keep their limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "canbus.h"

namespace
{

struct Input {
    const uint8_t *p;
    size_t n;
    uint8_t byte() { return n > 0 ? (--n, *p++) : 0; }
    uint32_t word()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v = v << 8 | byte();
        return v;
    }
    std::vector<uint8_t> bytes(size_t k)
    {
        k = std::min(k, n);
        std::vector<uint8_t> v(p, p + k);
        p += k;
        n -= k;
        return v;
    }
};

void check(bool ok)
{
    if (!ok)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    cansim::Options o;
    o.nodes = 3;
    o.rx_size = 8;
    o.tx_size = 4;
    o.tx_timeout_us = 1000;
    cansim::Bus bus(o);
    Input in{data, size};
    int64_t now = 0;
    static const char *words[] = {"show", "sent", "requests", "violations", "clear", "frame", "traffic", "off",
                                  "seq", "random", "fixed", "jitter", "count", "error", "busoff", "passive",
                                  "active", "overrun", "fault", "drop", "dup", "swap", "vanish", "appear",
                                  "self", "on", "baud", "auto", "0", "1", "2", "0x7ff", "-", "0102", "ext",
                                  "rtr", "9000", "100000000"};
    while (in.n > 0) {
        uint8_t op = in.byte();
        int id = op >> 4 & 7;
        switch (op & 15) {
        case 0:
            bus.open(id, in.byte() % 4, (in.byte() & 1) != 0);
            break;
        case 1:
            bus.close(id);
            break;
        case 2: {
            std::vector<uint8_t> out;
            size_t want = in.byte() * 8u;
            cansim::Outcome r = bus.read(id, out, want, (op & 0x80) != 0);
            check(r.value < 0 || (static_cast<size_t>(r.value) == out.size() && out.size() <= want &&
                                  out.size() % sizeof(canmsg_t) == 0));
            break;
        }
        case 3: {
            std::vector<uint8_t> b = in.bytes(in.byte());
            cansim::Outcome r = bus.write(id, b, (op & 0x80) != 0, now);
            check(r.value <= static_cast<int64_t>(b.size()));
            break;
        }
        case 4: {
            uint32_t req = in.byte() % 8;
            std::vector<uint8_t> arg = in.bytes(in.byte() % 64);
            std::vector<uint8_t> out;
            bus.ioctl(id, req == 7 ? in.word() : req, arg, out);
            check(out.size() <= sizeof(CanStatusPar_t));
            break;
        }
        case 5: {
            std::vector<std::string> w;
            for (int k = in.byte() % 6; k > 0; --k)
                w.push_back(words[in.byte() % (sizeof words / sizeof *words)]);
            cansim::control(bus, w, now);
            break;
        }
        default:
            now += in.byte() * 97;
            bus.run(now);
            break;
        }
        for (int n = 0; n < bus.nodes(); ++n)
            check(bus.node(n).tx.size() <= o.tx_size);
        for (int s = 0; s < 8; ++s)
            if (const cansim::Session *ss = bus.session(s))
                check(ss->rx.size() <= o.rx_size);
    }
    return 0;
}
