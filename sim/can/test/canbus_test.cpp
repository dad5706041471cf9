// The bus model without the board: what a program sees through the device
// calls, and what the control words do.
#include <gtest/gtest.h>

#include <cstring>

#include "canbus.h"

namespace
{

using cansim::Bus;
using cansim::Node;
using cansim::Options;

canmsg_t msg(uint32_t id, int len, int32_t flags = 0)
{
    canmsg_t m{};
    m.id = id;
    m.length = static_cast<int16_t>(len);
    m.flags = flags;
    for (int i = 0; i < 8; ++i)
        m.data[i] = static_cast<uint8_t>(0xA0 + i);
    return m;
}

std::vector<uint8_t> octets(std::initializer_list<canmsg_t> ms)
{
    std::vector<uint8_t> v;
    for (const canmsg_t &m : ms) {
        auto p = reinterpret_cast<const uint8_t *>(&m);
        v.insert(v.end(), p, p + sizeof m);
    }
    return v;
}

class BusTest : public ::testing::Test
{
  public:
    explicit BusTest(Options o = {}) : bus(o) {}
    void open(int id, int node, bool rw = true) { ASSERT_EQ(bus.open(id, node, rw), 0); }
    int64_t write(int id, std::initializer_list<canmsg_t> ms, bool nonblock = true)
    {
        auto v = octets(ms);
        cansim::Outcome r = bus.write(id, v, nonblock, now);
        last_err = r.err;
        return r.value < 0 ? -1 : r.value / 32;
    }
    std::vector<canmsg_t> read(int id, size_t n = 100)
    {
        std::vector<uint8_t> out;
        cansim::Outcome r = bus.read(id, out, n * 32, true);
        last_err = r.err;
        std::vector<canmsg_t> ms(out.size() / 32);
        if (!out.empty())
            std::memcpy(ms.data(), out.data(), out.size());
        return ms;
    }
    cansim::Outcome ioctl(int id, uint32_t request, const Command_par_t &c, std::vector<uint8_t> &out)
    {
        auto p = reinterpret_cast<const uint8_t *>(&c);
        return bus.ioctl(id, request, std::span<const uint8_t>(p, sizeof c), out);
    }
    cansim::Outcome request(int id, uint32_t request, int32_t cmd_or_target, uint32_t v1 = 0, uint32_t v2 = 0)
    {
        Command_par_t c{};
        if (request == CAN_IOCTL_COMMAND)
            c.cmd = cmd_or_target;
        else
            c.target = cmd_or_target;
        c.val1 = v1;
        c.val2 = v2;
        std::vector<uint8_t> out;
        cansim::Outcome r = ioctl(id, request, c, out);
        last_retval = -1000;
        if (out.size() == sizeof c) {
            std::memcpy(&c, out.data(), sizeof c);
            last_retval = c.retval;
        }
        return r;
    }
    CanStatusPar_t status(int id)
    {
        std::vector<uint8_t> out;
        EXPECT_EQ(bus.ioctl(id, CAN_IOCTL_STATUS, {}, out).err, 0);
        CanStatusPar_t s{};
        std::memcpy(&s, out.data(), std::min(out.size(), sizeof s));
        return s;
    }
    void advance(int64_t us)
    {
        now += us;
        bus.run(now);
    }
    std::string ctl(const std::vector<std::string> &w, int status = 0)
    {
        cansim::Reply r = cansim::control(bus, w, now);
        EXPECT_EQ(r.status, status) << r.text;
        return r.text;
    }
    Bus bus;
    int64_t now = 1000;
    int last_err = 0;
    int32_t last_retval = 0;
};

TEST_F(BusTest, RecordReachesTheOtherNodesStampedAtTheEndOfTheFrame)
{
    open(1, 0);
    open(2, 1);
    open(3, 1);
    EXPECT_EQ(write(1, {msg(0x123, 3, MSG_SELF | MSG_OVR)}), 1);
    EXPECT_FALSE(bus.readable(2));
    advance(0);
    // 47 + 24 bits at 125 kbit/s: 568 us after it was queued.
    for (int s : {2, 3}) {
        std::vector<canmsg_t> r = read(s);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].id, 0x123u);
        EXPECT_EQ(r[0].flags, 0) << "the sender's flags other than EXT/RTR do not travel";
        EXPECT_EQ(r[0].length, 3);
        EXPECT_EQ(r[0].seconds, 0);
        EXPECT_EQ(r[0].microseconds, 1000 + 568);
        EXPECT_EQ(r[0].data[2], 0xA2);
        EXPECT_EQ(r[0].data[3], 0) << "octets beyond the length are not on the wire";
    }
    EXPECT_TRUE(read(1).empty());
    EXPECT_EQ(last_err, EAGAIN);

    ctl({"self", "0", "on"});
    write(1, {msg(0x7FF, 0)});
    advance(10000);
    std::vector<canmsg_t> own = read(1);
    ASSERT_EQ(own.size(), 1u);
    EXPECT_EQ(own[0].flags, MSG_SELF);
    EXPECT_EQ(read(2).size(), 1u);
    EXPECT_EQ(ctl({"sent", "0"}), "can0 id=0x123 len=3 flags=0x00 data=a0 a1 a2\ncan0 id=0x7ff len=0 flags=0x00 data=-\n");
    EXPECT_TRUE(bus.violations().empty());
}

