#include "fake_supplicant.h"
#include "wpa_ctrl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string local_path(wpa_ctrl_conn *c)
{
    sockaddr_un addr{};
    socklen_t len = sizeof(addr);
    getsockname(wpa_ctrl_get_fd(c), reinterpret_cast<sockaddr *>(&addr), &len);
    return addr.sun_path;
}

struct Request {
    int result;
    std::string reply;
};

Request request(wpa_ctrl_conn *c, const std::string &cmd, size_t buffer = 2048,
                void (*cb)(char *, size_t) = nullptr)
{
    std::vector<char> reply(buffer);
    size_t len = buffer;
    const int res = wpa_ctrl_request(c, cmd.data(), cmd.size(), reply.data(), &len, cb);
    return {res, res == 0 ? std::string(reply.data(), len) : std::string()};
}

std::vector<std::string> callbacks;
void collect(char *msg, size_t len)
{
    // The text must be NUL-terminated at the reported length.
    EXPECT_EQ(std::strlen(msg), len);
    callbacks.emplace_back(msg, len);
}

class WpaCtrl : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        fds_ = open_descriptors();
        server_ = std::make_unique<FakeSupplicant>(dir_.path("wlan0"));
        callbacks.clear();
    }
    void TearDown() override
    {
        server_.reset();
        EXPECT_EQ(fds_, open_descriptors()) << "descriptor leak";
        EXPECT_EQ(0, local_socket_files()) << "local socket file left in /tmp";
    }
    wpa_ctrl_conn *open() { return wpa_ctrl_open(server_->path().c_str()); }

    TempDir dir_;
    std::unique_ptr<FakeSupplicant> server_;
    int fds_ = 0;
};

TEST_F(WpaCtrl, LocalSocketFilesAreNamedByProcessAndCounterAndRemovedOnClose)
{
    wpa_ctrl_conn *a = open();
    wpa_ctrl_conn *b = open();
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    const std::string prefix = "/tmp/wpa_ctrl_" + std::to_string(getpid()) + "-";
    const std::string pa = local_path(a), pb = local_path(b);
    ASSERT_EQ(0u, pa.rfind(prefix, 0)) << pa;
    ASSERT_EQ(0u, pb.rfind(prefix, 0)) << pb;
    EXPECT_EQ(std::stoi(pa.substr(prefix.size())) + 1, std::stoi(pb.substr(prefix.size())));
    struct stat st {
    };
    EXPECT_EQ(0, stat(pa.c_str(), &st));
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    wpa_ctrl_close(a);
    wpa_ctrl_close(b);
    EXPECT_NE(0, access(pa.c_str(), F_OK));
    EXPECT_NE(0, access(pb.c_str(), F_OK));
}

TEST_F(WpaCtrl, DestinationOf107CharactersIsAcceptedAnd108Refused)
{
    std::string base = dir_.path("");
    std::string p107 = base + std::string(107 - base.size(), 'd');
    ASSERT_EQ(107u, p107.size());
    FakeSupplicant longest(p107);
    wpa_ctrl_conn *c = wpa_ctrl_open(p107.c_str());
    ASSERT_NE(nullptr, c);
    EXPECT_EQ("PONG\n", request(c, "PING").reply);
    wpa_ctrl_close(c);

    const std::string p108 = p107 + "d";
    EXPECT_EQ(nullptr, wpa_ctrl_open(p108.c_str()));
    // TearDown checks that neither descriptor nor local file is left.
}

TEST_F(WpaCtrl, OpenWithoutSupplicantLeavesNothingBehind)
{
    EXPECT_EQ(nullptr, wpa_ctrl_open(dir_.path("missing").c_str()));
    EXPECT_EQ(nullptr, wpa_ctrl_open(""));
}

