// Serial lines: a pty with the modem-control lines emulated by the preload
// and seen by the simulator on the other side (vboard-testline).
#include "helpers.h"

using vboard::testing::TestBoard;
using vboard_test::probe;

namespace {

class SerialLines : public ::testing::Test {
 protected:
  void SetUp() override { board.emulator("testline"); }
  TestBoard board;
};

TEST_F(SerialLines, OpenRaisesDtrAndRtsAndTheProgramSwitchesThem) {
  EXPECT_EQ(probe(board, {"open /dev/ttyT0 rw", "ctl testline lines", "tiocm get", "tiocm bic 002",
                          "ctl testline lines", "tiocm bis 002", "tiocm set 000", "tiocm get", "close",
                          "ctl testline lines", "ctl testline log"}),
            "open ok\nctl 0 dtr=1 rts=1 cts=0 dcd=0 ri=0 dsr=0 break=0 open=1\ntiocm 0x006\ntiocm ok\n"
            "ctl 0 dtr=0 rts=1 cts=0 dcd=0 ri=0 dsr=0 break=0 open=1\ntiocm ok\ntiocm ok\ntiocm 0x000\nclose ok\n"
            "ctl 0 dtr=0 rts=0 cts=0 dcd=0 ri=0 dsr=0 break=0 open=0\n"
            "ctl 0 lines 0x006\nopen\nlines 0x004\nlines 0x006\nlines 0x000\nclose\n\n");
}

TEST_F(SerialLines, SimulatorSetsTheStatusLines) {
  EXPECT_EQ(probe(board, {"open /dev/ttyT0 rw", "ctl testline status 1e0", "tiocm get",
                          "tiocm set 1e0", "tiocm get", "ctl testline status 0", "tiocm get"}),
            // CTS 0x020, DCD 0x040, RI 0x080, DSR 0x100; the program cannot set them
            "open ok\nctl 0 ok\ntiocm 0x1e6\ntiocm ok\ntiocm 0x1e0\nctl 0 ok\ntiocm 0x000\n");
}

TEST_F(SerialLines, BreakReachesTheSimulator) {
  EXPECT_EQ(probe(board, {"open /dev/ttyT0 rw", "brk on", "ctl testline lines", "brk off", "brk send",
                          "ctl testline log"}),
            "open ok\nbrk ok\nctl 0 dtr=1 rts=1 cts=0 dcd=0 ri=0 dsr=0 break=1 open=1\nbrk ok\nbrk ok\n"
            "ctl 0 lines 0x006\nopen\nbreak on\nbreak off\nbreak on\nbreak off\n\n");
}

TEST_F(SerialLines, OctetsBothWaysInRawMode) {
  EXPECT_EQ(probe(board, {"open /dev/ttyT0 rw", "write ATZ", "ctl testline send OK", "read 2",
                          "ctl testline received"}),
            "open ok\nwrite 3\nctl 0 ok\nread 2 OK\nctl 0 ATZ\n");
}

TEST_F(SerialLines, TwoOpensShareTheLinesUntilTheLastClose) {
  EXPECT_EQ(probe(board, {"open /dev/ttyT0 rw", "open /dev/ttyT0 rw", "close", "ctl testline lines", "close",
                          "ctl testline lines"}),
            "open ok\nopen ok\nclose ok\nctl 0 dtr=1 rts=1 cts=0 dcd=0 ri=0 dsr=0 break=0 open=1\nclose ok\n"
            "ctl 0 dtr=0 rts=0 cts=0 dcd=0 ri=0 dsr=0 break=0 open=0\n");
}

// Files that are not serial lines keep the kernel's answer.
TEST(SerialLinesPlain, ModemRequestsOnOtherFilesGoToTheKernel) {
  TestBoard b;
  vboard_test::write_file(b.root() + "/dev/vbtest-file", "");
  // (qemu-user answers requests it does not pass on with ENOSYS)
  EXPECT_EQ(probe(b, {"open /dev/vbtest-file r", "tiocm get", "brk on"}),
            vboard::testing::on_target() ? "open ok\ntiocm ENOTTY\nbrk ENOSYS\n" : "open ok\ntiocm ENOTTY\nbrk ENOTTY\n");
}

}  // namespace
