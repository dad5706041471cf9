// The client library in process: records from a socket pair or a listener of
// the test's own, so that every byte and every pause is under the test's
// control.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "iomultiplex-private.h"
#include "wire.h"

namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Freed {
    void operator()(void *p) const { std::free(p); }
};
using Event = std::unique_ptr<IOMXEvent, Freed>;

// A connected pair: `client` is non-blocking as openSocket leaves it.
struct Pair {
    int client = -1;
    int service = -1;
    Pair()
    {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            throw std::runtime_error("socketpair");
        }
        client = sv[0];
        service = sv[1];
        fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
    }
    ~Pair()
    {
        close_service();
        if (client >= 0) {
            close(client);
        }
    }
    void send(const std::string &bytes) const
    {
        ASSERT_EQ(write(service, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void close_service()
    {
        if (service >= 0) {
            close(service);
            service = -1;
        }
    }
};

// What the library printed while fn ran.
template <typename Fn> std::string printed(Fn fn)
{
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

long elapsed_ms(Clock::time_point since)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(IomxRecord, ConvertsTheHeaderFromBigEndian)
{
    Pair p;
    p.send(wire_record(0x01020304, 0x000F4240 - 1, 0xA0B0C0D0, "") +
           wire_record(5, 42, 7, std::string("\x01\x00\xff\n\r", 5)));
    Event first(iomx_readIOEventData(p.client, 1000));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->timestamp.sec, 0x01020304u);
    EXPECT_EQ(first->timestamp.usec, 999999u);
    EXPECT_EQ(first->seqnr, 0xA0B0C0D0u);
    EXPECT_EQ(first->data_len, 0u);
    Event second(iomx_readIOEventData(p.client, 1000));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->data_len, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(second->data), 5), std::string("\x01\x00\xff\n\r", 5));
}

// One octet at a time, a little apart: each wait sees one more piece.
TEST(IomxRecord, AssemblesARecordFromManySmallReads)
{
    Pair p;
    const std::string rec = wire_record(1, 2, 3, "payload of a record");
    std::thread writer([&] {
        for (char c : rec) {
            p.send(std::string(1, c));
            std::this_thread::sleep_for(1ms);
        }
    });
    Event e(iomx_readIOEventData(p.client, 2000));
    writer.join();
    ASSERT_TRUE(e);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(e->data), e->data_len), "payload of a record");
    EXPECT_EQ(e->seqnr, 3u);
}

TEST(IomxRecord, TimesOutWithErrnoFourInHeaderAndInPayload)
{
    Pair p;
    auto start = Clock::now();
    EXPECT_EQ(printed([&] { EXPECT_EQ(iomx_readIOEventData(p.client, 100), nullptr); }),
              "err: 4\n1) readWithTimeout return -1\n");
    EXPECT_GE(elapsed_ms(start), 90);

    p.send(wire_record(1, 2, 3, 10, "abc")); // seven octets short
    start = Clock::now();
    EXPECT_EQ(printed([&] { EXPECT_EQ(iomx_readIOEventData(p.client, 100), nullptr); }),
              "err: 4\n2) readWithTimeout return -1\n");
    EXPECT_LT(elapsed_ms(start), 2000);
}

// A closed connection ends the read at once, wherever the record stands.
TEST(IomxRecord, ServiceClosingInsideARecordIsAnErrorNotAHang)
{
    for (const std::string &sent :
         {std::string(), wire_record(1, 2, 3, "").substr(0, 9), wire_record(1, 2, 3, 5, "ab")}) {
        Pair p;
        p.send(sent);
        p.close_service();
        const auto start = Clock::now();
        const std::string out =
            printed([&] { EXPECT_EQ(iomx_readIOEventData(p.client, 0xFFFFFFFFu), nullptr); });
        EXPECT_LT(elapsed_ms(start), 1000);
        EXPECT_EQ(out, std::string("err: 104\n") + (sent.size() == 18 ? "2" : "1") +
                           ") readWithTimeout return -1\n")
            << sent.size();
    }
}

TEST(IomxRecord, RefusesAnImpossibleLengthWithoutReadingPastTheHeader)
{
    Pair p;
    p.send(wire_record(1, 2, 3, 0xFFFFFFFFu, "next"));
    EXPECT_EQ(printed([&] {
                  errno = 0;
                  EXPECT_EQ(iomx_readIOEventData(p.client, 100), nullptr);
                  EXPECT_EQ(errno, EMSGSIZE);
              }),
              "1) data_len 4294967295 exceeds 1048576\n");
    char rest[8];
    EXPECT_EQ(recv(p.client, rest, sizeof(rest), MSG_DONTWAIT), 4);

    IOMXEvent h;
    const std::string at_limit = wire_record(0, 0, 0, IOMX_MAX_DATA_LEN, "");
    const std::string beyond = wire_record(0, 0, 0, IOMX_MAX_DATA_LEN + 1, "");
    EXPECT_EQ(iomx_decodeHeader(reinterpret_cast<const uint8_t *>(at_limit.data()), &h), 0);
    EXPECT_EQ(iomx_decodeHeader(reinterpret_cast<const uint8_t *>(beyond.data()), &h), -1);
    EXPECT_EQ(h.data_len, IOMX_MAX_DATA_LEN + 1u);
}