// Whatever another account left at the next names (a stale socket, a
// directory, a file, a link) is skipped and kept; the socket opened is
// reachable by its owner only and not inherited by programs started later.
TEST_F(WpaCtrl, NamesTakenByOthersAreSkippedAndKept)
{
    wpa_ctrl_conn *probe = open();
    ASSERT_NE(nullptr, probe);
    const std::string used = local_path(probe);
    wpa_ctrl_close(probe);
    const size_t dash = used.rfind('-');
    const int first = std::stoi(used.substr(dash + 1)) + 1;
    const auto name = [&](int i) { return used.substr(0, dash + 1) + std::to_string(first + i); };
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, name(0).c_str());
    ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)));
    close(fd); // the file stays, as after a crash
    ASSERT_EQ(0, mkdir(name(1).c_str(), 0755));
    ASSERT_EQ(0, close(::open(name(2).c_str(), O_CREAT | O_WRONLY, 0644)));
    ASSERT_EQ(0, symlink("/nonexistent", name(3).c_str()));

    wpa_ctrl_conn *c = open();
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(name(4), local_path(c));
    struct stat st {};
    EXPECT_TRUE(stat(name(4).c_str(), &st) == 0 && (st.st_mode & 0777) == 0600);
    EXPECT_EQ(FD_CLOEXEC, fcntl(wpa_ctrl_get_fd(c), F_GETFD));
    wpa_ctrl_close(c);
    const mode_t kinds[] = {S_IFSOCK, S_IFDIR, S_IFREG, S_IFLNK};
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(lstat(name(i).c_str(), &st) == 0 && (st.st_mode & S_IFMT) == kinds[i]) << name(i);
        EXPECT_EQ(0, remove(name(i).c_str()));
    }
}

TEST_F(WpaCtrl, RequestReturnsTheReplyOrItsBeginning)
{
    wpa_ctrl_conn *c = open();
    ASSERT_NE(nullptr, c);
    Request pong = request(c, "PING");
    EXPECT_EQ(0, pong.result);
    EXPECT_EQ("PONG\n", pong.reply);
    const std::string big(3000, 'x');
    server_->script([&](const std::string &, auto send) { send(big); });
    Request r = request(c, "DUMP", 2047);
    EXPECT_EQ(0, r.result);
    EXPECT_EQ(big.substr(0, 2047), r.reply);
    server_->script([](const std::string &, auto send) { send(""); });
    r = request(c, "EMPTY");
    EXPECT_EQ(0, r.result);
    EXPECT_EQ("", r.reply);
    wpa_ctrl_close(c);
}

TEST_F(WpaCtrl, CommandGoesOutAsOneDatagramOfItsExactLength)
{
    std::string seen;
    server_->script([&](const std::string &cmd, auto send) {
        seen = cmd;
        send("OK\n");
    });
    wpa_ctrl_conn *c = open();
    const std::string cmd("SET_NETWORK 0 ssid \"a\0b\"", 25);
    EXPECT_EQ(0, request(c, cmd).result);
    EXPECT_EQ(cmd, seen);
    wpa_ctrl_close(c);
}

TEST_F(WpaCtrl, UnsolicitedMessagesAheadOfTheReplyGoToTheCallbackOrAreDropped)
{
    server_->script([](const std::string &, auto send) {
        send("<3>CTRL-EVENT-SCAN-STARTED ");
        send("<2>State: DISCONNECTED -> SCANNING");
        send("OK\n");
    });
    wpa_ctrl_conn *c = open();
    Request r = request(c, "SCAN");
    EXPECT_EQ(0, r.result);
    EXPECT_EQ("OK\n", r.reply);
    EXPECT_TRUE(callbacks.empty());

    r = request(c, "SCAN", 2048, collect);
    EXPECT_EQ("OK\n", r.reply);
    EXPECT_EQ((std::vector<std::string>{"<3>CTRL-EVENT-SCAN-STARTED ", "<2>State: DISCONNECTED -> SCANNING"}),
              callbacks);
    wpa_ctrl_close(c);
}

TEST_F(WpaCtrl, UnsolicitedMessageFillingTheBufferIsCutByOneForItsTerminator)
{
    const std::string event = "<2>" + std::string(13, 'e'); // 16 bytes
    server_->script([&](const std::string &, auto send) {
        send(event);
        send("OK\n");
    });
    wpa_ctrl_conn *c = open();
    EXPECT_EQ(0, request(c, "SCAN", 16, collect).result);
    ASSERT_EQ(1u, callbacks.size());
    EXPECT_EQ(event.substr(0, 15), callbacks[0]);
    wpa_ctrl_close(c);
}