TEST_F(BusTest, LowestIdentifierWinsAndTheBusIsPacedByTheBitRate)
{
    open(1, 0);
    open(2, 1);
    open(3, 1);
    ASSERT_EQ(request(1, CAN_IOCTL_CONFIG, CONF_TIMING, 1000).err, 0);
    ASSERT_EQ(request(2, CAN_IOCTL_CONFIG, CONF_TIMING, 1000).err, 0);
    write(1, {msg(0x300, 8), msg(0x100, 8)});
    write(2, {msg(0x200, 8)});
    advance(1000);
    // Both heads contend at once: 0x200 first, then node 0's FIFO in order;
    // 111 bits each at 1 Mbit/s. Open 3 hears its node's 0x200 as well.
    std::vector<canmsg_t> at0 = read(1), at1 = read(3);
    ASSERT_EQ(at0.size(), 1u);
    ASSERT_EQ(at1.size(), 3u);
    EXPECT_EQ(at0[0].microseconds, 1000 + 111);
    EXPECT_EQ(at1[0].id, 0x200u);
    EXPECT_EQ(at1[0].microseconds, 1000 + 111);
    EXPECT_EQ(at1[1].id, 0x300u);
    EXPECT_EQ(at1[1].microseconds, 1000 + 222);
    EXPECT_EQ(at1[2].id, 0x100u);
    EXPECT_EQ(at1[2].microseconds, 1000 + 333);
    read(2);

    // 20,000 records/s offered at 1 Mbit/s: the wire carries 9009 (111 bits each).
    ctl({"traffic", "20000", "fixed", "0x10", "8"});
    uint64_t got = 0;
    for (int i = 0; i < 1000; ++i) {
        advance(1000);
        got += read(2, 1000).size();
    }
    EXPECT_GE(got, 8990u);
    EXPECT_LE(got, 9010u);
    EXPECT_EQ(bus.session(2)->overruns, 0u);
}

TEST_F(BusTest, AcceptanceCodeAndMaskDecideWhatTheNodeReceives)
{
    open(1, 0);
    open(2, 1);
    // Code only: the default mask still passes everything.
    ASSERT_EQ(request(2, CAN_IOCTL_CONFIG, CONF_ACCC, 0x120).err, 0);
    ctl({"frame", "0x7", "-"});
    advance(5000);
    EXPECT_EQ(read(2).size(), 1u);
    // Mask 0x00F: 0x120..0x12F.
    ASSERT_EQ(request(2, CAN_IOCTL_CONFIG, CONF_ACCM_CODE, 0x00F, 0x120).err, 0);
    for (const char *id : {"0x120", "0x12f", "0x130", "0x20", "0x11f"})
        ctl({"frame", id, "01"});
    advance(10000);
    std::vector<canmsg_t> r = read(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].id, 0x120u);
    EXPECT_EQ(r[1].id, 0x12Fu);
    EXPECT_EQ(read(1).size(), 6u) << "node 0 keeps its own filter";
    // Error records pass any filter.
    ctl({"error", "1", "passive"});
    r = read(2);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].id, CAN_ERROR_ID);
    EXPECT_EQ(r[0].flags, MSG_PASSIVE);
    EXPECT_EQ(ctl({"requests"}), "can1 config acc_code 0x120 (running)\ncan1 config acc_mask 0xf acc_code 0x120 (running)\n");
}

