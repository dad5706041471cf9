// The device on a pseudo-terminal: configuration, reading, and closing from
// another thread while a reader waits.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "comm.h"
#include "gps.h"

namespace
{

using namespace std::chrono_literals;

struct Pty {
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(master, 0);
        grantpt(master);
        unlockpt(master);
        path = ptsname(master);
        // Hold the slave open so that the line does not hang up between opens.
        hold = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        tcgetattr(hold, &tio);
        cfmakeraw(&tio);
        tcsetattr(hold, TCSANOW, &tio);
    }
    ~Pty()
    {
        close(hold);
        if (master >= 0) {
            close(master);
        }
    }
    void send(const std::string &bytes) const
    {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(master, bytes.data(), bytes.size()));
    }
    int master = -1;
    int hold = -1;
    std::string path;
};

TEST(GpsDevice, OpenConfigureReadWrite)
{
    Pty pty;
    const int fd = openDevice(pty.path.c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(1, readData.load());
    EXPECT_EQ(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(0, configureDevice(fd, COMM_getSpeed(4800)));
    termios tio{};
    tcgetattr(fd, &tio);
    EXPECT_EQ(B4800, cfgetispeed(&tio));
    EXPECT_EQ(CS8, tio.c_cflag & CSIZE);
    EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO));
    EXPECT_EQ(1, tio.c_cc[VMIN]);
    EXPECT_EQ(5, tio.c_cc[VTIME]);

    pty.send("xx$GPGGA,1*00\r\n");
    char line[120] = {};
    std::atomic<int> flag{0};
    EXPECT_EQ(0, readNMEA(&flag, fd, line, sizeof line));
    EXPECT_STREQ("$GPGGA,1*00", line);

    EXPECT_EQ(9, writeNMEAcmd(fd, "$PMTK"));
    char sent[32] = {};
    EXPECT_EQ(9, read(pty.master, sent, sizeof sent));
    EXPECT_STREQ("$PMTK02\r\n", sent);
    errno = 0;
    EXPECT_EQ(-1, writeNMEAcmd(fd, ("$" + std::string(200, 'A') + "*").c_str()));
    EXPECT_EQ(EMSGSIZE, errno);

    EXPECT_EQ(0, closeDevice(fd));
    EXPECT_EQ(0, readData.load());
    EXPECT_EQ(EBADF, readNMEA(&flag, fd, line, sizeof line));
    EXPECT_EQ(-1, writeVendorSpecificCmd(fd, "x", 1));
}

TEST(GpsDevice, MissingPathFailsButAllowsReading)
{
    readData = 0;
    EXPECT_EQ(-1, openDevice("/nonexistent/ttyGPS"));
    EXPECT_EQ(1, readData.load());
    EXPECT_EQ(-1, closeDevice(-1));
}

int openDescriptors()
{
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) {
            ++count;
        }
    }
    return count;
}

// Opening again without a close closes the earlier device: nothing leaks,
// and a failed second open leaves nothing open either.
TEST(GpsDevice, ReopenClosesTheEarlierDevice)
{
    Pty pty;
    const int before = openDescriptors();
    const int first = openDevice(pty.path.c_str());
    ASSERT_GE(first, 0);
    const int second = openDevice(pty.path.c_str());
    ASSERT_GE(second, 0);
    EXPECT_EQ(-1, fcntl(first == second ? -1 : first, F_GETFD));
    EXPECT_EQ(0, closeDevice(second));
    EXPECT_EQ(before, openDescriptors());

    ASSERT_GE(openDevice(pty.path.c_str()), 0);
    EXPECT_EQ(-1, openDevice("/nonexistent/ttyGPS"));
    EXPECT_EQ(before, openDescriptors());
}

TEST(GpsDevice, HangUpEndsTheReader)
{
    Pty pty;
    const int fd = openDevice(pty.path.c_str());
    ASSERT_GE(fd, 0);
    close(pty.hold);
    pty.hold = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(pty.master);
    pty.master = -1;
    char line[120];
    std::atomic<int> flag{0};
    EXPECT_EQ(EIO, readNMEA(&flag, fd, line, sizeof line));
    closeDevice(fd);
}

// The reader waits in poll; closing from another thread must end it at once,
// and the reader must not touch the number after the close even when an open
// in between got the same number.
TEST(GpsDevice, CloseFromAnotherThreadEndsWaitingReaderAndNeverReadsTheReusedNumber)
{
    Pty pty;
    for (int round = 0; round < 200; ++round) {
        const int fd = openDevice(pty.path.c_str());
        ASSERT_GE(fd, 0);
        ASSERT_EQ(0, configureDevice(fd, COMM_getSpeed(4800)));
        auto reader = std::async(std::launch::async, [fd] {
            GPS_DeviceSource source(fd, true);
            std::atomic<int> flag{0};
            char line[120];
            int result = 0;
            // Keep reading until the close is seen, as the reader loop does.
            for (int i = 0; i < 1000 && result == 0; ++i) {
                result = GPS_readSentence(&flag, source, line, sizeof line);
            }
            return result;
        });
        if (round % 2 == 0) {
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(0, closeDevice(fd));
        // Someone else's file under the same number, with a line in it.
        int pipefd[2];
        ASSERT_EQ(0, pipe(pipefd));
        if (pipefd[0] != fd) {
            ASSERT_EQ(fd, dup2(pipefd[0], fd));
        }
        ASSERT_EQ(7, write(pipefd[1], "$STOLE\n", 7));
        ASSERT_EQ(std::future_status::ready, reader.wait_for(5s)) << "round " << round;
        EXPECT_EQ(EBADF, reader.get());
        char left[8] = {};
        EXPECT_EQ(7, read(fd, left, sizeof left))
            << "the reader took bytes of a descriptor it no longer owned";
        close(fd);
        if (pipefd[0] != fd) {
            close(pipefd[0]);
        }
        close(pipefd[1]);
    }
}

} // namespace
