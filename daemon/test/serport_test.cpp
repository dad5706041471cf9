#include "cmux.h"
#include "frame.h"
#include "frame_bytes.h"
#include "serport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

// A pipe whose write end is full, wrapped as a serial port that accepts
// nothing until the read end is drained.
struct StuckLine : testing::Test {
    int rfd = -1;
    serport *port = nullptr;
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
        rfd = fds[0];
        char junk[4096] = {};
        while (write(fds[1], junk, sizeof junk) > 0) {
        }
        while (write(fds[1], junk, 1) > 0) {
        }
        port = serport_wrap(fds[1]);
        ASSERT_NE(port, nullptr);
    }
    void TearDown() override
    {
        serport_close(port);
        if (rfd >= 0)
            close(rfd);
    }
    // Reads everything from the pipe; the junk that filled it first is
    // skipped, the rest is returned.
    std::vector<uint8_t> read_all(size_t junk, size_t expected)
    {
        std::vector<uint8_t> got;
        int fl = fcntl(rfd, F_GETFL);
        fcntl(rfd, F_SETFL, fl & ~O_NONBLOCK);
        uint8_t buf[8192];
        size_t skipped = 0;
        while (got.size() < expected) {
            ssize_t n = read(rfd, buf, sizeof buf);
            if (n <= 0)
                break;
            size_t start = 0;
            if (skipped < junk) {
                start = std::min(junk - skipped, static_cast<size_t>(n));
                skipped += start;
            }
            got.insert(got.end(), buf + start, buf + n);
        }
        return got;
    }
    size_t pipe_capacity() { return static_cast<size_t>(fcntl(port->fd, F_GETPIPE_SZ)); }
};

TEST_F(StuckLine, RingHoldsAtMost65535Octets)
{
    std::vector<uint8_t> data(65535, 0x5A);
    EXPECT_EQ(serport_send(port, data.data(), data.size()), 1);
    EXPECT_EQ(serport_queued(port), 65535u);
    EXPECT_EQ(serport_has_pending(port), 1);
    log_forget();
    testing::internal::CaptureStdout();
    EXPECT_EQ(serport_send(port, data.data(), 1), 0);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("overflow while writing to serport\n"), std::string::npos) << log;
    EXPECT_NE(log.find("serport_send failed\n"), std::string::npos) << log;
    EXPECT_EQ(serport_queued(port), 65535u);
    // A line that still accepts nothing: flushing without waiting is no error.
    EXPECT_EQ(serport_flush(port, 0), 1);
}

TEST_F(StuckLine, FrameNotStartedWithoutRoomForAllOfIt)
{
    std::vector<uint8_t> data(65535 - 10, 1);
    ASSERT_EQ(serport_send(port, data.data(), data.size()), 1);
    uint8_t info[5] = {1, 2, 3, 4, 5};
    msg_bufv v{info, sizeof info};
    const uint8_t header[2] = {0x07, 0xEF};
    log_forget();
    testing::internal::CaptureStdout();
    EXPECT_EQ(frame_send(port, header, 1, &v), 0);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("overflow while writing to serport\n"), std::string::npos) << log;
    EXPECT_EQ(serport_queued(port), 65525u);
    v.len = 4;
    EXPECT_EQ(frame_send(port, header, 1, &v), 1);
    EXPECT_EQ(serport_room(port), 0u);
    // What a kernel message of 504 octets needs on the line: 4 frames.
    EXPECT_EQ(cmux_data_frames_size(504), 528u);
    EXPECT_EQ(cmux_data_frames_size(126), 132u);
    EXPECT_EQ(cmux_data_frames_size(0), 0u);
}

TEST_F(StuckLine, NearlyFullAbove65280)
{
    std::vector<uint8_t> data(65280, 1);
    ASSERT_EQ(serport_send(port, data.data(), data.size()), 1);
    EXPECT_EQ(serport_nearly_full(port), 0);
    ASSERT_EQ(serport_send(port, data.data(), 1), 1);
    EXPECT_EQ(serport_nearly_full(port), 1);
}

