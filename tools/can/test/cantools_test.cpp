// The CAN tools, the real binaries, on the emulated bus. Their long sleeps
// (10 s, 30 s, 1 s) are shortened a hundredfold by the test-only time-scale
// preload; the tools keep their values.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "can4linux.h"
#include "vboard/testing.h"

namespace
{

using vboard::RunResult;
using vboard::testing::TestBoard;
using namespace std::chrono_literals;

vboard::Target scaled()
{
    vboard::Target t = vboard::testing::this_target();
    if (t.armel)
        t.armel_preload = std::string(CANTOOLS_TIMESCALE) + ":" + t.armel_preload;
    else
        t.preload = std::string(CANTOOLS_TIMESCALE) + ":" + t.preload;
    return t;
}

std::vector<std::string> lines(const std::string &s)
{
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);)
        v.push_back(l);
    return v;
}

// cbcheck's output without the "%d " read counts (they depend on how the
// records fall into reads); their sum goes to *records.
std::string without_counts(const std::string &out, long *records = nullptr)
{
    std::string r;
    long sum = 0;
    size_t i = 0;
    while (i < out.size()) {
        size_t j = i;
        if (out[j] == '-')
            ++j;
        size_t digits = j;
        while (j < out.size() && isdigit(static_cast<unsigned char>(out[j])))
            ++j;
        bool at_line_start = i == 0 || out[i - 1] == '\n' || out[i - 1] == ' ';
        if (j > digits && j < out.size() && out[j] == ' ' && at_line_start &&
            (r.empty() || r.back() == '\n')) {
            long n = std::stol(out.substr(i, j - i));
            if (n > 0)
                sum += n;
            i = j + 1;
            continue;
        }
        size_t e = out.find('\n', i);
        e = e == std::string::npos ? out.size() : e + 1;
        r += out.substr(i, e - i);
        i = e;
    }
    if (records)
        *records = sum;
    return r;
}

class CanTools : public ::testing::Test
{
  protected:
    // Receive queues that hold a whole burst: a tool slowed down by the
    // sanitizers or a loaded machine loses nothing to the queue's bound.
    void SetUp() override { board.emulator("can", {"--rx-size", "4096"}); }
    void TearDown() override { EXPECT_EQ(board.ctl("can", {"violations"}).text, ""); }
    RunResult tool(const std::string &name, const std::vector<std::string> &args,
                   std::chrono::milliseconds limit = 60s) const
    {
        std::vector<std::string> argv{vboard::testing::program_dir() + "/" + name};
        argv.insert(argv.end(), args.begin(), args.end());
        return board.Board::run(argv, scaled(), limit, true);
    }
    std::future<RunResult> tool_async(const std::string &name, const std::vector<std::string> &args,
                                      std::chrono::milliseconds limit = 60s) const
    {
        return std::async(std::launch::async, [=, this] { return tool(name, args, limit); });
    }
    std::string show() const { return board.ctl("can", {"show"}).text; }
    void wait_for(const std::function<bool()> &cond, const char *what) const
    {
        for (int i = 0; i < 1200; ++i) {
            if (cond())
                return;
            std::this_thread::sleep_for(25ms);
        }
        FAIL() << "timed out waiting for " << what << "\n" << show();
    }
    void wait_open(int node) const
    {
        std::string prefix = "can" + std::to_string(node) + " ";
        wait_for(
            [&] {
                for (const std::string &l : lines(show()))
                    if (l.starts_with(prefix) && l.find(" opens=0 ") == std::string::npos)
                        return true;
                return false;
            },
            "an open");
        // Under qemu the program may open the node more than once while it
        // starts; let it settle before traffic is sent.
        if (vboard::testing::on_target())
            std::this_thread::sleep_for(1s);
    }
    std::string field(int node, const std::string &name) const
    {
        for (const std::string &l : lines(show()))
            if (l.starts_with("can" + std::to_string(node) + " ")) {
                size_t p = l.find(" " + name + "=");
                return l.substr(p + name.size() + 2, l.find(' ', p + 1) == std::string::npos
                                                         ? std::string::npos
                                                         : l.find(' ', p + 1) - p - name.size() - 2);
            }
        return "";
    }
    TestBoard board;
};

