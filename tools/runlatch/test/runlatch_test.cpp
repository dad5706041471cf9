// runlatch with stand-ins for a self-daemonising program and for the
// supervisor's "msvc", both shell scripts that record what they were given.
#include "program.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;
using boardtest::Launch;
using boardtest::Program;

class Runlatch : public testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        ASSERT_EQ(mkdir(empty.c_str(), 0755), 0);
        // The supervisor's control program: its pid (runlatch's, if it was
        // replaced), its arguments, whether PATH reached it; exits 7.
        msvc(bin);
        // A daemon that records how it was started, forks, and lets its
        // background half write the pid file (content: the file "content")
        // after DAEMON_DELAY seconds, while the foreground half returns.
        boardtest::write_file(daemon,
                              "#!/bin/sh\n"
                              "printf '%s\\n' \"$0\" \"$@\" \"$DAEMON_MARK\" > " +
                                  dir.file("daemon.args") +
                                  "\n"
                                  "( /bin/sleep ${DAEMON_DELAY:-0}; /bin/cat " +
                                  dir.file("content") + " > \"$1\" ) </dev/null >/dev/null 2>&1 &\n",
                              0755);
    }

    void msvc(const std::string &where)
    {
        boardtest::write_file(where + "/msvc",
                              "#!/bin/sh\n"
                              // builtins only: a shell that waits for a child of its own would
                              // reap runlatch's orphan as well
                              "export -p > " +
                                  record +
                                  ".env\n"
                                  "read up rest < /proc/uptime; echo \"$up\" > " +
                                  record +
                                  ".time\n"
                                  "{ echo \"$$\"; for a in \"$@\"; do echo \"[$a]\"; done; } > " +
                                  record + "\nexit 7\n",
                              0755);
    }

    std::unique_ptr<Program> start(std::vector<std::string> args, std::vector<std::string> env = {})
    {
        Launch l{RUNLATCH, std::move(args)};
        l.set_env = env; // before the defaults: the first of a name counts
        for (const std::string &d :
             {"PATH=" + bin + ":/bin:/usr/bin", std::string("DAEMON_MARK=inherited")}) {
            bool given = false;
            for (const std::string &e : env) {
                given = given || e.compare(0, e.find('='), d.substr(0, d.find('='))) == 0;
            }
            if (!given) {
                l.set_env.push_back(d);
            }
        }
        l.unset_env = {"DAEMON_DELAY"};
        return std::make_unique<Program>(l, dir.path());
    }

    // Runs runlatch to its end; the exit status.
    int finish(Program &p, std::chrono::milliseconds limit = 10s)
    {
        int status = -2;
        EXPECT_TRUE(p.wait_exit(&status, limit)) << p.out() << p.err();
        return status;
    }

    static double uptime() { return std::stod(boardtest::read_file("/proc/uptime")); }

    // What msvc was given: its pid, then the arguments.
    std::string reported() { return boardtest::read_file(record); }

    boardtest::TempDir dir;
    const std::string bin = dir.file("bin");
    const std::string empty = dir.file("empty");
    const std::string daemon = dir.file("daemon.sh");
    const std::string pidfile = dir.file("daemon.pid");
    const std::string record = dir.file("msvc.record");
};

TEST_F(Runlatch, FewerThanTwoArgumentsPrintUsage)
{
    for (const std::vector<std::string> &args : {std::vector<std::string>{}, {"svc"}}) {
        auto p = start(args);
        EXPECT_EQ(finish(*p), 0);
        EXPECT_EQ(p->out(), "usage: runlatch service /var/run/daemon.pid /usr/sbin/daemon args...\n");
        EXPECT_EQ(p->err(), "");
    }
    EXPECT_EQ(reported(), "");
}

TEST_F(Runlatch, StalePidFileIsRemovedAndTheDaemonsPidReported)
{
    boardtest::write_file(pidfile, "999\n"); // left by the last run
    boardtest::write_file(dir.file("content"), "4242\n");
    auto p = start({"svc", pidfile, daemon, pidfile, "-x", "two words"});
    const pid_t pid = p->pid();
    EXPECT_EQ(finish(*p), 7); // msvc's status: it replaced runlatch
    EXPECT_EQ(reported(), std::to_string(pid) + "\n[-P4242]\n[svc]\n");
    EXPECT_NE(boardtest::read_file(record + ".env").find("export PATH='" + bin + ":/bin:/usr/bin'"),
              std::string::npos);
    EXPECT_EQ(boardtest::read_file(dir.file("daemon.args")),
              daemon + "\n" + pidfile + "\n-x\ntwo words\ninherited\n");
    EXPECT_EQ(p->out(), "");
    EXPECT_EQ(p->err(), "");
}

