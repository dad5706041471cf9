// The control client against the real supplicant daemon (Debian's
// wpasupplicant), run as a server on the loopback interface with its
// "none" driver.
#include "fake_supplicant.h"
#include "wpa_ctrl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace
{

class RealSupplicant : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        fds_ = open_descriptors();
        const std::string conf = dir_.path("wpa.conf");
        std::ofstream(conf) << "ctrl_interface=" << dir_.path("ctrl") << "\n";
        const std::string pidfile = dir_.path("wpa.pid");
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            execlp("wpa_supplicant", "wpa_supplicant", "-q", "-i", "lo", "-D", "none", "-c", conf.c_str(),
                   "-B", "-P", pidfile.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wpa_supplicant did not start";
        socket_ = dir_.path("ctrl/lo");
        for (int i = 0; i < 2000 && (access(socket_.c_str(), F_OK) != 0 || daemon_ <= 0); ++i) {
            std::ifstream(pidfile) >> daemon_;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_GT(daemon_, 0);
        ASSERT_EQ(0, access(socket_.c_str(), F_OK));
    }
    void TearDown() override
    {
        if (daemon_ > 0) {
            kill(daemon_, SIGTERM);
            for (int i = 0; i < 2000 && kill(daemon_, 0) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        EXPECT_EQ(fds_, open_descriptors());
        EXPECT_EQ(0, local_socket_files());
    }

    TempDir dir_;
    std::string socket_;
    pid_t daemon_ = 0;
    int fds_ = 0;
};

std::vector<std::string> events;
void collect(char *msg, size_t len)
{
    events.emplace_back(msg, len);
}

std::string request(wpa_ctrl_conn *c, const std::string &cmd, int *result, size_t buffer = 2047,
                    void (*cb)(char *, size_t) = nullptr)
{
    std::vector<char> reply(buffer);
    size_t len = buffer;
    *result = wpa_ctrl_request(c, cmd.data(), cmd.size(), reply.data(), &len, cb);
    return *result == 0 ? std::string(reply.data(), len) : std::string();
}

TEST_F(RealSupplicant, PingLongReplyAndUnknownCommand)
{
    wpa_ctrl_conn *c = wpa_ctrl_open(socket_.c_str());
    ASSERT_NE(nullptr, c);
    int res = -9;
    EXPECT_EQ("PONG\n", request(c, "PING", &res));
    EXPECT_EQ(0, res);
    const std::string dump = request(c, "DUMP", &res);
    EXPECT_EQ(0, res);
    EXPECT_EQ(2047u, dump.size()) << "the daemon's DUMP is longer than 2047 bytes";
    EXPECT_EQ(0u, dump.rfind("ctrl_interface=" + dir_.path("ctrl") + "\n", 0));
    EXPECT_EQ("UNKNOWN COMMAND\n", request(c, "NO-SUCH-COMMAND", &res));
    wpa_ctrl_close(c);
}

TEST_F(RealSupplicant, RaisedEventLevelPutsEventsAheadOfReplies)
{
    wpa_ctrl_conn *c = wpa_ctrl_open(socket_.c_str());
    ASSERT_NE(nullptr, c);
    ASSERT_EQ(0, wpa_ctrl_attach(c));
    int res = -9;
    ASSERT_EQ("OK\n", request(c, "LEVEL 2", &res));
    events.clear();
    EXPECT_EQ("OK\n", request(c, "SCAN", &res, 2047, collect));
    ASSERT_FALSE(events.empty()) << "no debug message came ahead of the reply";
    EXPECT_EQ("<2>Control interface command 'SCAN'", events.front());
    // The scan's own events follow; a plain receive gets them.
    bool scan_event = false;
    for (int i = 0; i < 100 && !scan_event; ++i) {
        if (wpa_ctrl_pending(c) == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        char buf[256];
        size_t len = sizeof(buf) - 1;
        ASSERT_EQ(0, wpa_ctrl_recv(c, buf, &len));
        scan_event = std::string(buf, len).rfind("<3>CTRL-EVENT-SCAN-", 0) == 0;
    }
    EXPECT_TRUE(scan_event);
    // Debug messages ahead of "OK\n" do not spoil the detach.
    EXPECT_EQ(0, wpa_ctrl_detach(c));
    wpa_ctrl_close(c);
}

} // namespace