TEST(IomxRecord, ReadsTheLargestPayload)
{
    Pair p;
    std::string payload(IOMX_MAX_DATA_LEN, 'x');
    payload.back() = 'y';
    std::thread writer([&] { p.send(wire_record(9, 9, 9, payload)); });
    Event e(iomx_readIOEventData(p.client, 5000));
    writer.join();
    ASSERT_TRUE(e);
    ASSERT_EQ(e->data_len, IOMX_MAX_DATA_LEN + 0u);
    EXPECT_EQ(e->data[IOMX_MAX_DATA_LEN - 1], 'y');
}

// Signals that interrupt the waits: neither the read nor iomx_wait gives up.
class IomxSignals : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        struct sigaction sa {
        };
        sa.sa_handler = [](int) { ++hits; };
        sa.sa_flags = 0; // no SA_RESTART: poll fails with EINTR
        sigaction(SIGUSR1, &sa, &old_);
        hits = 0;
    }
    void TearDown() override { sigaction(SIGUSR1, &old_, nullptr); }
    // Interrupts `target` every 20 ms for `count` times, then runs `after`.
    std::thread interrupter(pthread_t target, int count, std::function<void()> after)
    {
        return std::thread([=] {
            for (int i = 0; i < count; ++i) {
                std::this_thread::sleep_for(20ms);
                pthread_kill(target, SIGUSR1);
            }
            after();
        });
    }
    static inline std::atomic<int> hits{0};
    struct sigaction old_ {
    };
};

TEST_F(IomxSignals, ReadGoesOnAfterEintr)
{
    Pair p;
    std::thread t = interrupter(pthread_self(), 5, [&] { p.send(wire_record(1, 1, 1, "late")); });
    Event e(iomx_readIOEventData(p.client, 3000));
    t.join();
    EXPECT_EQ(hits.load(), 5);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->data_len, 4u);
}

TEST_F(IomxSignals, WaitKeepsItsLimitAcrossSignals)
{
    Pair ev, cmd;
    IOMultiplex *iomx = iomx_new("/nowhere");
    iomx->fd_event = ev.client;
    iomx->fd_command = cmd.client;
    IOMXStatus st;
    std::thread t = interrupter(pthread_self(), 5, [] {});
    const auto start = Clock::now();
    EXPECT_EQ(iomx_wait(iomx, IOMX_WAIT_EVENT | IOMX_WAIT_CMD_READ, &st, 300), 0);
    const long ms = elapsed_ms(start);
    t.join();
    EXPECT_GE(ms, 280);
    EXPECT_LT(ms, 1500);
    EXPECT_EQ(st.status_event, stOPEN);
    EXPECT_EQ(st.status_cmd, stOPEN);
    iomx->fd_event = iomx->fd_command = -1; // the pairs own them
    iomx_free(iomx);
}

class IomxHandle : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        iomx = iomx_new("/no/such/dir");
        ASSERT_NE(iomx, nullptr);
    }
    void TearDown() override
    {
        iomx->fd_event = iomx->fd_command = -1;
        iomx_free(iomx);
    }
    void attach()
    {
        iomx->fd_event = ev.client;
        iomx->fd_command = cmd.client;
    }
    IOMultiplex *iomx = nullptr;
    Pair ev, cmd;
};

TEST_F(IomxHandle, StartsClosedWithTheDefaultLimits)
{
    EXPECT_EQ(iomx->fd_event, -1);
    EXPECT_EQ(iomx->fd_command, -1);
    EXPECT_STREQ(iomx->fifo_path, "/no/such/dir");
    EXPECT_EQ(iomx->timeout_cmd, 4000u);
    EXPECT_EQ(iomx->timeout_event, 0xFFFFFFFFu);
    iomx_free(nullptr);
}