TEST_F(Runlatch, PidTextIsPassedAsRead)
{
    const std::string digits98(98, '7');
    struct Case {
        std::string content, argument;
    };
    const std::vector<Case> cases = {
        {"4242", "-P4242"},                                                  // no line end
        {digits98 + "12345\n", "-P" + digits98},                             // only the first 98 octets
        {std::string(97, '1') + "\n" + "junk", "-P" + std::string(97, '1')}, // line end as 98th octet
        {"  31\n", "-P  31"}, // leading blanks: still a number for msvc
        {"17\n\n", "-P17\n"}, // only one line end dropped
    };
    for (const Case &c : cases) {
        boardtest::write_file(dir.file("content"), c.content);
        boardtest::write_file(record, "");
        auto p = start({"svc", pidfile, daemon, pidfile});
        const pid_t pid = p->pid();
        EXPECT_EQ(finish(*p), 7);
        EXPECT_EQ(reported(), std::to_string(pid) + "\n[" + c.argument + "]\n[svc]\n");
    }
}

TEST_F(Runlatch, ALatePidFileIsReportedAtTheAttemptAfterIt)
{
    // Written 1.3 s after the start: attempts at 0 s and 1 s find nothing,
    // the third, at 2 s, finds it. msvc notes when it started (the boot
    // clock, in hundredths), so its own start-up does not count.
    boardtest::write_file(dir.file("content"), "555\n");
    const double t0 = uptime();
    auto p = start({"svc", pidfile, daemon, pidfile}, {"DAEMON_DELAY=1.3"});
    EXPECT_EQ(finish(*p), 7);
    const double informed = std::stod(boardtest::read_file(record + ".time")) - t0;
    EXPECT_GE(informed, 1.99);
    EXPECT_LT(informed, 3.0);
    EXPECT_NE(reported().find("[-P555]\n[svc]\n"), std::string::npos) << reported();
}

TEST_F(Runlatch, WithoutMsvcTheFailureIsPrintedAndStatusIsZero)
{
    boardtest::write_file(dir.file("content"), "4242\n");
    auto p = start({"svc", pidfile, daemon, pidfile}, {"PATH=" + empty});
    EXPECT_EQ(finish(*p), 0);
    EXPECT_EQ(p->err(), "execvp failed: No such file or directory\n");
    EXPECT_EQ(reported(), "");
}

TEST_F(Runlatch, WithoutPathMsvcIsNotTakenFromTheCurrentDirectory)
{
    // Only /bin and /usr/bin are searched (neither holds an msvc here).
    msvc(empty);
    boardtest::write_file(dir.file("content"), "4242\n");
    Launch l{RUNLATCH, {"svc", pidfile, daemon, pidfile}};
    l.unset_env = {"PATH", "DAEMON_DELAY"};
    l.cwd = empty;
    l.wrapper = {"/usr/bin/env"}; // qemu-arm is found through our PATH before it is dropped
    if (boardtest::on_target()) {
        l.wrapper.push_back("-u");
        l.wrapper.push_back("PATH");
        l.unset_env = {"DAEMON_DELAY"};
    }
    Program p(l, dir.path());
    EXPECT_EQ(finish(p), 0);
    EXPECT_EQ(p.err(), "execvp failed: No such file or directory\n");
    EXPECT_EQ(reported(), "");
}

TEST_F(Runlatch, APidFileWithoutANumberIsNotPassedOn)
{
    // Shown escaped, at most 24 octets of it.
    struct Case {
        std::string content, shown;
    };
    const std::vector<Case> cases = {
        {"garbage\n", "garbage"},
        {"\n", ""},
        {"0\n", "0"},
        {"-5\n", "-5"},
        {"000", "000"},
        {std::string("\x1b[2J\"\\\t\r\n\0x", 11), "\\x1B[2J\\\"\\\\\\t\\r\\n\\x00x"},
        {std::string(30, 'z') + "\n", std::string(24, 'z') + "..."},
    };
    for (const Case &c : cases) {
        boardtest::write_file(dir.file("content"), c.content);
        auto p = start({"svc", pidfile, daemon, pidfile});
        EXPECT_EQ(finish(*p), 0);
        EXPECT_EQ(p->err(), "pid file " + pidfile + " holds no process id: \"" + c.shown + "\"\n");
        EXPECT_EQ(reported(), "");
    }
}

