// The real iomxprobe against the stand-in service: both of its processes,
// the exact dump format, and what the service received.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "iomultiplex.h"
#include "vboard/testing.h"

extern char **environ;

namespace
{

using namespace std::chrono_literals;
using vboard::testing::TestBoard;

// iomxprobe with a pipe on each of its standard streams, in a process group
// of its own (its command sender is a child of its own).
class Probe
{
  public:
    explicit Probe(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv;
        std::istringstream emulator(IOMX_EMULATOR);
        for (std::string w; emulator >> w;) {
            argv.push_back(w);
        }
        argv.push_back(IOMX_PROBE);
        argv.insert(argv.end(), args.begin(), args.end());
        int in[2], out_pipe[2], err_pipe[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe");
        }
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
        posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
        posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        std::vector<char *> a;
        for (auto &s : argv) {
            a.push_back(s.data());
        }
        a.push_back(nullptr);
        const int rc = posix_spawnp(&pid_, a[0], &fa, &attr, a.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        posix_spawnattr_destroy(&attr);
        close(in[0]);
        close(out_pipe[1]);
        close(err_pipe[1]);
        if (rc != 0) {
            throw std::runtime_error(std::string("spawn: ") + std::strerror(rc));
        }
        in_ = in[1];
        out_ = out_pipe[0];
        err_ = err_pipe[0];
    }
    ~Probe()
    {
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {in_, out_, err_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    void type(const std::string &text) const
    {
        ASSERT_EQ(write(in_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void end_input()
    {
        close(in_);
        in_ = -1;
    }
    // Collects output until `text` is in it (true) or the limit passes.
    bool wait_for(const std::string &text, std::chrono::milliseconds limit = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (out.find(text) == std::string::npos) {
            if (std::chrono::steady_clock::now() >= deadline || !pump(deadline)) {
                return out.find(text) != std::string::npos;
            }
        }
        return true;
    }
    // Collects everything until both processes closed their output, then the
    // exit status of the probe (-1: still running at the limit).
    int finish(std::chrono::milliseconds limit = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while ((out_ >= 0 || err_ >= 0) && pump(deadline)) {
        }
        if (out_ >= 0 || err_ >= 0) {
            return -1;
        }
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::string out, err;

  private:
    bool pump(std::chrono::steady_clock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        int *fd[2] = {&out_, &err_};
        std::string *sink[2] = {&out, &err};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP)) {
                char buf[4096];
                const ssize_t n = read(*fd[i], buf, sizeof(buf));
                if (n > 0) {
                    sink[i]->append(buf, static_cast<size_t>(n));
                } else {
                    close(*fd[i]);
                    *fd[i] = -1;
                }
            }
        }
        return true;
    }
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1, err_ = -1;
};

std::string dump(const std::string &stamp, const std::string &label, const std::string &data)
{
    return stamp + ": " + label + " with " + std::to_string(data.size()) + " bytes:\n-------\n" + data +
           "-------\n";
}

class IomxProbe : public ::testing::Test
{
  protected:
    void start(const std::vector<std::string> &args = {})
    {
        board.emulator("iomx", args);
        dir = board.root() + "/iomx";
    }
    void TearDown() override
    {
        if (!dir.empty()) {
            EXPECT_EQ(ctl({"violations"}), "");
        }
    }
    std::string ctl(const std::vector<std::string> &words) const
    {
        const vboard::ControlReply r = board.ctl("iomx", words);
        EXPECT_EQ(r.status, 0) << r.text;
        return r.text;
    }
    bool wait_clients(int event, int command)
    {
        const std::string want = "event listening=1 clients=" + std::to_string(event);
        const std::string want_cmd = "command listening=1 clients=" + std::to_string(command);
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            const std::string s = ctl({"show"});
            if (s.find(want) != std::string::npos && s.find(want_cmd) != std::string::npos) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
    TestBoard board;
    std::string dir;
};

TEST_F(IomxProbe, SendsEachLineWithOneCrLfAndDumpsTheResults)
{
    start();
    ctl({"answer", "cmd=status", "sec=5", "usec=42", "seq=7", "data=abc"});
    Probe probe({dir});
    ASSERT_TRUE(wait_clients(1, 1));
    probe.type("abcdef\n");
    ASSERT_TRUE(probe.wait_for("abcdef-------\n")) << probe.out;
    probe.type("\nstatus\r\n");
    ASSERT_TRUE(probe.wait_for("abc-------\n")) << probe.out;
    EXPECT_EQ(ctl({"commands"}), "abcdef\\r\\n\n\\r\\n\nstatus\\r\\n\n");

    // The results are numbered by the service; their time stamps are now.
    const std::string &o = probe.out;
    ASSERT_EQ(o.find("#000000001: result with 6 bytes:\n-------\nabcdef-------\n"), 17u) << o;
    EXPECT_NE(o.find("#000000002: result with 0 bytes:\n-------\n-------\n"), std::string::npos) << o;
    EXPECT_TRUE(o.ends_with(dump("000000005.000042#000000007", "result", "abc"))) << o;

    probe.end_input(); // the sender ends; the reader waits for events
    ctl({"close", "event"});
    EXPECT_EQ(probe.finish(), 0);
    EXPECT_TRUE(probe.out.ends_with("abc-------\nerr: 104\n1) readWithTimeout return -1\n")) << probe.out;
    EXPECT_EQ(probe.err, "");
}

TEST_F(IomxProbe, DumpsEventsWithAStatusLineAfterEach)
{
    start();
    Probe probe({dir});
    ASSERT_TRUE(wait_clients(1, 1));
    // Two at once: after the first the second is already waiting.
    ctl({"event", "sec=1", "usec=2", "seq=3", "data=first\\sevent\\n"});
    ctl({"event", "sec=4294967295", "usec=999999", "seq=123456789", "data=\\x00\\x01"});
    ASSERT_TRUE(probe.wait_for("Status: [0/2] -> 0")) << probe.out;
    EXPECT_EQ(probe.out, dump("000000001.000002#000000003", "label", "first event\n") +
                             "Status: [0/2] -> 1, event_pending=1, cmd_rts=0, cmd_pending=0\n" +
                             dump("4294967295.999999#123456789", "label", std::string("\0\1", 2)) +
                             "Status: [0/2] -> 0, event_pending=0, cmd_rts=0, cmd_pending=0\n");
    probe.end_input();
    ctl({"close", "event"});
    EXPECT_EQ(probe.finish(), 0);
}

// Records written in pieces of 3 octets and 1 octet: the same dumps.
TEST_F(IomxProbe, RecordsSplitAcrossManyWritesDumpTheSame)
{
    start();
    ctl({"fault", "command", "split=1"});
    ctl({"fault", "event", "split=3"});
    ctl({"answer", "sec=10", "usec=20", "seq=30", "data=done"});
    Probe probe({dir});
    ASSERT_TRUE(wait_clients(1, 1));
    probe.type("go\n");
    ASSERT_TRUE(probe.wait_for("done-------\n")) << probe.out;
    ctl({"event", "sec=7", "usec=8", "seq=9", "data=split\\sacross\\swrites"});
    ASSERT_TRUE(probe.wait_for("writes-------\n")) << probe.out;
    probe.end_input();
    ctl({"close", "all"});
    EXPECT_EQ(probe.finish(), 0);
    EXPECT_EQ(probe.out, dump("000000010.000020#000000030", "result", "done") +
                             dump("000000007.000008#000000009", "label", "split across writes") +
                             "Status: [0/1] -> 0, event_pending=0, cmd_rts=0, cmd_pending=0\n"
                             "err: 104\n1) readWithTimeout return -1\n");
}

// 4000 ms without a result: the sender gives up on that command and goes on.
TEST_F(IomxProbe, SilentServiceTimesOutAfterFourSeconds)
{
    start();
    ctl({"answer", "cmd=quiet", "silent"});
    Probe probe({dir});
    ASSERT_TRUE(wait_clients(1, 1));
    const auto t0 = std::chrono::steady_clock::now();
    probe.type("quiet\nnext\n");
    ASSERT_TRUE(probe.wait_for("next-------\n")) << probe.out;
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 3900ms);
    EXPECT_TRUE(probe.out.starts_with("err: 4\n1) readWithTimeout return -1\n")) << probe.out;
    probe.end_input();
    ctl({"close", "event"});
    EXPECT_EQ(probe.finish(), 0);
}

TEST_F(IomxProbe, ServiceClosingInsideARecordEndsTheReader)
{
    start();
    ctl({"fault", "event", "cut=20"});
    Probe probe({dir});
    ASSERT_TRUE(wait_clients(1, 1));
    ctl({"event", "data=never\\swhole"});
    ASSERT_TRUE(probe.wait_for("2) readWithTimeout return -1\n")) << probe.out;
    EXPECT_EQ(probe.out, "err: 104\n2) readWithTimeout return -1\n");
    probe.end_input();
    EXPECT_EQ(probe.finish(), 0);
}

TEST_F(IomxProbe, ImpossibleLengthIsRefused)
{
    start();
    ctl({"fault", "command", "partial=16"});
    ctl({"answer", "len=4294967295", "data=x"});
    Probe probe({dir});
    ASSERT_TRUE(wait_clients(1, 1));
    probe.type("huge\n");
    ASSERT_TRUE(probe.wait_for("exceeds 1048576\n")) << probe.out;
    EXPECT_EQ(probe.out, "1) data_len 4294967295 exceeds 1048576\n");
    probe.end_input();
    ctl({"close", "event"});
    EXPECT_EQ(probe.finish(), 0);
}

TEST_F(IomxProbe, MissingSocketOrTooLongPathIsSaid)
{
    start({"--without", "command"});
    {
        Probe probe({dir});
        probe.type("x\n");
        probe.end_input();
        EXPECT_EQ(probe.finish(), 0);
        EXPECT_EQ(probe.err, "iomx_open(): " + dir + ": No such file or directory\n");
        EXPECT_EQ(probe.out, "fd_event is -1\n");
    }
    {
        const std::string long_dir = "/" + std::string(101, 'd');
        Probe probe({long_dir});
        probe.end_input();
        EXPECT_EQ(probe.finish(), 0);
        EXPECT_EQ(probe.err, "iomx_open(): " + long_dir + ": File name too long\n");
        EXPECT_EQ(probe.out, "fd_event is -1\n");
    }
    {
        Probe probe({});
        EXPECT_EQ(probe.finish(), 2);
        EXPECT_EQ(probe.err, "usage: iomxprobe <directory>\n");
    }
    // The event connection of the first probe came and went.
    EXPECT_TRUE(ctl({"show"}).starts_with("event listening=1 clients=0 accepted=1 records=0\n"));
}

// The library against the stand-in: a dropped connection, then a new one.
TEST_F(IomxProbe, LibraryReconnectsAfterTheServiceDroppedIt)
{
    start();
    IOMultiplex *iomx = iomx_new(dir.c_str());
    ASSERT_EQ(iomx_open(iomx), 0);
    iomx->timeout_cmd = 2000;
    IOMXEvent *r = iomx_sendCommand(iomx, "one\r\n", 5);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(r->data), r->data_len), "one");
    free(r);
    ctl({"close", "all"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(iomx_readEvent(iomx), nullptr);
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "err: 104\n1) readWithTimeout return -1\n");
    EXPECT_EQ(iomx_close(iomx), 0);
    ASSERT_EQ(iomx_open(iomx), 0);
    r = iomx_sendCommand(iomx, "two\r\n", 5);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->seqnr, 2u);
    free(r);
    IOMXStatus st;
    ctl({"event", "data=e"});
    EXPECT_EQ(iomx_wait(iomx, IOMX_WAIT_EVENT | IOMX_WAIT_CMD_READ, &st, 5000), 1);
    EXPECT_TRUE(st.event_pending);
    EXPECT_FALSE(st.cmd_pending);
    iomx_free(iomx);
    EXPECT_EQ(ctl({"show"}), "event listening=1 clients=0 accepted=2 records=1\n"
                             "command listening=1 clients=0 accepted=2 records=2\n"
                             "commands=2 violations=0\n");
}

// The stand-in's own record of what a client does wrong.
TEST_F(IomxProbe, StandInRecordsClientViolations)
{
    start();
    IOMultiplex *iomx = iomx_new(dir.c_str());
    ASSERT_EQ(iomx_open(iomx), 0);
    ASSERT_EQ(write(iomx->fd_event, "hi", 2), 2);
    ASSERT_EQ(iomx_sendCommandAsync(iomx, "a\nb\r\nhalf", 9), 0);
    ASSERT_TRUE(wait_clients(1, 1));
    iomx_free(iomx);
    ASSERT_TRUE(wait_clients(0, 0));
    EXPECT_EQ(ctl({"violations"}), "event: client sent 2 octets: hi\n"
                                   "command: bare CR or LF inside a command: a\\nb\n"
                                   "command: connection closed inside a command: half\n");
    ctl({"reset"});
}

} // namespace