class SmallQueues : public BusTest
{
  protected:
    static Options small()
    {
        Options o;
        o.rx_size = 4;
        o.tx_size = 2;
        o.tx_timeout_us = 50000;
        return o;
    }
    SmallQueues() : BusTest(small()) {}
};

TEST_F(SmallQueues, FullReceiveQueueMarksTheNewestRecordAndCountsTheLoss)
{
    open(1, 0);
    open(2, 1);
    for (int i = 0; i < 6; ++i)
        ctl({"frame", std::to_string(i), "01"});
    advance(100000);
    std::vector<canmsg_t> r = read(2);
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[2].flags, 0);
    EXPECT_EQ(r[3].id, 3u);
    EXPECT_EQ(r[3].flags, MSG_BOVR);
    EXPECT_EQ(bus.node(1).overruns, 2u);
    EXPECT_EQ(status(2).rx_buffer_size, 4u);

    ctl({"overrun", "1"});
    for (int i = 10; i < 13; ++i)
        ctl({"frame", std::to_string(i), "01"});
    advance(100000);
    r = read(2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].id, 11u);
    EXPECT_EQ(r[0].flags, MSG_OVR);
    EXPECT_EQ(r[1].flags, 0);
}

TEST_F(SmallQueues, StoppedControllerFillsItsQueueAndABlockingWriteTimesOut)
{
    open(1, 0);
    open(2, 1);
    ASSERT_EQ(request(1, CAN_IOCTL_COMMAND, CMD_STOP).err, 0);
    EXPECT_EQ(write(1, {msg(1, 1), msg(2, 1), msg(3, 1)}), 2) << "only what fits is queued";
    EXPECT_FALSE(bus.writable(1));
    EXPECT_EQ(write(1, {msg(4, 1)}), -1);
    EXPECT_EQ(last_err, EAGAIN);
    // Blocking: would block until the time-out, then 0.
    EXPECT_EQ(write(1, {msg(4, 1)}, false), -1);
    EXPECT_EQ(bus.write_deadline(1), now + 50000);
    now += 49999;
    EXPECT_EQ(write(1, {msg(4, 1)}, false), -1);
    now += 1;
    EXPECT_EQ(write(1, {msg(4, 1)}, false), 0);
    EXPECT_EQ(bus.write_deadline(1), -1);
    CanStatusPar_t s = status(1);
    EXPECT_EQ(s.tx_buffer_used, 2u);
    EXPECT_EQ(s.tx_buffer_size, 2u);
    advance(100000);
    EXPECT_TRUE(read(2).empty()) << "a stopped controller sends nothing";
    ASSERT_EQ(request(1, CAN_IOCTL_COMMAND, CMD_START).err, 0);
    advance(100000);
    EXPECT_EQ(read(2).size(), 2u);
    EXPECT_TRUE(bus.writable(1));
    // Reset empties the queues.
    request(1, CAN_IOCTL_COMMAND, CMD_STOP);
    write(1, {msg(5, 1)});
    ctl({"frame", "9", "-"});
    advance(100000);
    request(2, CAN_IOCTL_COMMAND, CMD_RESET);
    EXPECT_TRUE(read(2).empty());
    EXPECT_EQ(ctl({"requests", "0"}), "can0 command stop\ncan0 command start\ncan0 command stop\n");
}