TEST_F(CanTools, BurstArrivesCompleteAtTheChecker)
{
    auto check = tool_async("cbcheck", {"-b", "1000", "-D", "can0"});
    wait_open(0);
    RunResult burst = tool("cbburst", {"-b", "1000", "-T", "1000"});
    EXPECT_EQ(burst.exit_code, 0) << burst.err;
    EXPECT_EQ(burst.out, "");
    wait_for([&] { return field(0, "received") == "1000" && field(0, "queued") == "0"; }, "1000 records read at can0");
    board.ctl("can", {"vanish", "0"});
    RunResult r = check.get();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    long records = 0;
    std::string text = without_counts(r.out, &records);
    EXPECT_EQ(records, 1000);
    // Ten blocks of identifiers 0..99: one identifier jump per block, no
    // other (a lost record would add one); all of length 8.
    std::string expected;
    for (int block = 0; block < 10; ++block) {
        if (block > 0)
            expected += "wrong message Id received: 0, expected 64, in seq 0\n";
        for (int i = 0; i < 100; ++i)
            expected += "wrong message length: 8, expected 0, in seq 0\n";
    }
    EXPECT_EQ(text, expected);
    EXPECT_TRUE(r.out.ends_with("-1 ")) << "the read that failed ends the tool";
    std::vector<std::string> sent = lines(board.ctl("can", {"sent", "1"}).text);
    ASSERT_EQ(sent.size(), 1000u);
    EXPECT_EQ(sent[0], "can1 id=0x0 len=8 flags=0x00 data=00 00 00 00 20 20 20 30");
    EXPECT_EQ(sent[137], "can1 id=0x25 len=8 flags=0x00 data=6d 73 67 20 20 20 33 37"); // "msg   37"
    EXPECT_EQ(sent[300], "can1 id=0x0 len=8 flags=0x00 data=2c 01 00 00 20 20 20 30") << "total 300 in record 0";
    EXPECT_EQ(board.ctl("can", {"requests"}).text,
              "can0 command stop\ncan0 config timing 1000\ncan0 command start\n"
              "can1 command stop\ncan1 config timing 1000\ncan1 command start\n");
}

TEST_F(CanTools, CheckerNamesLostDuplicatedAndReorderedRecords)
{
    auto check = tool_async("cbcheck", {"-D", "can0"});
    wait_open(0);
    board.ctl("can", {"fault", "drop", "5"});  // id 4, length 4
    board.ctl("can", {"fault", "dup", "12"});  // id 11, length 2, seq 1
    board.ctl("can", {"fault", "swap", "20"}); // ids 19 and 20 exchanged
    board.ctl("can", {"traffic", "2000", "count", "36"});
    wait_for([&] { return field(0, "received") == "36" && field(0, "queued") == "0"; }, "the sequence read");
    board.ctl("can", {"vanish", "0"});
    RunResult r = check.get();
    long records = 0;
    EXPECT_EQ(without_counts(r.out, &records),
              // id 4 lost: the identifier resynchronises at once, the length
              // only when the cycle comes back to 4 (the next sequence number)
              "wrong message Id received: 5, expected 4, in seq 0\n"
              "wrong message length: 5, expected 4, in seq 0\n"
              "wrong message length: 6, expected 4, in seq 0\n"
              "wrong message length: 7, expected 4, in seq 0\n"
              "wrong message length: 8, expected 4, in seq 0\n"
              "wrong message length: 0, expected 4, in seq 0\n"
              "wrong message length: 1, expected 4, in seq 0\n"
              "wrong message length: 2, expected 4, in seq 0\n"
              // id 11 twice
              "wrong message Id received: b, expected c, in seq 0\n"
              "wrong message length: 2, expected 4, in seq 0\n"
              "wrong message length: 3, expected 4, in seq 0\n"
              "----wrong data, 4 exp: 0\n"
              "----wrong data, 8 exp: 0\n"
              " seq 1\n"
              // ids 20 and 19 exchanged
              "wrong message Id received: 14, expected 13, in seq 1\n"
              "wrong message length: 2, expected 1, in seq 1\n"
              "wrong message Id received: 13, expected 15, in seq 1\n"
              "----wrong data, 1 exp: 1\n"
              "wrong message Id received: 15, expected 14, in seq 1\n"
              "wrong message length: 3, expected 2, in seq 1\n"
              "wrong message length: 4, expected 2, in seq 1\n"
              "wrong message length: 5, expected 2, in seq 1\n"
              "wrong message length: 6, expected 2, in seq 1\n"
              "wrong message length: 7, expected 2, in seq 1\n"
              "wrong message length: 8, expected 2, in seq 1\n"
              "wrong message length: 0, expected 2, in seq 1\n"
              "wrong message length: 1, expected 2, in seq 1\n"
              "----wrong data, 2 exp: 1\n"
              "----wrong data, 4 exp: 1\n"
              "----wrong data, 8 exp: 1\n"
              " seq 2\n");
    EXPECT_EQ(records, 36) << "36 sent, one lost, one twice";
}

