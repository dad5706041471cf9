// devhold on a pseudo-terminal standing in for the serial line; the line
// mode is read back with tcgetattr after devhold has ended.
#include "program.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

using boardtest::Launch;
using boardtest::Program;

class Devhold : public testing::Test
{
  protected:
    int run(std::vector<std::string> args)
    {
        program = std::make_unique<Program>(Launch{DEVHOLD, std::move(args)}, dir.path());
        int status = -2;
        EXPECT_TRUE(program->wait_exit(&status));
        return status;
    }
    boardtest::TempDir dir;
    std::unique_ptr<Program> program;
};

TEST_F(Devhold, SetsTheFixedLineModeThatOutlivesIt)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string line = ptsname(master);
    // The line as a previous user left it: cooked, echo, 9600 7E2, XON/XOFF.
    const int slave = open(line.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    termios before;
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    before.c_iflag = ICRNL | IXON | INPCK;
    before.c_oflag = OPOST | ONLCR;
    before.c_cflag = B9600 | CS7 | PARENB | CSTOPB | CREAD | HUPCL;
    before.c_lflag = ICANON | ECHO | ISIG;
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);

    EXPECT_EQ(run({line}), 0);
    EXPECT_EQ(program->out(), "");
    EXPECT_EQ(program->err(), "");

    termios t;
    ASSERT_EQ(tcgetattr(slave, &t), 0);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_lflag, 0u);
    EXPECT_EQ(t.c_cflag & (CBAUD | CSIZE | CSTOPB | CREAD | PARENB | PARODD | HUPCL | CLOCAL | CRTSCTS),
              static_cast<tcflag_t>(B115200 | CS8 | CREAD | CLOCAL | CRTSCTS));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    for (int i = 0; i < NCCS; ++i) {
        const int want = i == VMIN ? 1 : i == VTIME ? 5 : 0;
        EXPECT_EQ(t.c_cc[i], want) << "control character " << i;
    }
    close(slave);
    close(master);
}

TEST_F(Devhold, ANonExistentDeviceGivesThreeErrorLinesAndStatus255)
{
    const std::string path = dir.file("ttyS9");
    EXPECT_EQ(run({path}), 255);
    EXPECT_EQ(program->err(), "try to open fd: No such file or directory\n");
    EXPECT_EQ(program->out(), std::string("argv[0]: ") + DEVHOLD + "\ncannot open fd: -1\n");
}

TEST_F(Devhold, NoDeviceAndNoTerminal)
{
    EXPECT_EQ(run({}), 255);
    EXPECT_EQ(program->err(), "device necessary: Invalid argument\n");
    EXPECT_EQ(program->out(), "leave with error: no device\n");

    const std::string plain = dir.file("plain");
    boardtest::write_file(plain, "");
    EXPECT_EQ(run({plain}), 255);
    // The static tool's C library words ENOTTY its own way on the target (musl).
    EXPECT_EQ(program->err(), boardtest::on_target() ? "tcsetattr(): Not a tty\n"
                                                     : "tcsetattr(): Inappropriate ioctl for device\n");
    EXPECT_EQ(program->out(), "");
}

} // namespace