TEST_F(IomxHandle, ClosedSocketsFailAtOnce)
{
    EXPECT_EQ(printed([&] { EXPECT_EQ(iomx_readEvent(iomx), nullptr); }), "fd_event is -1\n");
    EXPECT_EQ(printed([&] {
                  EXPECT_EQ(iomx_sendCommandAsync(iomx, "x\r\n", 3), -1);
                  EXPECT_EQ(iomx_sendCommand(iomx, "x\r\n", 3), nullptr);
              }),
              "");
    IOMXStatus st;
    std::memset(&st, 0xAA, sizeof(st));
    const auto start = Clock::now();
    EXPECT_EQ(iomx_wait(iomx, IOMX_WAIT_EVENT, &st, 5000), 0);
    EXPECT_LT(elapsed_ms(start), 500);
    EXPECT_EQ(st.status_event, stCLOSED);
    EXPECT_EQ(st.status_cmd, stUNKNOWN);
    EXPECT_FALSE(st.event_pending || st.cmd_rts || st.cmd_pending);
    EXPECT_EQ(iomx_wait(iomx, IOMX_WAIT_CMD_WRITE, &st, 5000), 0);
    EXPECT_EQ(st.status_event, stUNKNOWN);
    EXPECT_EQ(st.status_cmd, stCLOSED);
}

TEST_F(IomxHandle, CommandGoesOutUnchangedAndItsResultComesBack)
{
    attach();
    cmd.send(wire_record(5, 42, 7, "abc"));
    Event r(iomx_sendCommand(iomx, "set out0 1\r\n", 12));
    ASSERT_TRUE(r);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(r->data), r->data_len), "abc");
    char got[32];
    EXPECT_EQ(read(cmd.service, got, sizeof(got)), 12);
    EXPECT_EQ(std::string(got, 12), "set out0 1\r\n");
    EXPECT_EQ(iomx_sendCommandAsync(iomx, "", 0), 0);
}

TEST_F(IomxHandle, SilentServiceTimesTheResultOut)
{
    attach();
    iomx->timeout_cmd = 150; // scaled down from 4000
    const auto start = Clock::now();
    EXPECT_EQ(printed([&] { EXPECT_EQ(iomx_sendCommand(iomx, "ping\r\n", 6), nullptr); }),
              "err: 4\n1) readWithTimeout return -1\n");
    EXPECT_GE(elapsed_ms(start), 140);
}

TEST_F(IomxHandle, SendingToAFullOrClosedSocketFailsWithoutSignal)
{
    attach();
    iomx->timeout_cmd = 100;
    const std::string big(1 << 22, 'z'); // far more than the socket buffers hold
    const auto start = Clock::now();
    errno = 0;
    EXPECT_EQ(iomx_sendCommandAsync(iomx, big.data(), big.size()), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_LT(elapsed_ms(start), 2000);
    cmd.close_service();
    EXPECT_EQ(iomx_sendCommandAsync(iomx, "x\r\n", 3), -1); // EPIPE, no SIGPIPE
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(IomxHandle, WaitReportsWhatIsReady)
{
    attach();
    IOMXStatus st;
    EXPECT_EQ(iomx_wait(iomx, 0, &st, 1000), 0);
    EXPECT_EQ(st.status_event, stUNKNOWN);
    EXPECT_EQ(st.status_cmd, stUNKNOWN);

    EXPECT_EQ(iomx_wait(iomx, IOMX_WAIT_EVENT | IOMX_WAIT_CMD_READ, &st, 50), 0); // time-out
    EXPECT_EQ(st.status_event, stOPEN);
    EXPECT_EQ(st.status_cmd, stOPEN);
    EXPECT_FALSE(st.event_pending || st.cmd_rts || st.cmd_pending);

    EXPECT_EQ(iomx_wait(iomx, IOMX_WAIT_CMD_WRITE, &st, 1000), 1);
    EXPECT_EQ(st.status_event, stUNKNOWN);
    EXPECT_TRUE(st.cmd_rts);
    EXPECT_FALSE(st.cmd_pending);

    ev.send("x");
    cmd.send("y");
    EXPECT_EQ(iomx_wait(iomx, IOMX_WAIT_EVENT | IOMX_WAIT_CMD_READ, &st, 1000), 1);
    EXPECT_TRUE(st.event_pending);
    EXPECT_TRUE(st.cmd_pending);
    EXPECT_FALSE(st.cmd_rts);

    ev.close_service();
    EXPECT_EQ(iomx_wait(iomx, IOMX_WAIT_EVENT | IOMX_WAIT_CMD_WRITE, &st, 1000), 1);
    EXPECT_EQ(st.status_event, stCLOSED);
    EXPECT_FALSE(st.event_pending);
    EXPECT_EQ(st.status_cmd, stOPEN);
    EXPECT_TRUE(st.cmd_rts);
}

TEST_F(IomxHandle, CloseReportsAFailedCloseAndForgetsBoth)
{
    iomx->fd_event = 60000; // not open
    iomx->fd_command = dup(cmd.client);
    EXPECT_EQ(iomx_close(iomx), -1);
    EXPECT_EQ(iomx->fd_event, -1);
    EXPECT_EQ(iomx->fd_command, -1);
    EXPECT_EQ(iomx_close(iomx), 0);
}

// A service of the test's own in a directory whose path length is chosen.
class IomxConnect : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        for (int fd : listeners_) {
            close(fd);
        }
        if (!base_.empty()) {
            std::filesystem::remove_all(base_);
        }
    }
    // A directory whose path has exactly `length` characters.
    std::string directory(size_t length)
    {
        char pattern[] = "/tmp/iomx-XXXXXX";
        base_ = mkdtemp(pattern);
        std::string dir = base_;
        while (dir.size() < length) {
            const size_t room = length - dir.size() - 1;
            dir += "/" + std::string(std::min<size_t>(room == 0 ? 1 : room, 40), 'd');
            if (dir.size() > length) {
                dir.resize(length);
            }
            std::filesystem::create_directories(dir);
        }
        EXPECT_EQ(dir.size(), length);
        return dir;
    }
    void listen_at(const std::string &path)
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        ASSERT_LT(path.size(), sizeof(a.sun_path));
        std::memcpy(a.sun_path, path.c_str(), path.size());
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)), 0) << path;
        ASSERT_EQ(listen(fd, 4), 0);
        listeners_.push_back(fd);
    }
    int accepted(size_t which)
    {
        return accept4(listeners_.at(which), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    }
    std::vector<int> listeners_;
    std::string base_;
};