TEST_F(CanTools, MaskAndClockRequestsReachTheController)
{
    RunResult code = tool("cbmask", {"can1", "0x120"});
    EXPECT_EQ(code.exit_code, 0) << code.err;
    std::string path = vboard::testing::program_dir() + "/cbmask";
    EXPECT_EQ(code.out, "usage: " + path + " [dev] [acc_code] [acc_mask]\nusing CAN device /dev/can1\nchange acc_code to 0x120\n");
    RunResult both = tool("cbmask", {"can0", "0x120", "017"});
    EXPECT_EQ(both.out, "usage: " + path + " [dev] [acc_code] [acc_mask]\nusing CAN device /dev/can0\n"
                        "set acc_mask to 0x120 and acc_code to 0xf\n");
    std::string cbclock = vboard::testing::program_dir() + "/cbclock";
    RunResult clock = tool("cbclock", {"/dev/can1", "500"});
    EXPECT_EQ(clock.exit_code, 0) << clock.err;
    EXPECT_EQ(clock.out, "usage: " + cbclock + " [dev] [bit_rate]\n   e.g. " + cbclock +
                             " /dev/can0 125\n   sends one message at that bit rate,\n"
                             "   to be watched on the cable with an oscilloscope\n"
                             "using CAN device /dev/can1\nset baudrate to 500 Kbit/s\n");
    EXPECT_EQ(board.ctl("can", {"requests"}).text,
              "can0 command stop\ncan0 config acc_mask 0xf acc_code 0x120\ncan0 command start\n"
              "can1 command stop\ncan1 config acc_code 0x120\ncan1 command start\n"
              "can1 command stop\ncan1 config timing 500\ncan1 command start\n");
    EXPECT_EQ(board.ctl("can", {"sent"}).text, "can1 id=0x55 len=8 flags=0x00 data=55 55 55 55 55 55 55 55\n");
    // Without a rate change when the rate is 0 or less.
    tool("cbclock", {"/dev/can0", "0"});
    EXPECT_EQ(lines(board.ctl("can", {"requests"}).text).size(), 9u);
}

