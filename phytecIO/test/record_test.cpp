// The logic below the Java boundary: the read helper, record reads from an
// input device, the record's debug form and the decimal reader.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "phytecIO.h"

namespace
{

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe(fd), 0); }
    ~Pipe()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    void closeWriter()
    {
        close(fd[1]);
        fd[1] = -1;
    }
};

// A record device: every read returns one datagram, as the driver does.
struct Records {
    int fd[2] = {-1, -1};
    Records() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fd), 0); }
    ~Records()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
};

GpioEventRecord sample()
{
    GpioEventRecord r{};
    r.event_sec = 12;
    r.event_nsec = 500;
    r.report_sec = 13;
    r.report_nsec = 999999999;
    r.sequence = 7;
    r.address = 10;
    r.value = 5;
    return r;
}

void onSignal(int) {}

TEST(ShortRead, CollectsPiecesUntilTheLengthIsComplete)
{
    Pipe p;
    std::thread writer([&] {
        const char *parts[] = {"ab", "cde", "fgh"};
        for (const char *part : parts) {
            ASSERT_EQ(write(p.fd[1], part, strlen(part)), static_cast<ssize_t>(strlen(part)));
            usleep(20000);
        }
    });
    char buffer[8] = {};
    EXPECT_EQ(shortRead(p.fd[0], buffer, 8), 8);
    EXPECT_EQ(std::string(buffer, 8), "abcdefgh");
    writer.join();
}

TEST(ShortRead, StopsAtEndOfFileAndReportsErrors)
{
    Pipe p;
    ASSERT_EQ(write(p.fd[1], "xyz", 3), 3);
    p.closeWriter();
    char buffer[20];
    EXPECT_EQ(shortRead(p.fd[0], buffer, sizeof buffer), 3);
    EXPECT_EQ(shortRead(p.fd[0], buffer, sizeof buffer), 0);
    EXPECT_LT(shortRead(-1, buffer, sizeof buffer), 0);
    EXPECT_EQ(errno, EBADF);
}

TEST(ShortRead, RepeatsReadsInterruptedBySignalsOrThatWouldBlock)
{
    struct sigaction action {};
    action.sa_handler = onSignal; // no SA_RESTART: read fails with EINTR
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
    Pipe p;
    fcntl(p.fd[0], F_SETFL, O_NONBLOCK); // EAGAIN until the data comes
    const pthread_t reader = pthread_self();
    std::thread writer([&] {
        usleep(30000);
        pthread_kill(reader, SIGUSR1);
        usleep(30000);
        ASSERT_EQ(write(p.fd[1], "12", 2), 2);
        pthread_kill(reader, SIGUSR1);
        usleep(30000);
        ASSERT_EQ(write(p.fd[1], "34", 2), 2);
    });
    char buffer[4];
    EXPECT_EQ(shortRead(p.fd[0], buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, 4), "1234");
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
}

TEST(RecordRead, DecodesTheDriversLittleEndianLayout)
{
    // Octets as the driver lays them out: seven 32-bit fields, low octet first.
    const unsigned char raw[28] = {0x0c, 0, 0, 0, 0xf4, 0x01, 0, 0, 0xff, 0xff, 0xff, 0x7f, 0xff, 0xc9,
                                   0x9a, 0x3b, 0x01, 0x02, 0x03, 0x04, 0x0f, 0, 0, 0, 0, 0, 0, 0x80};
    Records dev;
    ASSERT_EQ(write(dev.fd[1], raw, sizeof raw), 28);
    GpioEventRecord r{};
    PendingRecord pending;
    ASSERT_EQ(phytecDigitalEvent_readRecord(dev.fd[0], &pending, &r), RecordRead::Whole);
    EXPECT_EQ(r.event_sec, 12);
    EXPECT_EQ(r.event_nsec, 500);
    EXPECT_EQ(r.report_sec, 2147483647);
    EXPECT_EQ(r.report_nsec, 999999999);
    EXPECT_EQ(r.sequence, 0x04030201u);
    EXPECT_EQ(r.address, 15u);
    EXPECT_EQ(r.value, 0x80000000u);
    char text[128];
    formatEvent(r, text, sizeof text);
    EXPECT_STREQ(text, "[ev=12.000000500, rep=2147483647.999999999, 67305985, 15, 2147483648]\n");
}

TEST(DebugForm, PadsNanosecondsAndShowsNegativeTimes)
{
    char text[128];
    formatEvent(sample(), text, sizeof text);
    EXPECT_STREQ(text, "[ev=12.000000500, rep=13.999999999, 7, 10, 5]\n");
    GpioEventRecord r{};
    r.event_sec = -1;
    formatEvent(r, text, sizeof text);
    EXPECT_STREQ(text, "[ev=-1.000000000, rep=0.000000000, 0, 0, 0]\n");
}

// The edges of a long, the same on every build: the seeds of fuzz_sysfs_number.
TEST(ParseDecimal, LeadingBlanksSignsAndText)
{
    int64_t v = -1;
    EXPECT_TRUE(phytecIO_parseDecimal("  15\n", &v));
    EXPECT_EQ(v, 15);
    EXPECT_TRUE(phytecIO_parseDecimal("-42x", &v));
    EXPECT_EQ(v, -42);
    EXPECT_TRUE(phytecIO_parseDecimal("+7", &v));
    EXPECT_EQ(v, 7);
    EXPECT_FALSE(phytecIO_parseDecimal("abc", &v));
    EXPECT_FALSE(phytecIO_parseDecimal("", &v));
    EXPECT_FALSE(phytecIO_parseDecimal("- 5", &v));
    EXPECT_FALSE(phytecIO_parseDecimal("99999999999999999999999", &v));
}

} // namespace