TEST_F(IomxConnect, DirectoryOfOneHundredCharactersFitsEventButNotCommand)
{
    const std::string dir = directory(100);
    listen_at(dir + "/event"); // 106 characters: the longest that fits
    IOMultiplex *iomx = iomx_new(dir.c_str());
    errno = 0;
    EXPECT_EQ(iomx_open(iomx), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_EQ(iomx->fd_event, -1);
    EXPECT_EQ(iomx->fd_command, -1);
    const int ev = accepted(0);
    EXPECT_GE(ev, 0); // "/event" was connected before "/command" failed
    close(ev);
    iomx_free(iomx);

    const int fd = openSocket(dir.c_str(), "/event");
    EXPECT_GE(fd, 0);
    close(fd);
    close(accepted(0));
    const std::string longer = dir + "x";
    errno = 0;
    EXPECT_EQ(openSocket(longer.c_str(), "/event"), -1); // 107 characters
    EXPECT_EQ(errno, ENAMETOOLONG);
}

TEST_F(IomxConnect, OpensBothNonBlockingAndCloseOnExecAndReconnects)
{
    const std::string dir = directory(98);
    listen_at(dir + "/event");
    listen_at(dir + "/command");
    IOMultiplex *iomx = iomx_new(dir.c_str());
    ASSERT_EQ(iomx_open(iomx), 0);
    for (int fd : {iomx->fd_event, iomx->fd_command}) {
        EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
        EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    }
    const int first_event = iomx->fd_event;
    errno = 0;
    EXPECT_EQ(iomx_open(iomx), -1); // already open: left as it is
    EXPECT_EQ(iomx->fd_event, first_event);
    int service_cmd = accepted(1);
    ASSERT_GE(service_cmd, 0);
    close(accepted(0));

    // The service drops the connection; the client reconnects.
    close(service_cmd);
    iomx->timeout_cmd = 1000;
    EXPECT_EQ(printed([&] { EXPECT_EQ(iomx_sendCommand(iomx, "a\r\n", 3), nullptr); }), ""); // EPIPE
    EXPECT_EQ(iomx_close(iomx), 0);
    ASSERT_EQ(iomx_open(iomx), 0);
    close(accepted(0));
    service_cmd = accepted(1);
    ASSERT_GE(service_cmd, 0);
    const std::string rec = wire_record(1, 2, 3, "again");
    ASSERT_EQ(write(service_cmd, rec.data(), rec.size()), static_cast<ssize_t>(rec.size()));
    Event r(iomx_sendCommand(iomx, "a\r\n", 3));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data_len, 5u);
    close(service_cmd);
    iomx_free(iomx);
}

TEST_F(IomxConnect, MissingSocketLeavesTheHandleClosed)
{
    const std::string dir = directory(40);
    IOMultiplex *iomx = iomx_new(dir.c_str());
    errno = 0;
    EXPECT_EQ(iomx_open(iomx), -1);
    EXPECT_EQ(errno, ENOENT);
    listen_at(dir + "/event");
    EXPECT_EQ(iomx_open(iomx), -1); // no "/command"
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(iomx->fd_event, -1);
    EXPECT_EQ(iomx->fd_command, -1);
    close(accepted(0));
    iomx_free(iomx);
}

} // namespace