TEST_F(StuckLine, OrderKeptAcrossTheWrap)
{
    size_t junk = pipe_capacity();
    std::vector<uint8_t> sent;
    uint8_t counter = 0;
    auto send_some = [&](size_t n) {
        std::vector<uint8_t> d(n);
        for (auto &o : d)
            o = counter++;
        ASSERT_EQ(serport_send(port, d.data(), n), 1);
        sent.insert(sent.end(), d.begin(), d.end());
    };
    send_some(40000);
    EXPECT_EQ(serport_queued(port), 40000u);
    // Take the junk off the line: the ring goes out, head moves to 40000.
    std::vector<uint8_t> buf(junk);
    ASSERT_EQ(read(rfd, buf.data(), junk), static_cast<ssize_t>(junk));
    EXPECT_EQ(serport_flush(port, 0), 1);
    EXPECT_EQ(serport_has_pending(port), 0);
    // The line takes part of the next send; the rest wraps around the ring.
    send_some(60000);
    EXPECT_GT(serport_queued(port) + 40000, SERPORT_RING_SIZE);
    std::thread reader([&] { buf = read_all(0, sent.size()); });
    EXPECT_EQ(serport_flush(port, 2000), 1);
    EXPECT_EQ(serport_has_pending(port), 0);
    reader.join();
    EXPECT_EQ(buf.size(), sent.size());
    EXPECT_TRUE(buf == sent);
}

std::vector<uint8_t> pattern(size_t n, uint8_t first)
{
    std::vector<uint8_t> d(n);
    for (auto &o : d)
        o = first++;
    return d;
}

TEST_F(StuckLine, SendvQueuesWhatTheLineRefusesBehindWhatIsQueued)
{
    size_t junk = pipe_capacity();
    auto a = pattern(3, 0), b = pattern(300, 3), c = pattern(2, 40), d = pattern(7, 90);
    iovec first[] = {{a.data(), a.size()}, {b.data(), b.size()}, {c.data(), 0}, {c.data(), c.size()}};
    ASSERT_EQ(serport_sendv(port, first, 4, 305), 1);
    EXPECT_EQ(serport_queued(port), 305u);
    ASSERT_EQ(serport_send(port, d.data(), d.size()), 1);
    iovec second[] = {{c.data(), c.size()}, {a.data(), a.size()}};
    ASSERT_EQ(serport_sendv(port, second, 2, 5), 1);
    EXPECT_EQ(serport_queued(port), 317u);
    std::vector<uint8_t> want;
    for (auto *v : {&a, &b, &c, &d, &c, &a})
        want.insert(want.end(), v->begin(), v->end());
    std::vector<uint8_t> got;
    std::thread reader([&] { got = read_all(junk, want.size()); });
    EXPECT_EQ(serport_flush(port, 2000), 1);
    reader.join();
    EXPECT_TRUE(got == want);
}

TEST_F(StuckLine, SendvRefusesWhatDoesNotFitAndReportsABrokenLine)
{
    std::vector<uint8_t> data(65535 - 10, 1);
    ASSERT_EQ(serport_send(port, data.data(), data.size()), 1);
    auto a = pattern(6, 0), b = pattern(5, 6);
    iovec v[] = {{a.data(), a.size()}, {b.data(), b.size()}};
    log_forget();
    testing::internal::CaptureStdout();
    EXPECT_EQ(serport_sendv(port, v, 2, 11), 0);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(untimed(log), "overflow while writing to serport\nserport_send failed\n");
    EXPECT_EQ(serport_queued(port), 65525u);

    // The line breaks while octets are queued: the send fails, nothing
    // more is queued.
    auto old = signal(SIGPIPE, SIG_IGN);
    close(rfd);
    rfd = -1;
    log_forget();
    testing::internal::CaptureStdout();
    EXPECT_EQ(serport_sendv(port, v, 1, 6), 0);
    log = testing::internal::GetCapturedStdout();
    signal(SIGPIPE, old);
    EXPECT_EQ(untimed(log), "serport_send failed\n");
    EXPECT_EQ(serport_queued(port), 65525u);
}

