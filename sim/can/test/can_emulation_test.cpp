// vboard-can driven by canprobe on a board: records counted through the
// preload, blocking and non-blocking calls, readiness, the requests of the
// size table (on armel the preload is their only way), time-outs and a
// vanishing device.
#include <gtest/gtest.h>

#include <fstream>
#include <future>
#include <thread>

#include "vboard/testing.h"

namespace
{

using vboard::testing::TestBoard;

class CanEmulation : public ::testing::Test
{
  protected:
    void start(const std::vector<std::string> &args = {}) { board.emulator("can", args); }
    vboard::RunResult probe(const std::vector<std::string> &args) const
    {
        std::vector<std::string> argv{"canprobe"};
        argv.insert(argv.end(), args.begin(), args.end());
        return board.run(argv, std::chrono::seconds(60));
    }
    std::future<vboard::RunResult> probe_async(const std::vector<std::string> &args) const
    {
        return std::async(std::launch::async, [this, args] { return probe(args); });
    }
    // Waits until node has `opens` opens (the program in the background is in place).
    void wait_opens(int node, int opens) const
    {
        std::string want = "opens=" + std::to_string(opens) + " ";
        for (int i = 0; i < 600; ++i) {
            std::string show = board.ctl("can", {"show"}).text;
            size_t line = show.find("can" + std::to_string(node) + " ");
            size_t end = show.find('\n', line);
            if (line != std::string::npos && show.substr(line, end + 1 - line).find(want) != std::string::npos)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        FAIL() << "node " << node << " never had " << opens << " opens";
    }
    void TearDown() override { EXPECT_EQ(board.ctl("can", {"violations"}).text, ""); }
    TestBoard board;
};

TEST_F(CanEmulation, WrittenRecordsWakeABlockedReaderOnTheOtherNode)
{
    start();
    auto reader = probe_async({"/dev/can1", "read", "1", "read", "1", "read", "1"});
    wait_opens(1, 1);
    vboard::RunResult w = probe({"/dev/can0", "write", "0x10", "8", "3"});
    EXPECT_EQ(w.out, "write: 3\n");
    vboard::RunResult r = reader.get();
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "read: 1\n  id=0x10 len=8 flags=0x00 data=00 00 00 00 00 00 00 00 stamp=ok\n"
                     "read: 1\n  id=0x11 len=8 flags=0x00 data=01 00 00 00 00 00 00 00 stamp=ok\n"
                     "read: 1\n  id=0x12 len=8 flags=0x00 data=02 00 00 00 00 00 00 00 stamp=ok\n");
    EXPECT_EQ(board.ctl("can", {"sent"}).text, "can0 id=0x10 len=8 flags=0x00 data=00 00 00 00 00 00 00 00\n"
                                               "can0 id=0x11 len=8 flags=0x00 data=01 00 00 00 00 00 00 00\n"
                                               "can0 id=0x12 len=8 flags=0x00 data=02 00 00 00 00 00 00 00\n");
}

TEST_F(CanEmulation, NonBlockingCallsAndReadiness)
{
    start();
    EXPECT_EQ(probe({"-n", "/dev/can0", "read", "1", "poll", "0"}).out, "read: -1 EAGAIN\npoll: - out\n");
    auto waiter = probe_async({"-n", "/dev/can0", "pollin", "20000", "read", "4", "poll", "0"});
    wait_opens(0, 1);
    board.ctl("can", {"frame", "0x1abcdef", "0102", "ext"});
    EXPECT_EQ(waiter.get().out,
              "poll: in -\nread: 1\n  id=0x1abcdef len=2 flags=0x04 data=01 02 stamp=ok\npoll: - out\n");
}

TEST_F(CanEmulation, RequestsTravelWithTheirRecords)
{
    start();
    vboard::RunResult r = probe({"/dev/can0", "cmd", "2", "config", "3", "250", "config", "0", "0xf", "0x120", "cmd",
                                 "1", "status", "ioctl", "0x4004", "cmd", "9"});
    EXPECT_EQ(r.out, "cmd: 0\nconfig: 0\nconfig: 0\ncmd: 0\nstatus: 0\n"
                     "  baud=250 status=0x0c ewl=96 rx_errors=0 tx_errors=0 rx=0/512 tx=0/256 type=1\n"
                     "ioctl: -1 ENOTTY\ncmd: 0 retval=EINVAL\n");
    EXPECT_EQ(board.ctl("can", {"requests"}).text,
              "can0 command stop\ncan0 config timing 250\n"
              "can0 config acc_mask 0xf acc_code 0x120\ncan0 command start\n"
              "can0 command 9 (unknown): EINVAL\n");
    EXPECT_EQ(board.ctl("can", {"violations"}).text,
              "unknown ioctl request 0x4004\ncommand request with unknown cmd 9\n");
    board.ctl("can", {"clear"});
}

TEST_F(CanEmulation, ALaterOpenIsRefusedInRetvalAndHearsTheFirst)
{
    start();
    auto first = probe_async({"/dev/can0", "pollin", "20000", "read", "4"});
    wait_opens(0, 1);
    EXPECT_EQ(probe({"/dev/can0", "cmd", "3", "config", "3", "500", "write", "7", "1"}).out,
              "cmd: 0 retval=EPERM\nconfig: 0 retval=EPERM\nwrite: 1\n");
    EXPECT_EQ(first.get().out, "poll: in -\nread: 1\n  id=0x7 len=1 flags=0x00 data=00 stamp=ok\n");
}

TEST_F(CanEmulation, FullTransmitQueueTimesOutWithZero)
{
    start({"--tx-size", "4", "--tx-timeout", "200"});
    vboard::RunResult r = probe({"/dev/can0", "cmd", "2", "write", "1", "8", "6", "poll", "0", "write", "1", "8", "1",
                                 "cmd", "1", "sleep", "100", "poll", "0"});
    EXPECT_EQ(r.out, "cmd: 0\nwrite: 4\npoll: - -\nwrite: 0\ncmd: 0\npoll: - out\n");
}

TEST_F(CanEmulation, VanishedDeviceEndsABlockedReadWithEnodev)
{
    start();
    auto reader = probe_async({"/dev/can1", "read", "1", "write", "1", "0"});
    wait_opens(1, 1);
    board.ctl("can", {"vanish", "1"});
    EXPECT_EQ(reader.get().out, "read: -1 ENODEV\nwrite: -1 ENODEV\n");
    EXPECT_EQ(probe({"/dev/can1"}).out, "open: -1 ENODEV\n");
    board.ctl("can", {"appear", "1"});
    EXPECT_EQ(probe({"-n", "/dev/can1", "read", "1"}).out, "read: -1 EAGAIN\n");
}

TEST_F(CanEmulation, DefaultBitRateComesFromProc)
{
    start();
    std::ifstream in(board.root() + "/proc/sys/Can/baud");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "125 125");
    std::ofstream(board.root() + "/proc/sys/Can/baud") << "250 500\n";
    EXPECT_NE(probe({"/dev/can1", "status"}).out.find("baud=500 "), std::string::npos);
    EXPECT_NE(probe({"/dev/can0", "status"}).out.find("baud=250 "), std::string::npos);
}

} // namespace
