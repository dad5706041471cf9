// The RTC emulation, driven by rtcprobe on the board: on the host, and on
// armel under qemu, where the preload is the only way these requests are
// served (qemu-user refuses ioctl requests it does not know).
#include <gtest/gtest.h>

#include "rtc_wkalrm.h"
#include "vboard/testing.h"

namespace {

using vboard::testing::TestBoard;

class RtcEmulation : public ::testing::Test {
 protected:
  void SetUp() override { board.emulator("rtc"); }
  std::string probe(const std::vector<std::string> &args, int status = 0) {
    std::vector<std::string> argv{"rtcprobe"};
    argv.insert(argv.end(), args.begin(), args.end());
    vboard::RunResult r = board.run(argv, std::chrono::seconds(60));
    EXPECT_EQ(r.exit_code, status) << r.out << r.err;
    return r.out;
  }
  TestBoard board;
};

TEST_F(RtcEmulation, KeepsTheAlarmAndReportsItBack) {
  EXPECT_EQ(probe({"set", "6", "30", "24", "11", "107"}), "set: ok\n");
  EXPECT_EQ(board.ctl("rtc", {"show"}).text,
            "alarm enabled=1 pending=0 sec=0 min=30 hour=6 mday=24 mon=11 year=107 wday=-1 yday=0 isdst=0\n"
            "requests set=1 read=0 opens=1\n");
  EXPECT_EQ(probe({"read"}), "enabled=1 pending=0 sec=0 min=30 hour=6 mday=24 mon=11 year=107 wday=-1 yday=0 isdst=0\n");
}

// Clearing the alarm reads the record and writes it back with only the
// enabled byte changed.
TEST_F(RtcEmulation, ResetKeepsTheAlarmTime) {
  probe({"set", "23", "59", "29", "1", "108"});  // 29 February 2008
  board.ctl("rtc", {"pending", "1"});
  EXPECT_EQ(probe({"reset"}), "reset: ok\n");
  EXPECT_EQ(probe({"read"}), "enabled=0 pending=0 sec=0 min=59 hour=23 mday=29 mon=1 year=108 wday=-1 yday=0 isdst=0\n");
  EXPECT_EQ(board.ctl("rtc", {"show"}).text.substr(board.ctl("rtc", {"show"}).text.find("requests")),
            "requests set=2 read=2 opens=3\n");
}

TEST_F(RtcEmulation, RefusesWhatTheKernelRefuses) {
  EXPECT_EQ(probe({"set", "6", "30", "31", "10", "107"}, 1), "set: EINVAL\n");  // 31 November
  EXPECT_EQ(probe({"set", "6", "30", "29", "1", "107"}, 1), "set: EINVAL\n");   // 29 February 2007
  EXPECT_EQ(probe({"set", "24", "0", "1", "0", "107"}, 1), "set: EINVAL\n");
  EXPECT_EQ(probe({"set", "6", "30", "1", "0", "69"}, 1), "set: EINVAL\n");    // before 1970
  EXPECT_EQ(probe({"ioctl", "7001"}, 1), "ioctl: ENOTTY\n");                    // RTC_AIE_ON: not here
  EXPECT_EQ(probe({"ioctl", "deadbeef"}, 1), "ioctl: ENOTTY\n");
  EXPECT_EQ(board.ctl("rtc", {"show"}).text.substr(0, 40), "alarm enabled=0 pending=0 sec=0 min=0 ho");
}

TEST_F(RtcEmulation, InjectedFailureReachesTheProgram) {
  board.ctl("rtc", {"fail", "5"});
  EXPECT_EQ(probe({"set", "6", "30", "24", "11", "107"}, 1), "set: EIO\n");
  board.ctl("rtc", {"fail", "off"});
  EXPECT_EQ(probe({"set", "6", "30", "24", "11", "107"}), "set: ok\n");
  EXPECT_EQ(board.ctl("rtc", {"fail", "x"}).status, 2);
}

TEST_F(RtcEmulation, ManyThreadsOfOneProcess) {
  EXPECT_EQ(probe({"threads", "8", "25"}), "threads: 8 of 8 ok\n");
}

TEST(RtcWithoutEmulation, OpenFails) {
  TestBoard board;
  vboard::RunResult r = board.run({"rtcprobe", "read"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "open: ENOENT\n");
}

// The whole path a person takes: vboard run with the rtc emulator.
TEST(RtcThroughVboard, SetThroughTheCommand) {
  std::vector<std::string> argv{vboard::testing::host_program_dir() + "/vboard", "run"};
  if (vboard::testing::on_target()) {
    argv.insert(argv.end(), {"--armel", "--armel-preload", vboard::testing::this_target().armel_preload});
  }
  argv.insert(argv.end(), {"-e", "rtc", "--", vboard::testing::program_dir() + "/rtcprobe", "set", "6", "30", "24",
                           "11", "107"});
  vboard::RunResult r = vboard::run_command(argv, {}, std::chrono::seconds(60), true);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "set: ok\n");
}

}  // namespace
