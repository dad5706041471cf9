// Device forwarding: a program's calls on an emulated device node reach the
// emulator (vboard-testdev) with the sizes, values and errors a driver sees.
#include "helpers.h"

using vboard::testing::TestBoard;
using vboard_test::probe;

namespace {

class DeviceForwarding : public ::testing::Test {
 protected:
  void SetUp() override { board.emulator("testdev"); }
  TestBoard board;
};

TEST_F(DeviceForwarding, ReadWriteAndTheNodeLooksLikeACharacterDevice) {
  EXPECT_EQ(probe(board, {"stat /dev/testdev", "open /dev/testdev rwn", "read 10", "write hello", "read 3",
                          "read 10", "read 10", "ctl testdev written"}),
            "stat chr\nopen ok\nread EAGAIN\nwrite 5\nread 3 hel\nread 2 lo\nread EAGAIN\nctl 0 hello\n");
}

TEST_F(DeviceForwarding, BlockingReadWaitsForTheEmulator) {
  EXPECT_EQ(probe(board, {"open /dev/testdev rw", "later 200 testdev push late", "read 10"}),
            "open ok\nlater ok\nread 4 late\n");
}

TEST_F(DeviceForwarding, IoctlSizesDirectionsAndValues) {
  EXPECT_EQ(probe(board, {"open /dev/testdev rw",
                          // size table: 4 octets in, then 4 octets out
                          "ioctlp 7001 4 11223344", "ctl testdev last-ioctl", "ioctlp 7002 4", "ctl testdev last-ioctl",
                          // encoded: _IOW 12 in, _IOR 12 out, _IOWR 16 both ways, _IO by value
                          "ioctlp 400c5401 12 0102030405060708090a0b0c", "ioctlp 800c5402 12",
                          "ioctlp c0105403 16 00010203", "ctl testdev last-ioctl", "ioctlv 5404 41",
                          "ctl testdev last-ioctl"}),
            "open ok\nioctl 0 11223344\nctl 0 request=0x00007001 size=4 dir=1 value=0\n"
            "ioctl 0 11223344\nctl 0 request=0x00007002 size=4 dir=2 value=0\n"
            "ioctl 0 0102030405060708090a0b0c\nioctl 0 0102030405060708090a0b0c\n"
            "ioctl 0 01020304010101010101010101010101\nctl 0 request=0xc0105403 size=16 dir=3 value=0\n"
            "ioctl 42\nctl 0 request=0x00005404 size=0 dir=0 value=41\n");
}

// The multiplexer's read-message request carries its size in bits 16..29.
TEST_F(DeviceForwarding, RequestSizeTakenFromTheNumber) {
  EXPECT_EQ(probe(board, {"open /dev/testdev rw", "ioctlp 80484d00 72", "ioctlp 80084d00 8"}),
            "open ok\nioctl 72 000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
            "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f4041424344454647\n"
            "ioctl 8 0001020304050607\n");
}

TEST_F(DeviceForwarding, ErrorsComeBackAsTheEmulatorsErrno) {
  EXPECT_EQ(probe(board, {"open /dev/testdev rw", "ioctlv 5405 110", "ioctlv 5499 0", "ioctlnull 800c5402",
                          "mmap 4096 65536"}),
            "open ok\nioctl ETIMEDOUT\nioctl ENOTTY\nioctl EFAULT\nmmap EINVAL\n");
}

TEST_F(DeviceForwarding, OpenRefusedWithTheEmulatorsErrno) {
  EXPECT_EQ(probe(board, {"ctl testdev refuse 16", "open /dev/testdev rw", "ctl testdev refuse off",
                          "open /dev/testdev rw", "ctl testdev opens"}),
            "ctl 0 ok\nopen EBUSY\nctl 0 ok\nopen ok\nctl 0 1 1\n");
}

TEST_F(DeviceForwarding, MappingIsSharedWithTheEmulator) {
  EXPECT_EQ(probe(board, {"open /dev/testdev rw", "mmap 8192 4096", "poke 10 hello", "ctl testdev peek 4106 5",
                          "ctl testdev poke 4200 world", "peek 104 5"}),
            "open ok\nmmap ok\npoke ok\nctl 0 hello\nctl 0 ok\npeek world\n");
}

TEST_F(DeviceForwarding, ReadinessInBothDirections) {
  EXPECT_EQ(probe(board, {"open /dev/testdev rwn", "poll inout 0", "ctl testdev readable 1", "poll in 0",
                          "select", "ctl testdev readable 0", "poll in 0",
                          // back-pressure: writes stop, POLLOUT goes false, and comes back
                          "ctl testdev writable 0", "poll out 0", "select", "write x", "ctl testdev writable 1",
                          "poll out 0", "write y", "ctl testdev writable 0", "later 200 testdev writable 1",
                          "poll out 5000"}),
            "open ok\npoll out\nctl 0 ok\npoll in\nselect in out\nctl 0 ok\npoll none\n"
            "ctl 0 ok\npoll none\nselect\nwrite EAGAIN\nctl 0 ok\npoll out\nwrite 1\nctl 0 ok\nlater ok\npoll out\n");
}

TEST_F(DeviceForwarding, BlockingWriteWaitsUntilWritable) {
  EXPECT_EQ(probe(board, {"open /dev/testdev rw", "ctl testdev writable 0", "later 200 testdev writable 1",
                          "write waited", "ctl testdev written"}),
            "open ok\nctl 0 ok\nlater ok\nwrite 6\nctl 0 waited\n");
}

TEST_F(DeviceForwarding, CloseDupAndReopen) {
  EXPECT_EQ(probe(board, {"open /dev/testdev rwn", "write a", "dup", "close", "ctl testdev closes", "read 5",
                          "fdup", "dup2 77", "close", "close", "ctl testdev closes", "write b", "close",
                          "ctl testdev closes", "open /dev/testdev rwn", "read 5", "ctl testdev opens"}),
            "open ok\nwrite 1\ndup ok\nclose ok\nctl 0 0\nread 1 a\nfdup ok\ndup2 ok\nclose ok\nclose ok\n"
            "ctl 0 0\nwrite 1\nclose ok\nctl 0 1\nopen ok\nread EAGAIN\nctl 0 2 1\n");
}

TEST_F(DeviceForwarding, HangUpFailsFurtherCalls) {
  EXPECT_EQ(probe(board, {"open /dev/testdev rwn", "ctl testdev hangup", "poll in 1000", "read 1", "write z"}),
            "open ok\nctl 0 ok\npoll in hup\nread EIO\nwrite EIO\n");
}

TEST_F(DeviceForwarding, StdioStreamOnADevice) {
  EXPECT_EQ(probe(board, {"fwrite /dev/testdev via-stdio", "ctl testdev written"}),
            "fwrite ok\nctl 0 via-stdio\n");
}

TEST_F(DeviceForwarding, ManyThreadsEachWithTheirOwnOpen) {
  EXPECT_EQ(probe(board, {"threads 8 40 /dev/testdev", "ctl testdev closes"}), "threads ok\nctl 0 320\n");
}

}  // namespace