TEST_F(WpaCtrl, SilenceTimesOutAfterTwoSecondsAndEachEventRestartsTheWait)
{
    server_->script([](const std::string &, auto) {});
    wpa_ctrl_conn *c = open();
    auto start = Clock::now();
    EXPECT_EQ(-2, request(c, "PING").result);
    EXPECT_GE(seconds_since(start), 1.95);
    EXPECT_LT(seconds_since(start), 3.0);

    // An event after 1.2 s restarts the wait: the time-out comes 2 s later.
    server_->script([&](const std::string &, auto send) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        send("<3>CTRL-EVENT-BSS-ADDED 0 00:11:22:33:44:55");
    });
    start = Clock::now();
    EXPECT_EQ(-2, request(c, "PING", 2048, collect).result);
    EXPECT_GE(seconds_since(start), 3.15);
    EXPECT_LT(seconds_since(start), 4.5);
    EXPECT_EQ(1u, callbacks.size());
    wpa_ctrl_close(c);
}

void on_usr1(int)
{
}

TEST_F(WpaCtrl, SignalsDoNotStretchTheWait)
{
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_usr1; // no SA_RESTART: every signal interrupts the wait
    sigaction(SIGUSR1, &sa, &old);
    server_->script([](const std::string &, auto) {});
    wpa_ctrl_conn *c = open();
    const pthread_t self = pthread_self();
    std::atomic<bool> done{false};
    std::thread pest([&] {
        while (!done) {
            pthread_kill(self, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    const auto start = Clock::now();
    const int res = request(c, "PING").result;
    const double took = seconds_since(start);
    done = true;
    pest.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(-2, res);
    EXPECT_GE(took, 1.95);
    EXPECT_LT(took, 3.0);
    wpa_ctrl_close(c);
}

TEST_F(WpaCtrl, SupplicantThatStopsReadingCannotHangTheSender)
{
    server_->pause(true);
    wpa_ctrl_conn *c = open();
    // Fill the supplicant's receive queue.
    const std::string filler(512, 'f');
    while (send(wpa_ctrl_get_fd(c), filler.data(), filler.size(), MSG_DONTWAIT) >= 0) {
    }
    const auto start = Clock::now();
    EXPECT_EQ(-2, request(c, "PING").result);
    EXPECT_LT(seconds_since(start), 3.0);
    wpa_ctrl_close(c);
    server_->pause(false);
}

TEST_F(WpaCtrl, AttachAndDetachAcceptOnlyOk)
{
    wpa_ctrl_conn *c = open();
    EXPECT_EQ(0, wpa_ctrl_attach(c));
    EXPECT_EQ(1, server_->attached());
    EXPECT_EQ(0, wpa_ctrl_detach(c));
    EXPECT_EQ(0, server_->attached());

    for (const std::string answer : {"FAIL\n", "OK", "OK\n\n", "ok\n", ""}) {
        server_->script([&](const std::string &, auto send) { send(answer); });
        EXPECT_EQ(-1, wpa_ctrl_attach(c)) << answer;
        EXPECT_EQ(-1, wpa_ctrl_detach(c)) << answer;
    }
    // An event ahead of the "OK\n" is dropped, not taken for the answer.
    server_->script([](const std::string &, auto send) {
        send("<2>Control interface command 'ATTACH'");
        send("OK\n");
    });
    EXPECT_EQ(0, wpa_ctrl_attach(c));
    server_->script([](const std::string &, auto) {});
    EXPECT_EQ(-2, wpa_ctrl_attach(c));
    wpa_ctrl_close(c);
}

TEST_F(WpaCtrl, ReceiveAndPendingSeeUnsolicitedMessages)
{
    wpa_ctrl_conn *c = open();
    ASSERT_EQ(0, wpa_ctrl_attach(c));
    EXPECT_EQ(0, wpa_ctrl_pending(c));
    server_->push("<3>CTRL-EVENT-CONNECTED");
    for (int i = 0; i < 200 && wpa_ctrl_pending(c) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(1, wpa_ctrl_pending(c));
    char buf[8];
    size_t len = sizeof(buf);
    ASSERT_EQ(0, wpa_ctrl_recv(c, buf, &len));
    EXPECT_EQ("<3>CTRL-", std::string(buf, len)); // cut to the buffer, not terminated
    EXPECT_EQ(0, wpa_ctrl_pending(c));
    wpa_ctrl_close(c);
}

} // namespace