// A pipe of one page that the line empties: a send larger than it is cut
// inside a piece.
TEST(SendvLine, PartialWriteQueuesTheRestInOrder)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    ASSERT_GE(fcntl(fds[1], F_SETPIPE_SZ, 4096), 0);
    size_t capacity = static_cast<size_t>(fcntl(fds[1], F_GETPIPE_SZ));
    serport *port = serport_wrap(fds[1]);
    ASSERT_NE(port, nullptr);
    auto a = pattern(capacity - 96, 0), b = pattern(200, 7), c = pattern(900, 99);
    iovec v[] = {{a.data(), a.size()}, {b.data(), b.size()}, {c.data(), c.size()}};
    ASSERT_EQ(serport_sendv(port, v, 3, capacity + 1004), 1);
    EXPECT_EQ(serport_queued(port), 1004u);
    std::vector<uint8_t> want, got;
    for (auto *p : {&a, &b, &c})
        want.insert(want.end(), p->begin(), p->end());
    std::thread reader([&] {
        uint8_t buf[4096];
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (got.size() < want.size() && std::chrono::steady_clock::now() < end) {
            ssize_t n = read(fds[0], buf, sizeof buf);
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
            else if (n == 0 || errno != EAGAIN)
                break;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_EQ(serport_flush(port, 2000), 1);
    reader.join();
    EXPECT_TRUE(got == want);
    serport_close(port);
    close(fds[0]);
}

// A line that fails with nothing queued: what the line did not take waits
// in the ring and the next flush reports the failure.
TEST(SendvLine, FailureSurfacesAtTheFlush)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    close(fds[0]);
    serport *port = serport_wrap(fds[1]);
    ASSERT_NE(port, nullptr);
    auto old = signal(SIGPIPE, SIG_IGN);
    auto a = pattern(4, 0);
    iovec v[] = {{a.data(), a.size()}};
    EXPECT_EQ(serport_sendv(port, v, 1, 4), 1);
    EXPECT_EQ(serport_queued(port), 4u);
    errno = 0;
    EXPECT_EQ(serport_flush(port, 0), 0);
    EXPECT_EQ(errno, EPIPE);
    signal(SIGPIPE, old);
    serport_close(port);
}

struct Modem : testing::Test {
    int peer = -1;
    serport *port = nullptr;
    std::string log;
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        port = serport_wrap(fds[0]);
        peer = fds[1];
    }
    void TearDown() override
    {
        serport_close(port);
        close(peer);
    }
    void answer(const std::string &s)
    {
        ASSERT_EQ(write(peer, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    }
    std::string heard()
    {
        char buf[256];
        ssize_t n = recv(peer, buf, sizeof buf, MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }
    // The modem's answer, written once the command has arrived (what was
    // pending before a command is dropped).
    std::string reply;
    std::string command_heard;
    std::string last_heard; // what the last command put on the line
    int at(const char *cmd, const char *expected, int ms)
    {
        std::thread modem([this] {
            if (reply.empty())
                return;
            // The command and its "\r" may come in two pieces.
            pollfd p{peer, POLLIN, 0};
            while (!command_heard.ends_with('\r') && poll(&p, 1, 2000) == 1)
                command_heard += heard();
            answer(reply);
        });
        log_forget();
        log_forget();
        testing::internal::CaptureStdout();
        int rc = at_command(port, cmd, expected, ms);
        log = testing::internal::GetCapturedStdout();
        modem.join();
        reply.clear();
        last_heard.swap(command_heard);
        command_heard.clear();
        return rc;
    }
};

TEST_F(Modem, EchoAndEmptyLinesSkipped)
{
    reply = "AT\r\r\nOK\r\n";
    EXPECT_EQ(at("AT", "OK", 200), 1);
    EXPECT_EQ(last_heard, "AT\r");
    reply = "\r\n\r\nOK\r\n";
    EXPECT_EQ(at("AT+CMEE=2", "OK", 200), 1);
    // The echo is skipped once only.
    reply = "AT\r\nAT\r\nOK\r\n";
    EXPECT_EQ(at("AT", "OK", 200), 0);
}

TEST_F(Modem, LateAndUnsolicitedLinesAreNotTakenForTheAnswer)
{
    // The late OK of an earlier command and a line of the modem's own wait
    // on the line; the command's real answer is ERROR.
    answer("\r\nOK\r\n\r\nRING\r\n");
    reply = "\r\nERROR\r\n";
    EXPECT_EQ(at("AT+CMUX=0", "OK", 200), 0);
    answer("\r\n+CREG: 1\r\n");
    reply = "\r\nOK\r\n";
    EXPECT_EQ(at("AT", "OK", 200), 1);
    // Reports while the command waits are passed over; an error result
    // is the answer, and reports alone do not stretch the wait.
    reply = "\r\nRING\r\n\r\n+CREG: 5\r\n\r\n#QSS: 1\r\n\r\nOK\r\n";
    EXPECT_EQ(at("AT+IPR=115200", "OK", 200), 1);
    reply = "\r\nRING\r\n\r\n+CME ERROR: 3\r\n";
    EXPECT_EQ(at("AT#SELINT=2", "OK", 200), 0);
    reply = "\r\nRING\r\n";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(at("AT", "OK", 200), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

// The bring-up's count of outstanding commands, step by step: "sCMD" sends
// CMD, "mTEXT" is written by the modem, "a" + y/n/- is the step's answer
// within 30 ms (expected, another result, none), "t" + 1/0 settles (every
// late answer came, or not).
TEST_F(Modem, OutstandingCommandsKeepTheirAnswers)
{
    const std::vector<std::vector<std::string>> scripts = {
        // A late ERROR of an earlier step is not the next step's answer.
        {"sAT+CMEE=2", "a-", "m\r\nERROR\r\n", "t1", "sAT+IPR=115200", "m\r\nOK\r\n", "ay"},
        // Both tries of "AT" answered late: the second answer is waited for.
        {"sAT", "a-", "sAT", "mOK\r\nOK\r\n", "ay", "t1", "sAT+CMEE=2", "mERROR\r\n", "an"},
        // A swallowed "AT" is forgotten after the settling time.
        {"sAT", "a-", "sAT", "mOK\r\n", "ay", "t0", "sAT+CMEE=2", "mOK\r\n", "ay"},
        // Echo, reports and RING are no answers.
        {"sAT+CMEE=2", "mAT+CMEE=2\r\r\n+CREG: 1\r\nRING\r\nOK\r\n", "ay"},
    };
    for (const auto &script : scripts) {
        at_link link{port, 0, 0};
        for (const std::string &op : script) {
            SCOPED_TRACE(op);
            const std::string arg = op.substr(1);
            testing::internal::CaptureStdout();
            if (op[0] == 's') {
                EXPECT_EQ(at_link_send(&link, arg.c_str()), 1);
                heard();
            } else if (op[0] == 'm') {
                answer(arg);
            } else if (op[0] == 'a') {
                at_reply want = arg == "y"   ? at_reply::expected
                                : arg == "n" ? at_reply::other
                                             : at_reply::none;
                EXPECT_EQ(at_link_await(&link, "OK", 30), want);
            } else {
                EXPECT_EQ(at_link_settle(&link, 30), arg == "1");
            }
            testing::internal::GetCapturedStdout();
        }
    }
}

TEST_F(Modem, ErrorAnswersAtOnce)
{
    reply = "ERROR\r\n";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(at("AT+CMUX=0", "OK", 5000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(Modem, SilentModemTimesOut)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(at("AT", "OK", 200), 0);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(190));
    EXPECT_NE(log.find("timeout while reading from  serport\n"), std::string::npos) << log;
}

TEST_F(Modem, HangUpAndEofFail)
{
    close(peer);
    peer = -1;
    EXPECT_EQ(at(nullptr, "OK", 100), 0);
    uint8_t b[4];
    log_forget();
    testing::internal::CaptureStdout();
    EXPECT_EQ(serport_recv(port, b, 4, 100), 0);
    log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("unexpected EOF while reading from serport\n"), std::string::npos) << log;
}

TEST_F(Modem, ReadAheadServesLinesAndExactReadsAndIsDroppedWithTheLine)
{
    answer("OK\r\nabcdef");
    char line[16];
    ASSERT_EQ(serport_readline(port, line, sizeof line, 200), 4);
    EXPECT_EQ(std::string(line, 4), "OK\r\n");
    EXPECT_EQ(serport_buffered(port), 6u); // one read brought all
    char b[4];
    ASSERT_EQ(serport_recv(port, b, 4, 200), 1);
    EXPECT_EQ(std::string(b, 4), "abcd");
    answer("gh");
    EXPECT_EQ(serport_discard_input(port), 4u);
    EXPECT_EQ(serport_buffered(port), 0u);
    // What is left is moved to the front before the next read.
    answer("0123456789");
    ASSERT_EQ(serport_recv(port, b, 3, 200), 1);
    answer("xyz");
    ASSERT_EQ(serport_fill(port), 3);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(serport_ahead(port)), 10), "3456789xyz");
    EXPECT_EQ(port->in_head, 0u);
}

TEST_F(Modem, ExactReadWaitsForTheRest)
{
    std::thread late([&] {
        answer("ab");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        answer("cd");
    });
    char b[4];
    EXPECT_EQ(serport_recv(port, b, 4, 500), 1);
    late.join();
    EXPECT_EQ(std::string(b, 4), "abcd");
}

TEST(SerialOpen, ConfiguresTheLine)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    serport *port = serport_open(ptsname(master));
    ASSERT_NE(port, nullptr);
    termios tio{};
    ASSERT_EQ(tcgetattr(port->fd, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    EXPECT_TRUE(tio.c_cflag & CRTSCTS);
    EXPECT_TRUE(tio.c_cflag & HUPCL);
    EXPECT_FALSE(tio.c_lflag & (ECHO | ICANON));
    EXPECT_TRUE(fcntl(port->fd, F_GETFL) & O_NONBLOCK);
    serport_close(port);
    close(master);

    testing::internal::CaptureStderr();
    EXPECT_EQ(serport_open("/nonexistent/ttySA0"), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "open(<serport>): No such file or directory\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(serport_open("/dev/null"), nullptr);
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "tcgetattr(): Inappropriate ioctl for device\n");
}

} // namespace