// Something other than a regular file at the pid file's name (planted after
// runlatch removed the stale one) is not read: no wait on a FIFO, no link
// followed. The attempts go on, and a real pid file is still taken.
TEST_F(Runlatch, OnlyARegularPidFileIsRead)
{
    boardtest::write_file(dir.file("secret"), "31337 secret\n");
    const std::vector<std::function<int()>> plant = {
        [&] { return mkfifo(pidfile.c_str(), 0600); },
        [&] { return symlink(dir.file("secret").c_str(), pidfile.c_str()); },
        [&] { return mkdir(pidfile.c_str(), 0700); },
    };
    for (size_t i = 0; i < plant.size(); ++i) {
        SCOPED_TRACE(i);
        boardtest::write_file(record, "");
        auto p = start({"svc", pidfile});
        ASSERT_TRUE(p->wait_err("execvp failed: No such file or directory\n", 10s)) << p->err();
        ASSERT_EQ(plant[i](), 0);
        ASSERT_TRUE(p->wait_err("pid file " + pidfile + " is not a regular file\n", 5s)) << p->err();
        std::this_thread::sleep_for(1200ms); // one more attempt
        EXPECT_TRUE(p->running());
        boardtest::write_file(dir.file("good"), "4242\n");
        ASSERT_EQ(rename(dir.file("good").c_str(), pidfile.c_str()) == 0 ||
                      (rmdir(pidfile.c_str()) == 0 && rename(dir.file("good").c_str(), pidfile.c_str()) == 0),
                  true);
        EXPECT_EQ(finish(*p), 7);
        EXPECT_NE(reported().find("\n[-P4242]\n[svc]\n"), std::string::npos) << reported();
        EXPECT_EQ(p->err().find("secret"), std::string::npos);
        unlink(pidfile.c_str());
    }
}

TEST_F(Runlatch, APidFileThatCannotBeRemovedStopsBeforeTheDaemon)
{
    ASSERT_EQ(mkdir(pidfile.c_str(), 0755), 0);
    auto p = start({"svc", pidfile, daemon, pidfile});
    EXPECT_EQ(finish(*p), 1);
    EXPECT_EQ(p->err(), "could not remove pid file: Is a directory\n");
    EXPECT_EQ(boardtest::read_file(dir.file("daemon.args")), "");

    boardtest::write_file(dir.file("plain"), "");
    auto q = start({"svc", dir.file("plain/daemon.pid"), daemon});
    EXPECT_EQ(finish(*q), 1);
    EXPECT_EQ(q->err(), "could not remove pid file: Not a directory\n");
}

// The child that could not start the daemon is never waited for: its
// status is seen by tracing runlatch's processes.
TEST_F(Runlatch, ADaemonThatCannotBeStartedEndsTheChildWithThree)
{
    // No program at all, and a bare name that is not looked up on PATH
    // (PATH has daemon.sh).
    ASSERT_EQ(symlink(daemon.c_str(), (bin + "/daemon.sh").c_str()), 0);
    const std::string trace = dir.file("trace");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"svc", pidfile}, {"svc", pidfile, "daemon.sh", pidfile}}) {
        boardtest::write_file(record, "");
        Launch l{RUNLATCH, args};
        l.set_env = {"PATH=" + bin + ":/bin:/usr/bin"};
        l.wrapper = {"strace", "-f", "-q", "-e", "trace=none", "-o", trace};
        Program p(l, dir.path());
        ASSERT_TRUE(p.wait_err("execvp failed: No such file or directory\n", 10s)) << p.err();
        // The parent still waits for the pid file.
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(p.running());
        boardtest::write_file(pidfile, "31337\n");
        EXPECT_EQ(finish(p), 7);
        EXPECT_NE(reported().find("\n[-P31337]\n[svc]\n"), std::string::npos) << reported();
        EXPECT_EQ(boardtest::read_file(dir.file("daemon.args")), "");
        const std::string exits = boardtest::read_file(trace);
        EXPECT_NE(exits.find("+++ exited with 3 +++"), std::string::npos) << exits;
        EXPECT_NE(exits.find("+++ exited with 7 +++"), std::string::npos) << exits;
    }
}

TEST(StaticLink, RunlatchHasNoInterpreterAndNoDynamicSection)
{
    boardtest::expect_static(RUNLATCH);
}

} // namespace