TEST_F(BusTest, ProgramFaultsAreRecordedAndRefused)
{
    open(1, 0);
    open(2, 1, false);
    EXPECT_EQ(write(1, {msg(1, 9)}), -1);
    EXPECT_EQ(last_err, EINVAL);
    EXPECT_EQ(write(1, {msg(1, 8), msg(2, -1)}), -1) << "nothing of a write with a bad record is sent";
    EXPECT_EQ(write(1, {msg(0x800, 1)}), -1);
    EXPECT_EQ(write(1, {msg(0x20000000, 1, MSG_EXT)}), -1);
    EXPECT_EQ(write(1, {msg(0x1FFFFFFF, 1, MSG_EXT)}), 1);
    EXPECT_EQ(write(2, {msg(1, 1)}), -1);
    EXPECT_EQ(last_err, EBADF);
    std::vector<uint8_t> partial(40);
    EXPECT_EQ(bus.write(1, partial, true, now).err, EINVAL);
    std::vector<uint8_t> out;
    EXPECT_EQ(bus.ioctl(1, 7, {}, out).err, ENOTTY);
    EXPECT_EQ(bus.ioctl(1, 0x5401, {}, out).err, ENOTTY); // isatty: not a fault
    EXPECT_EQ(bus.ioctl(1, CAN_IOCTL_COMMAND, {}, out).err, EFAULT);
    // Refused requests come back whole with the error in retval.
    for (auto [req, what, v1] : {std::tuple{CAN_IOCTL_COMMAND, 4, 0u},
                                 {CAN_IOCTL_CONFIG, 1, 5u},
                                 {CAN_IOCTL_CONFIG, CONF_TIMING, 333u}}) {
        EXPECT_EQ(request(1, static_cast<uint32_t>(req), what, v1).err, 0);
        EXPECT_EQ(last_retval, EINVAL) << what;
    }
    EXPECT_EQ(status(1).baud, 125u) << "a refused rate changes nothing";
    EXPECT_EQ(ctl({"violations"}), "write record 0: length 9 outside 0..8\n"
                                   "write record 1: length -1 outside 0..8\n"
                                   "write record 0: identifier 0x800 beyond 11 bits without MSG_EXT\n"
                                   "write record 0: identifier 0x20000000 beyond 29 bits\n"
                                   "write on a descriptor opened read-only\n"
                                   "write of 40 octets: a partial record\n"
                                   "unknown ioctl request 0x7\n"
                                   "command request without its record\n"
                                   "command request with unknown cmd 4\n"
                                   "configuration request with unknown target 1\n"
                                   "bit rate 333 kbit/s is none of 10 20 50 100 125 250 500 800 1000\n");
    ctl({"clear"});
    EXPECT_EQ(ctl({"violations"}), "");
}

TEST_F(BusTest, CommandAndStatusRecordsComeBackFilled)
{
    open(1, 0);
    Command_par_t c{CMD_STOP, 0, 0, 0, 77, -5};
    std::vector<uint8_t> out;
    ASSERT_EQ(ioctl(1, CAN_IOCTL_COMMAND, c, out).err, 0);
    Command_par_t r;
    ASSERT_EQ(out.size(), sizeof r);
    std::memcpy(&r, out.data(), sizeof r);
    EXPECT_EQ(r.cmd, CMD_STOP);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(r.retval, 0);
    CanStatusPar_t s = status(1);
    EXPECT_EQ(s.baud, 125u);
    EXPECT_EQ(s.status, 0x0Cu);
    EXPECT_EQ(s.error_warning_limit, 96u);
    EXPECT_EQ(s.rx_buffer_size, 512u);
    EXPECT_EQ(s.tx_buffer_size, 256u);
    EXPECT_EQ(s.type, CAN_TYPE_SJA1000);
}

TEST_F(BusTest, BusOffStopsTheControllerUntilStarted)
{
    open(1, 0);
    open(2, 1);
    ctl({"error", "0", "busoff"});
    std::vector<canmsg_t> r = read(1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].id, CAN_ERROR_ID);
    EXPECT_EQ(r[0].flags, MSG_BUSOFF);
    EXPECT_EQ(r[0].length, 0);
    EXPECT_TRUE(read(2).empty()) << "only the node's own opens";
    CanStatusPar_t s = status(1);
    EXPECT_EQ(s.status, 0xCCu);
    EXPECT_EQ(s.tx_errors, 255u);
    write(1, {msg(1, 1)});
    advance(10000);
    EXPECT_TRUE(read(2).empty());
    request(1, CAN_IOCTL_COMMAND, CMD_START);
    advance(10000);
    EXPECT_EQ(read(2).size(), 1u);
    EXPECT_EQ(status(1).status, 0x0Cu);
    ctl({"error", "0", "passive"});
    EXPECT_EQ(status(1).status, 0x4Cu);
    ctl({"error", "0", "active"});
    EXPECT_EQ(read(1).size(), 1u) << "one record for the passive change, none for active";
    // Several changes in one command are there for the same read.
    ctl({"error", "0", "busoff", "passive"});
    r = read(1);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].flags, MSG_BUSOFF);
    EXPECT_EQ(r[1].flags, MSG_PASSIVE);
}