// Only a node's first open configures it: a tool that comes second says
// that its bit rate or filter was refused, and it hears what the first
// open's program hears and writes.
TEST_F(CanTools, ANodeOpenedFirstKeepsItsConfiguration)
{
    auto dump = tool_async("cbdump", {"-b", "500", "can0"});
    wait_open(0);
    RunResult clock = tool("cbclock", {"/dev/can0", "1000"});
    EXPECT_EQ(clock.exit_code, 0);
    EXPECT_EQ(clock.err, vboard::testing::program_dir() +
                             "/cbclock: bit rate 1000 Kbit/s not set: Operation not permitted\n");
    RunResult mask = tool("cbmask", {"can0", "0x120"});
    EXPECT_EQ(mask.exit_code, 1);
    EXPECT_EQ(mask.err,
              vboard::testing::program_dir() + "/cbmask: acc_code not set: Operation not permitted\n");
    EXPECT_EQ(field(0, "baud"), "500");
    EXPECT_EQ(field(0, "acc_mask"), "0xffffffff");
    wait_for([&] { return field(0, "queued") == "0"; }, "cbdump reading cbclock's record");
    board.ctl("can", {"vanish", "0"});
    RunResult r = dump.get();
    EXPECT_NE(r.out.find("Received with ret=1: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" id=85\n\tlen=8 msg= 55 55 55 55 55 55 55 55 flags=0x00\n"), std::string::npos)
        << r.out;
}

TEST_F(CanTools, BadNumbersAndMissingDevicesAreRefused)
{
    struct Case {
        std::string tool;
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    std::vector<Case> cases{
        {"cbburst", {"-T", "12x"}, 2, "-T: not a number: '12x'"},
        {"cbburst", {"-b", ""}, 2, "-b: not a number: ''"},
        {"cbcheck", {"-b", "fast"}, 2, "-b: not a bit rate: 'fast'"},
        {"cbdump", {"-s", "-5"}, 2, "-s: not a time in ms (0 or more): '-5'"},
        {"cbmask", {"can0", "0x1g"}, 2, "acc_code: not a 32-bit number (decimal, 0x hex, 0 octal): '0x1g'"},
        {"cbmask", {"can0", "1", "0x100000000"}, 2, "acc_mask: not a 32-bit number"},
        {"cbmask", {"can0", "08"}, 2, "acc_code: not a 32-bit number"},
        {"cbclock", {"/dev/can0", "fast"}, 2, "bit_rate: not a number: 'fast'"},
        {"cbcheck", {"-b", "2147483648"}, 2, "-b: not a bit rate: '2147483648'"},
        {"cbclock", {"/dev/can0", "99999999999"}, 2, "bit_rate: not a number: '99999999999'"},
        {"cbburst", {"can7"}, 1, "Error opening CAN device /dev/can7\n"},
        {"cbdump", {"./nothing"}, 1, "Error opening CAN device ./nothing\n"},
        {"cbpoke", {"can9"}, 1, "Error opening CAN device /dev/can9\n"},
        {"cbjitter", {"can9"}, 1, "Error opening CAN device /dev/can9\n"},
        {"cbcheck", {"-D", "can9"}, 1, "open error 2;/dev/can9: No such file or directory\n"},
        {"cbwatch", {}, 1, ""},
        {"cbclock", {}, 1, ""},
    };
    for (const Case &c : cases) {
        RunResult r = tool(c.tool, c.args);
        EXPECT_EQ(r.exit_code, c.status) << c.tool << " " << r.out << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.tool << ": " << r.err;
    }
    // Unknown options print the help and succeed.
    RunResult help = tool("cbburst", {"-x"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_NE(help.err.find(" [options] [device]\n -b baudrate  bit rate in Kbit/s (default -1: no change)\n"),
              std::string::npos)
        << help.err;
    RunResult version = tool("cbcheck", {"-V"});
    EXPECT_EQ(version.out, vboard::testing::program_dir() + "/cbcheck cbcheck V1.0\n");
    EXPECT_EQ(tool("cbdump", {"-V"}).out, vboard::testing::program_dir() + "/cbdump  V 1.2, Jul 17 2006\n");
}

TEST_F(CanTools, PokeSendsCountingMessagesAndShowsErrorRecords)
{
    auto poke = tool_async("cbpoke", {});
    wait_open(0);
    wait_for([&] { return std::stoi(field(0, "sent")) >= 3; }, "sent records");
    board.ctl("can", {"error", "0", "busoff"});
    board.ctl("can", {"error", "0", "passive"});
    wait_for([&] { return field(0, "tx") != "0/256"; }, "the queue filling");
    std::this_thread::sleep_for(200ms);
    board.ctl("can", {"vanish", "0"});
    RunResult r = poke.get();
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.out.starts_with("using CAN device /dev/can0, got can_fd  ")) << r.out;
    EXPECT_TRUE(r.out.ends_with("\n Error 32\n - BUSOFF Error 16\n - ERROR PASSIVE")) << r.out;
    EXPECT_EQ(r.err, "/dev/can0: No such device\n");
    std::vector<std::string> sent = lines(board.ctl("can", {"sent"}).text);
    ASSERT_GE(sent.size(), 3u);
    EXPECT_EQ(sent[0], "can0 id=0x64 len=8 flags=0x00 data=00 00 00 00 00 00 00 00");
    EXPECT_EQ(sent[2], "can0 id=0x64 len=8 flags=0x00 data=02 00 00 00 00 00 00 00");
}

TEST_F(CanTools, DumpPrintsEveryRecordBlockingAndNonBlocking)
{
    auto dump = tool_async("cbdump", {"-d", "can1"});
    wait_open(1);
    board.ctl("can", {"frame", "0x123", "0102"});
    board.ctl("can", {"frame", "0x1fffffff", "-", "ext", "rtr"});
    wait_for([&] { return field(1, "received") == "2" && field(1, "queued") == "0"; }, "two records read");
    board.ctl("can", {"vanish", "1"});
    RunResult r = dump.get();
    EXPECT_EQ(r.exit_code, 1);
    std::vector<std::string> l = lines(r.out);
    ASSERT_EQ(l.size(), 8u) << r.out;
    EXPECT_EQ(l[0], vboard::testing::program_dir() + "/cbdump  V 1.2, Jul 17 2006");
    EXPECT_EQ(l[1], " using canmsg_t with 32 bytes");
    EXPECT_EQ(l[2], " CAN device /dev/can1 opened in blocking mode");
    EXPECT_TRUE(l[3].starts_with("Received with ret=1: ")) << l[3];
    EXPECT_TRUE(l[3].ends_with(" id=291")) << l[3];
    EXPECT_EQ(l[3].size(), std::string("Received with ret=1: ").size() + 12 + 7 + 7);
    EXPECT_EQ(l[4], "\tlen=2 msg= 01 02 flags=0x00");
    EXPECT_TRUE(l[5].ends_with(" id=536870911")) << l[5];
    EXPECT_EQ(l[6], "\tlen=0 msg= flags=0x05");
    EXPECT_EQ(l[7], "Received with ret=-1");
    EXPECT_EQ(r.err, "/dev/can1: No such device\n");

    // Non-blocking: 100 records a read, "ret=-1" while there are none.
    board.ctl("can", {"appear", "1"});
    board.ctl("can", {"clear"});
    auto nb = tool_async("cbdump", {"-n", "-s", "2000", "can1"});
    wait_open(1);
    // Two records at once (bus off stops the controller: what follows waits).
    board.ctl("can", {"error", "1", "busoff", "passive"});
    std::this_thread::sleep_for(300ms);
    board.ctl("can", {"vanish", "1"});
    RunResult n = nb.get();
    std::vector<std::string> nl = lines(n.out);
    ASSERT_GE(nl.size(), 3u) << n.out;
    EXPECT_EQ(nl.front(), "Received with ret=-1") << n.out;
    size_t two = n.out.find("Received with ret=2: ");
    ASSERT_NE(two, std::string::npos) << n.out;
    EXPECT_NE(n.out.find(" id=-1\n\tlen=0 msg= flags=0x20\nReceived with ret=2: ", two), std::string::npos) << n.out;
    EXPECT_NE(n.out.find(" id=-1\n\tlen=0 msg= flags=0x10\n", two), std::string::npos) << n.out;
}

TEST_F(CanTools, WatchShowsTrafficOfAKnownRateAndJitter)
{
    auto watch = tool_async("cbwatch", {"/dev/can0"});
    wait_open(0);
    board.ctl("can", {"baud", "1000"});
    board.ctl("can", {"traffic", "1000", "fixed", "0x1234", "3", "jitter", "200", "count", "200"});
    wait_for([&] { return field(0, "received") == "200" && field(0, "queued") == "0"; }, "200 records read");
    board.ctl("can", {"vanish", "0"});
    RunResult r = watch.get();
    std::vector<std::string> l = lines(r.out);
    ASSERT_EQ(l.size(), 3u + 200 + 1) << r.out;
    std::string path = vboard::testing::program_dir() + "/cbwatch";
    EXPECT_EQ(l[0], "usage: " + path + " <dev>]");
    EXPECT_EQ(l[1], "   e.g.:   " + path + " /dev/can0");
    EXPECT_TRUE(l[2].starts_with("   wait for CAN messages using select()using CAN device /dev/can0, got can_fd  "));
    double first = 0, last = 0, lo = 1e9, hi = 0, prev = 0;
    for (int i = 0; i < 200; ++i) {
        const std::string &s = l[3 + i];
        ASSERT_TRUE(s.starts_with("Received at ")) << s;
        double t = std::stod(s.substr(12, 19));
        char data[32];
        snprintf(data, sizeof data, "%02x %02x 00 ", i & 0xFF, i >> 8);
        EXPECT_EQ(s.substr(31), std::string(" : xD 0x00001234 : 3 bytes:\t") + data);
        if (i == 0)
            first = t;
        else {
            lo = std::min(lo, t - prev);
            hi = std::max(hi, t - prev);
        }
        prev = last = t;
    }
    // 1000/s: 199 intervals of 1 ms on average; each frame moved by up to
    // 0.2 ms, so no interval is below 0.6 ms or above 1.4 ms.
    EXPECT_NEAR(last - first, 0.199, 0.0005);
    EXPECT_GE(lo, 0.0006 - 1e-6);
    EXPECT_LE(hi, 0.0014 + 1e-6);
    EXPECT_GT(hi - lo, 0.0002) << "the traffic has jitter";
    EXPECT_EQ(l.back(), "Received with ret=-1");
}

TEST_F(CanTools, JitterSendsTenRandomMessagesASecond)
{
    auto jitter = tool_async("cbjitter", {});
    wait_for([&] { return std::stoi(field(1, "sent")) >= 30; }, "three blocks");
    board.ctl("can", {"vanish", "1"});
    RunResult r = jitter.get();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    std::vector<std::string> out = lines(r.out);
    ASSERT_GE(out.size(), 32u);
    EXPECT_EQ(out.front(), "using CAN device /dev/can1");
    EXPECT_EQ(out.back(), "not ready");
    std::vector<std::string> sent = lines(board.ctl("can", {"sent"}).text);
    ASSERT_GE(sent.size(), 30u);
    for (size_t i = 0; i < 30; ++i) {
        // "send: '123abcde' " and the record it became
        const std::string &s = out[1 + i];
        ASSERT_TRUE(s.starts_with("send: '") && s.ends_with("' ")) << s;
        std::string text = s.substr(7, s.size() - 9);
        long id = std::stol(text);
        EXPECT_GE(id, 2);
        EXPECT_LE(id, 502);
        EXPECT_EQ(text, (std::to_string(id) + "abcde").substr(0, 8));
        char head[64];
        snprintf(head, sizeof head, "can1 id=0x%lx len=%zu flags=0x%02x data=", id, text.size(),
                 id % 50 == 0 && id <= 500 ? 1 : 0);
        EXPECT_TRUE(sent[i].starts_with(head)) << sent[i] << " for " << s;
    }
}

// Records from standard input, delivered by a pipe in pieces that split
// records: cbcheck counts whole records only and loses none.
TEST(CbcheckStdin, ChecksRecordsFromAPipe)
{
    if (vboard::testing::on_target())
        GTEST_SKIP() << "the shell pipeline runs programs of this machine";
    auto rec = [](uint32_t id, int len, uint64_t seq) {
        canmsg_t m{};
        m.id = id;
        m.length = static_cast<int16_t>(len);
        memcpy(m.data, &seq, 8);
        return m;
    };
    std::vector<canmsg_t> recs{rec(0, 0, 0), rec(1, 1, 0), rec(3, 3, 0), rec(4, 2, 0)};
    for (int k = 5; k < 12; ++k) // the rest of a cycle: 5..11 with lengths 3..8, 0
        recs.push_back(rec(static_cast<uint32_t>(k), k < 11 ? k - 2 : 0, k < 11 ? 0 : 1));
    std::string file = testing::TempDir() + "/cbcheck-records";
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char *>(recs.data()),
                                                static_cast<std::streamsize>(recs.size() * sizeof(canmsg_t)));
    std::string prog = vboard::testing::program_dir() + "/cbcheck";
    RunResult r = vboard::run_command(
        {"sh", "-c", "(head -c 40 " + file + "; sleep 0.2; tail -c +41 " + file + ") | " + prog + " -D stdin"}, {},
        30s, true);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    // Reads of at most 9 records (288 octets, the part record included).
    EXPECT_EQ(r.out, "1 9 wrong message Id received: 3, expected 2, in seq 0\n"
                     "wrong message length: 3, expected 2, in seq 0\n"
                     " seq 1\n"
                     "1 0 ");
    unlink(file.c_str());
}

} // namespace