TEST_F(BusTest, WireFaultsLoseDuplicateAndReorderTheSequence)
{
    open(2, 1);
    ctl({"fault", "drop", "2"});
    ctl({"fault", "dup", "4"});
    ctl({"fault", "swap", "6"});
    ctl({"traffic", "1000", "seq", "count", "10"});
    advance(20000);
    std::vector<uint32_t> ids;
    for (const canmsg_t &m : read(2))
        ids.push_back(m.id);
    EXPECT_EQ(ids, (std::vector<uint32_t>{0, 2, 3, 3, 4, 6, 5, 7, 8, 9}));
}

TEST_F(BusTest, SequenceTrafficCarriesTheNumberInTheData)
{
    open(2, 1);
    ctl({"baud", "1000"});
    ctl({"traffic", "5000", "count", "2100"});
    std::vector<canmsg_t> all;
    for (int i = 0; i < 100; ++i) {
        advance(10000);
        auto r = read(2, 10000);
        all.insert(all.end(), r.begin(), r.end());
    }
    ASSERT_EQ(all.size(), 2100u);
    EXPECT_EQ(all[17].id, 17u);
    EXPECT_EQ(all[17].length, 8);
    uint64_t number;
    std::memcpy(&number, all[17].data, 8);
    EXPECT_EQ(number, 1u);
    EXPECT_EQ(all[2043].id, 0u);
    EXPECT_EQ(all[2043].length, 2043 % 9);
    // 5000/s: the frames start 200 us apart; the stamps are their ends
    // (record 1000 has one octet more than record 0).
    EXPECT_EQ((all[1000].seconds - all[0].seconds) * 1000000 + all[1000].microseconds - all[0].microseconds,
              200000 + 8);
}

TEST_F(BusTest, JitterMovesFramesWithinItsBound)
{
    open(2, 1);
    ctl({"baud", "1000"});
    ctl({"traffic", "1000", "fixed", "0x55", "2", "jitter", "300"});
    std::vector<canmsg_t> all;
    for (int i = 0; i < 50; ++i) {
        advance(10000);
        auto r = read(2, 10000);
        all.insert(all.end(), r.begin(), r.end());
    }
    ASSERT_GE(all.size(), 495u);
    int64_t lo = INT64_MAX, hi = 0;
    for (size_t i = 1; i < all.size(); ++i) {
        int64_t d = (all[i].seconds - all[i - 1].seconds) * 1000000LL + all[i].microseconds - all[i - 1].microseconds;
        lo = std::min(lo, d);
        hi = std::max(hi, d);
    }
    EXPECT_LE(hi, 1000 + 600);
    EXPECT_GE(lo, 63); // at least one frame time (63 us for 2 octets)
    EXPECT_GT(hi - lo, 300) << "the spacing varies";
}

TEST_F(BusTest, VanishedNodeFailsEveryCallAndWakesItsWaiters)
{
    open(1, 0);
    open(2, 1);
    EXPECT_FALSE(bus.readable(2));
    ctl({"vanish", "1"});
    EXPECT_TRUE(bus.readable(2));
    EXPECT_TRUE(bus.writable(2));
    read(2);
    EXPECT_EQ(last_err, ENODEV);
    EXPECT_EQ(write(2, {msg(1, 1)}), -1);
    EXPECT_EQ(last_err, ENODEV);
    EXPECT_EQ(request(2, CAN_IOCTL_COMMAND, CMD_START).err, ENODEV);
    EXPECT_EQ(bus.open(3, 1, true), ENODEV);
    write(1, {msg(1, 1)});
    advance(10000);
    ctl({"appear", "1"});
    read(2);
    EXPECT_EQ(last_err, ENODEV) << "an open of the gone device stays dead";
    EXPECT_EQ(bus.open(3, 1, true), 0);
    EXPECT_TRUE(read(3).empty());
    EXPECT_EQ(last_err, EAGAIN);
}

TEST_F(BusTest, ControlWordsAreChecked)
{
    for (std::vector<std::string> w : std::vector<std::vector<std::string>>{
             {},
             {"frame"},
             {"frame", "0x800", "01"},
             {"frame", "1", "123"},
             {"frame", "1", "0102030405060708ff"},
             {"frame", "-1"},
             {"traffic", "0"},
             {"traffic", "10", "fixed", "1", "9"},
             {"traffic", "abc"},
             {"error", "2", "busoff"},
             {"error", "0", "sleepy"},
             {"error", "0", "busoff", "sleepy"},
             {"fault", "drop", "0"},
             {"self", "0", "maybe"},
             {"sent", "x"},
             {"baud", "2000"},
             {"dance"}})
        ctl(w, 2);
    ctl({"frame", "0x1fffffff", "ff", "ext", "rtr"});
    EXPECT_NE(ctl({"show"}).find("violations=0"), std::string::npos);
}

// The driver's rules for several opens of a node, and the looser model a
// switch keeps: the same calls, the outcome of each in both.
TEST(DriverRules, FirstOpenConfiguresResetStopsAndWritesReachTheNodesOtherOpens)
{
    for (bool lenient : {false, true}) {
        SCOPED_TRACE(lenient ? "lenient" : "driver");
        struct Bench : BusTest {
            explicit Bench(bool l) : BusTest(Options{.lenient = l}) {}
            void TestBody() override {}
        } t(lenient);
        t.open(1, 0);
        t.open(2, 0);
        t.open(3, 1);
        const int32_t refused = lenient ? 0 : EPERM;
        // A later open may neither stop nor retime the controller.
        EXPECT_EQ(t.request(2, CAN_IOCTL_COMMAND, CMD_STOP).err, 0);
        EXPECT_EQ(t.last_retval, refused);
        EXPECT_EQ(t.bus.node(0).running, !lenient);
        t.request(1, CAN_IOCTL_COMMAND, CMD_START);
        EXPECT_EQ(t.request(2, CAN_IOCTL_CONFIG, CONF_TIMING, 500).err, 0);
        EXPECT_EQ(t.last_retval, refused);
        EXPECT_EQ(t.bus.node(0).baud, lenient ? 500u : 125u);
        EXPECT_EQ(t.request(2, CAN_IOCTL_CONFIG, CONF_ACCC, 0x10).err, 0);
        EXPECT_EQ(t.last_retval, refused);
        if (lenient)
            t.request(2, CAN_IOCTL_CONFIG, CONF_ACCC, 0);
        // What open 1 writes reaches open 2 of its node, unflagged.
        t.write(1, {msg(0x10, 1)});
        t.advance(10000);
        EXPECT_EQ(t.read(2).size(), lenient ? 0u : 1u);
        EXPECT_EQ(t.read(3).size(), 1u);
        EXPECT_TRUE(t.read(1).empty());
        // Reset leaves the controller stopped until a start.
        EXPECT_EQ(t.request(1, CAN_IOCTL_COMMAND, CMD_RESET).err, 0);
        EXPECT_EQ(t.bus.node(0).running, lenient);
        t.write(1, {msg(0x11, 1)});
        t.advance(10000);
        EXPECT_EQ(t.read(3).size(), lenient ? 1u : 0u);
        t.request(1, CAN_IOCTL_COMMAND, CMD_START);
        t.advance(10000);
        EXPECT_EQ(t.read(3).size(), lenient ? 0u : 1u) << "the record queued in reset goes at the start";
        // A refused rate: retval, or the looser ioctl failure.
        EXPECT_EQ(t.request(1, CAN_IOCTL_CONFIG, CONF_TIMING, 333).err, lenient ? EINVAL : 0);
        EXPECT_EQ(t.last_retval, lenient ? -1000 : EINVAL);
        t.bus.clear_logs();
        // The first open closed: the oldest one left configures.
        t.bus.close(1);
        EXPECT_EQ(t.request(2, CAN_IOCTL_COMMAND, CMD_STOP).err, 0);
        EXPECT_EQ(t.last_retval, 0);
    }
}

TEST_F(BusTest, RefusalsAreLoggedWithTheirReason)
{
    open(1, 0);
    open(2, 0);
    request(2, CAN_IOCTL_COMMAND, CMD_RESET);
    request(2, CAN_IOCTL_CONFIG, CONF_TIMING, 500);
    request(1, CAN_IOCTL_CONFIG, CONF_TIMING, 333);
    request(1, CAN_IOCTL_COMMAND, CMD_RESET);
    EXPECT_EQ(ctl({"requests", "0"}), "can0 command reset: EPERM, not the first open\n"
                                      "can0 config timing 500 (running): EPERM, not the first open\n"
                                      "can0 config timing 333 (running): EINVAL\n"
                                      "can0 command reset\n");
    EXPECT_NE(ctl({"show"}).find("can0 present=1 running=0 "), std::string::npos) << "in reset";
}

} // namespace
