// The real portweaver on the virtual board, against the simulated Telit
// modem on /dev/ttySA0 and the emulated /dev/cmux with its channel ports.
// The daemon's 60 s and 5 s waits are shortened a hundredfold by a test
// preload (timescale.cpp); everything else runs at its real pace.
#include "vboard/testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using namespace std::chrono_literals;
using vboard::RunResult;
using vboard::testing::TestBoard;

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool wait_for(const std::function<bool()> &cond, std::chrono::milliseconds limit = 20s)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

vboard::Target daemon_target()
{
    vboard::Target t = vboard::testing::this_target();
    if (t.armel)
        t.armel_preload = std::string(PORTWEAVER_TIMESCALE) + ":" + t.armel_preload;
    else
        t.preload = std::string(PORTWEAVER_TIMESCALE) + ":" + t.preload;
    return t;
}

struct Daemon : testing::Test {
    TestBoard board;
    std::thread runner;
    RunResult result;
    bool finished = false;

    void TearDown() override
    {
        // Whatever the case, the daemon broke no rule of the modem's.
        auto v = board.ctl("modem", {"violations"});
        if (v.status == 0) {
            EXPECT_EQ(v.text, "") << "protocol violations seen by the modem";
        }
        pid_t pid = find_pid();
        if (pid > 0)
            kill(pid, SIGKILL);
        if (runner.joinable())
            runner.join();
        if (HasFailure())
            std::cerr << "daemon's log:\n" << result.out;
    }
    void modem(const std::vector<std::string> &args = {}) { board.emulator("modem", args); }
    void cmux(const std::vector<std::string> &args = {}) { board.emulator("cmux", args); }
    RunResult run(const std::vector<std::string> &args, std::chrono::milliseconds limit = 30s)
    {
        std::vector<std::string> argv = {vboard::testing::program_dir() + "/portweaver"};
        argv.insert(argv.end(), args.begin(), args.end());
        return board.Board::run(argv, daemon_target(), limit, true);
    }
    void start(const std::vector<std::string> &args = {}, std::chrono::milliseconds limit = 60s)
    {
        runner = std::thread([this, args, limit] {
            result = run(args, limit);
            finished = true;
        });
    }
    bool ended(std::chrono::milliseconds limit = 30s)
    {
        if (!wait_for([this] { return finished; }, limit))
            return false;
        runner.join();
        return true;
    }
    // The daemon's process on this board (the qemu process on the target).
    pid_t find_pid() const
    {
        DIR *d = opendir("/proc");
        if (!d)
            return -1;
        pid_t found = -1;
        std::string want = "VBOARD_ROOT=" + board.root();
        while (dirent *e = readdir(d)) {
            pid_t pid = atoi(e->d_name);
            if (pid <= 0 || pid == getpid())
                continue;
            std::string dir = std::string("/proc/") + e->d_name;
            std::string cmd = read_file(dir + "/cmdline");
            if (cmd.find("/portweaver") == std::string::npos || cmd.find("port_client") != std::string::npos)
                continue;
            std::string env = read_file(dir + "/environ");
            std::string state = read_file(dir + "/stat");
            size_t paren = state.rfind(')');
            bool zombie = paren != std::string::npos && paren + 2 < state.size() && state[paren + 2] == 'Z';
            if (!zombie &&
                (env.find(want + '\0') != std::string::npos || cmd.find(want) != std::string::npos))
                found = pid;
        }
        closedir(d);
        return found;
    }
    char process_state(pid_t pid) const
    {
        std::string s = read_file("/proc/" + std::to_string(pid) + "/stat");
        size_t paren = s.rfind(')');
        return paren != std::string::npos && paren + 2 < s.size() ? s[paren + 2] : '?';
    }
    bool modem_has(const std::string &text) const { return board.ctl("modem", {"has", text}).status == 0; }
    bool cmux_has(const std::string &text) const { return board.ctl("cmux", {"has", text}).status == 0; }
    bool wait_modem(const std::string &text, std::chrono::milliseconds limit = 20s)
    {
        return wait_for([&] { return modem_has(text); }, limit);
    }
    bool wait_cmux(const std::string &text, std::chrono::milliseconds limit = 20s)
    {
        return wait_for([&] { return cmux_has(text); }, limit);
    }
    RunResult client(const std::vector<std::string> &words, std::chrono::milliseconds limit = 60s)
    {
        std::vector<std::string> argv = {vboard::testing::host_program_dir() + "/portweaver_port_client"};
        argv.insert(argv.end(), words.begin(), words.end());
        return board.run_host(argv, limit);
    }
    // Starts the whole set with a running, multiplexing daemon.
    void up(const std::vector<std::string> &modem_args = {}, const std::vector<std::string> &cmux_args = {},
            const std::vector<std::string> &daemon_args = {})
    {
        modem(modem_args);
        cmux(cmux_args);
        start(daemon_args);
        bool multiplexing = wait_modem("sabm 0");
        if (!multiplexing && finished)
            ended();
        ASSERT_TRUE(multiplexing) << board.ctl("modem", {"events"}).text << (finished ? result.out : "");
    }
    // All four channels echo `octets` through the modem at once (pattern
    // seeds seed..seed+3); every client must end with "ok".
    void echo_on_every_port(size_t octets, int seed)
    {
        std::vector<std::thread> clients;
        RunResult results[4];
        for (int p = 0; p < 4; ++p)
            clients.emplace_back([&, p] {
                results[p] = client({"open", std::to_string(p), "echo", std::to_string(octets), std::to_string(p + seed)});
            });
        for (auto &t : clients)
            t.join();
        for (int p = 0; p < 4; ++p) {
            EXPECT_EQ(results[p].exit_code, 0) << p << ": " << results[p].err;
            EXPECT_EQ(results[p].out, "ok\n");
        }
    }
    std::string events(const std::string &emulator) const { return board.ctl(emulator, {"events"}).text; }
    // A signal to this board's daemon only: kill(-1, ...) would reach every
    // process of the user.
    void signal_daemon(int sig) const
    {
        pid_t pid = find_pid();
        if (pid > 0)
            kill(pid, sig);
        else
            ADD_FAILURE() << "no daemon to signal";
    }
};

TEST_F(Daemon, CommandLine)
{
    RunResult r = run({"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "Usage:\n  portweaver [--daemon fg|bg|stop] [--user <username>] [--script <script>]\n");
    r = run({"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "portweaver daemon version 0.1\n");
    r = run({"--bogus"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Unsupported option; try '--help' for more information\n");
    r = run({"--daemon"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "Unsupported option; try '--help' for more information\n");
    // Refused before any device is opened (the board has none).
    r = run({"--daemon", "fg", "--daemon", "later"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "unsupport daemon mode\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(Daemon, ScriptAndMissingDevices)
{
    // (On the target the shell is this machine's, which may warn about the
    // target's preload: only the end of the error output is ours.)
    RunResult r = run({"--script", "exit 3"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.ends_with("script failed; aborting\n")) << r.err;
    std::string mark = board.root() + "/script-ran";
    r = run({"--script", "touch " + mark});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_TRUE(r.err.ends_with("open(<serport>): No such file or directory\n")) << r.err;
    struct stat st;
    EXPECT_EQ(stat(mark.c_str(), &st), 0);
    modem();
    r = run({});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "open(<mux-ctl>): No such file or directory\n");
    EXPECT_FALSE(modem_has("at ")); // nothing was said to the modem
}

TEST_F(Daemon, BringUpWithEchoAndASilentFirstAt)
{
    up({"--silent-first-at", "--echo", "on"});
    std::string ev = events("modem");
    EXPECT_NE(
        ev.find("at AT (ignored)\nat AT\nat AT+CMEE=2\nat AT+IPR=115200\nat AT#SELINT=2\nat ATE0V1&K3&D2\n"
                "at AT+CMUX=0\nmux on\nsabm 0\n"),
        std::string::npos)
        << ev;
    // The keep-alive (600 ms here) is answered, so the daemon goes on.
    EXPECT_TRUE(wait_modem("test test0"));
    std::this_thread::sleep_for(1500ms);
    EXPECT_FALSE(finished);
    signal_daemon(SIGTERM);
    ASSERT_TRUE(ended());
    EXPECT_EQ(result.signal, SIGTERM);
    EXPECT_EQ(result.err, "");
}

TEST_F(Daemon, ModemInitialisationFailures)
{
    modem({"--error", "AT#SELINT=2"});
    cmux();
    RunResult r = run({});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("modem did not answer \"AT#SELINT=2\" with OK\n"), std::string::npos) << r.out;
    EXPECT_FALSE(modem_has("mux on"));
    board.ctl("modem", {"fault", "silent"});
    r = run({});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("timeout while reading from  serport\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("modem did not answer \"AT\" with OK\n"), std::string::npos) << r.out;
}

TEST_F(Daemon, FourChannelsBothWays)
{
    // The modem answers in frames of its own size.
    up({"--split", "37"}, {"--msg-size", "512"});
    // (At 115200 baud: 16 KiB a channel take about 6 s each way.)
    echo_on_every_port(16384, 1);
    std::string st;
    wait_for([&] {
        st = board.ctl("modem", {"stats"}).text;
        for (int d = 1; d <= 4; ++d)
            if (st.find(std::to_string(d) + " closed") == std::string::npos)
                return false;
        return true;
    });
    for (int d = 1; d <= 4; ++d)
        EXPECT_NE(st.find(std::to_string(d) + " closed rx 16384 tx 16384"), std::string::npos) << st;
    EXPECT_NE(st.find("bad 0 discarded 0"), std::string::npos) << st;
    if (HasFailure()) {
        std::istringstream ev(events("modem"));
        for (std::string line; std::getline(ev, line);)
            if (line.find("bad") != std::string::npos)
                std::cerr << line << "\n";
        signal_daemon(SIGTERM);
        if (ended())
            std::cerr << result.out;
    }
}

TEST_F(Daemon, SplitSizesInBothDirections)
{
    up({"--mode", "1=sink"}, {"--msg-size", "512"});
    // 300 octets from a port go out as frames of 126, 126 and 48.
    RunResult r = client({"open", "0", "write", std::string(300, 'x'), "sleep", "300"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(wait_modem("rx 1 48"));
    // (Answers to the modem's status commands may go between the frames.)
    std::istringstream ev(events("modem"));
    std::string frames;
    for (std::string line; std::getline(ev, line);)
        if (line.starts_with("rx 1 "))
            frames += line + "\n";
    EXPECT_EQ(frames, "rx 1 126\nrx 1 126\nrx 1 48\n");
}

TEST_F(Daemon, ModemFrameSplitAtTheKernelMessageSize)
{
    up({"--mode", "2=sink"}, {"--msg-size", "72"});
    std::thread c([&] { client({"open", "1", "sleep", "3000"}); });
    ASSERT_TRUE(wait_cmux("connected 1"));
    ASSERT_EQ(board.ctl("modem", {"fill", "2", "127"}).status, 0);
    EXPECT_TRUE(wait_cmux("data 1 63"));
    std::string ev = events("cmux");
    EXPECT_NE(ev.find("data 1 64\ndata 1 63\n"), std::string::npos) << ev;
    c.join();
}

TEST_F(Daemon, ModemControlBothWays)
{
    up();
    std::thread c([&] {
        RunResult r = client({"open", "1", "sleep", "300", "bic", "dtr", "sleep", "200", "bis", "dtr",
                              "break", "sleep", "500"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
    });
    ASSERT_TRUE(wait_cmux("connected 1"));
    // DTR|RTS on kernel port 1 (DLCI 2): MSC E1 05 0B 0D; the modem keeps it.
    EXPECT_TRUE(wait_modem("msc 2 0x0d"));
    EXPECT_TRUE(wait_modem("msc 2 0x09"));
    EXPECT_TRUE(wait_modem("msc 2 0x0d break"));
    // The modem's status for DLCI 2: CTS|DCD|DSR on kernel port 1.
    ASSERT_EQ(board.ctl("modem", {"msc", "2", "8c"}).status, 0);
    EXPECT_TRUE(wait_cmux("mctrl 1 0x0b"));
    c.join();
}

TEST_F(Daemon, RefusedAndUnopenedChannels)
{
    up();
    board.ctl("modem", {"fault", "refuse"});
    RunResult r = client({"open", "2", "write", "lost", "sleep", "300", "close"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(wait_modem("sabm 3"));
    EXPECT_EQ(("\n" + events("cmux")).find("\nconnected 2\n"), std::string::npos);
    // Refused: closed at once, so the close needs no DISC.
    EXPECT_FALSE(modem_has("disc 3"));
    board.ctl("modem", {"fault", "refuse", "off"});
    // The channel is closed again: a new open works end to end.
    r = client({"open", "2", "echo", "1000", "7"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(Daemon, GarbageAndBadFramesDoNotStopTheRelay)
{
    up();
    std::thread c([&] {
        RunResult r = client({"open", "0", "expect", "after", "sleep", "200"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
    });
    ASSERT_TRUE(wait_cmux("connected 0"));
    board.ctl("modem", {"raw", "00414243f9f9"});
    board.ctl("modem", {"fault", "bad-fcs", "1"});
    board.ctl("modem", {"send", "1", "lost"});
    board.ctl("modem", {"oversize"});
    board.ctl("modem", {"fault", "bad-flag", "1"});
    board.ctl("modem", {"send", "1", "lost"});
    board.ctl("modem", {"send", "1", "after"});
    c.join();
}

TEST_F(Daemon, APauseInsideAFrameLosesNothing)
{
    // A modem busy elsewhere stops in the middle of a frame: the daemon
    // waits for the rest. A rest that comes too late costs that frame only.
    up();
    std::thread c([&] {
        RunResult r = client({"open", "0", "expect", "whole", "expect", "after", "sleep", "200"});
        EXPECT_EQ(r.exit_code, 0) << r.err;
    });
    ASSERT_TRUE(wait_cmux("connected 0"));
    board.ctl("modem", {"pause", "400"});
    board.ctl("modem", {"send", "1", "whole"});
    std::this_thread::sleep_for(600ms);
    // Meanwhile the other channels are served at once.
    std::thread c2([&] { client({"open", "1", "sleep", "300", "write", "ping", "sleep", "200"}); });
    ASSERT_TRUE(wait_cmux("connected 1"));
    auto begin = std::chrono::steady_clock::now();
    board.ctl("modem", {"pause", "1800"});
    board.ctl("modem", {"send", "1", "lost"});
    board.ctl("modem", {"send", "1", "after"});
    EXPECT_TRUE(wait_modem("rx 2 4", 1500ms));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1500ms);
    c2.join();
    c.join();
    signal_daemon(SIGTERM);
    ASSERT_TRUE(ended());
    // One frame lost, the one whose rest came 1.8 s late.
    size_t failed = 0;
    for (size_t at = 0; (at = result.out.find("failed to receive CMUX frame", at)) != std::string::npos; ++at)
        ++failed;
    EXPECT_EQ(failed, 1u) << result.out;
}

TEST_F(Daemon, UnansweredSabmEndsTheDaemon)
{
    modem({"--no-ua"});
    cmux();
    auto begin = std::chrono::steady_clock::now();
    start();
    ASSERT_TRUE(ended());
    EXPECT_EQ(result.exit_code, 1);
    // Sent every T1 (100 ms), three times again, then given up for the
    // supervisor to start a new bring-up.
    EXPECT_NE(result.out.find("modem did not open DLCI 0 (no UA after 4 SABMs); aborted\n"),
              std::string::npos)
        << result.out;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    std::string ev = events("modem");
    EXPECT_NE(ev.find("sabm 0\nsabm 0\nsabm 0\nsabm 0\n"), std::string::npos) << ev;
    EXPECT_EQ(ev.find("sabm 0\nsabm 0\nsabm 0\nsabm 0\nsabm 0"), std::string::npos) << ev;
}

TEST_F(Daemon, LateAndUnsolicitedAnswersInTheBringUp)
{
    // The first "AT" and the answer to step 5 come after their time-outs
    // (the late OK of step 5 lands in the exchange of "AT+CMUX=0"), and the
    // modem speaks on its own between commands. The SABM sent too early is
    // AT text to the modem and lost; its retry opens DLCI 0.
    up({"--late", "AT=350", "--late", "ATE0V1&K3&D2=280", "--unsolicited", "AT+IPR=115200=+CREG: 1",
        "--unsolicited", "AT+CMEE=2=RING"});
    RunResult r = client({"open", "0", "echo", "2000", "4"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_TRUE(modem_has("unsolicited +CREG: 1"));
    signal_daemon(SIGTERM);
    ASSERT_TRUE(ended());
    EXPECT_EQ(result.out.find("bad frame flag"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("failed to receive"), std::string::npos) << result.out;
}

TEST_F(Daemon, ALateAnswerToCmuxIsWaitedFor)
{
    // "AT+CMUX=0" is answered after its time-out: the command is still
    // outstanding, so the daemon waits for its answer and sends no frame
    // before it (a frame would be AT text to the modem).
    up({"--late", "AT+CMUX=0=250"});
    RunResult r = client({"open", "1", "echo", "2000", "7"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    signal_daemon(SIGTERM);
    ASSERT_TRUE(ended());
    EXPECT_EQ(result.out.find("trying the multiplexer"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("bad frame flag"), std::string::npos) << result.out;
    EXPECT_EQ(board.ctl("modem", {"violations"}).text, "");
}

TEST_F(Daemon, LostSabmIsSentAgain)
{
    up({"--lose-sabm", "1"});
    EXPECT_TRUE(wait_modem("sabm 0 lost"));
    RunResult r = client({"open", "1", "echo", "1000", "2"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(Daemon, StatusCommandsAnsweredOnceAndTheLogStaysQuiet)
{
    // After each UA the modem sends MSC commands (for DLCIs not opened as
    // well) and repeats any unanswered one every T2.
    up({"--t2", "100"});
    RunResult r = client({"open", "2", "echo", "1000", "6"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    ASSERT_TRUE(wait_modem("msc 3 answered"));
    std::this_thread::sleep_for(500ms);
    EXPECT_FALSE(modem_has("repeat")) << events("modem");
    EXPECT_NE(board.ctl("modem", {"stats"}).text.find("unanswered 0"), std::string::npos);
    // The modem's own DISC, TEST, FCoff/FCon and data with C/R = 1.
    std::thread c([&] {
        RunResult rc = client({"open", "0", "expect", "hello", "sleep", "1500"});
        EXPECT_EQ(rc.exit_code, 0) << rc.err;
    });
    ASSERT_TRUE(wait_cmux("connected 0"));
    ASSERT_EQ(board.ctl("modem", {"uihcr", "1", "hello"}).status, 0);
    ASSERT_EQ(board.ctl("modem", {"test", "ping"}).status, 0);
    ASSERT_EQ(board.ctl("modem", {"fcoff"}).status, 0);
    ASSERT_EQ(board.ctl("modem", {"fcon"}).status, 0);
    ASSERT_EQ(board.ctl("modem", {"disc", "1"}).status, 0);
    EXPECT_TRUE(wait_cmux("disconnected 0", 5s)) << events("cmux");
    EXPECT_TRUE(wait_modem("ua 1", 5s)) << events("modem");
    c.join();
    EXPECT_TRUE(wait_for([&] { return board.ctl("modem", {"stats"}).text.find("unanswered 0") != std::string::npos; }));
    signal_daemon(SIGTERM);
    ASSERT_TRUE(ended());
    // Nothing was refused, and nothing logged beyond the odd line.
    EXPECT_EQ(result.out.find("bad bits"), std::string::npos) << result.out;
    EXPECT_LE(std::count(result.out.begin(), result.out.end(), '\n'), 2) << result.out;
}

TEST_F(Daemon, FlowControlUnderLoadLosesNothing)
{
    // The modem sets FC on a DLCI every 4 KiB it receives and releases it
    // 30 ms later; it sends one flag between frames and re-frames its data.
    up({"--fc-after", "4096", "--fc-hold", "30", "--shared-flag", "--split", "127"}, {"--msg-size", "512"});
    echo_on_every_port(32768, 11);
    // (The event history is too short for a run this long: the count.)
    EXPECT_EQ(board.ctl("modem", {"stats"}).text.find("fc-set 0\n"), std::string::npos);
    signal_daemon(SIGTERM);
    ASSERT_TRUE(ended());
    // A modem this busy may answer a SABM or DISC after the daemon's last
    // try (lines that say so); nothing else is logged beyond the odd line.
    std::istringstream log(result.out);
    int other = 0;
    for (std::string line; std::getline(log, line);)
        if (line.find("late") == std::string::npos && line.find("did not open DLCI") == std::string::npos &&
            line.find("did not answer DISC") == std::string::npos)
            ++other;
    EXPECT_LE(other, 2) << result.out;
}

TEST_F(Daemon, RestartWhileTheModemStillMultiplexes)
{
    up();
    ASSERT_TRUE(wait_modem("msc 4 answered"));
    signal_daemon(SIGKILL); // an earlier instance crashed
    ASSERT_TRUE(ended());
    board.ctl("modem", {"clear"});
    // "AT" goes unanswered: the new daemon closes the multiplexer down and
    // brings the modem up again.
    start();
    ASSERT_TRUE(wait_modem("cld"));
    ASSERT_TRUE(wait_modem("sabm 0"));
    RunResult r = client({"open", "3", "echo", "1000", "8"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(Daemon, UnansweredTestEndsTheLoop)
{
    up({"--no-test"});
    ASSERT_TRUE(ended());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.out.find("sending TEST although another test is pending for port 0\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.out.find("too much errors during TEST commands; aborted\n"), std::string::npos);
}

TEST_F(Daemon, ModemGoneEndsTheDaemon)
{
    pid_t modem_pid = board.start({vboard::testing::host_program_dir() + "/vboard-modem"});
    cmux();
    start();
    ASSERT_TRUE(wait_modem("sabm 0"));
    kill(modem_pid, SIGTERM); // its end of the line closes
    ASSERT_TRUE(ended());
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.out.find("serial line hung up; aborted\n"), std::string::npos) << result.out;
}

TEST_F(Daemon, Signals)
{
    up();
    pid_t pid = find_pid();
    ASSERT_GT(pid, 0);
    kill(pid, SIGUSR1);
    EXPECT_TRUE(wait_modem("psc 0x00"));
    EXPECT_TRUE(wait_modem("dtr 0"));
    kill(pid, SIGALRM);
    EXPECT_TRUE(wait_modem("dtr 1"));
    EXPECT_TRUE(wait_modem("wake"));
    kill(pid, SIGUSR2);
    kill(pid, SIGHUP);
    RunResult r = client({"open", "3", "echo", "1000", "3"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_FALSE(finished);
}

TEST_F(Daemon, StopModeStopsAfterDlci0WasRequested)
{
    modem();
    cmux();
    start({"--daemon", "stop"});
    pid_t pid = -1;
    ASSERT_TRUE(wait_for([&] {
        pid = find_pid();
        return pid > 0 && process_state(pid) == 'T';
    }));
    EXPECT_TRUE(modem_has("sabm 0"));
    kill(pid, SIGCONT);
    RunResult r = client({"open", "0", "echo", "1000", "9"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST_F(Daemon, BackgroundMode)
{
    modem();
    cmux();
    RunResult r = run({"--daemon", "bg"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(wait_modem("sabm 0"));
    pid_t pid = find_pid();
    ASSERT_GT(pid, 0);
    r = client({"open", "0", "echo", "1000", "5"});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    kill(pid, SIGTERM);
    EXPECT_TRUE(wait_for([&] { return find_pid() < 0; }));
}

TEST_F(Daemon, UserSwitch)
{
    if (getuid() != 0)
        GTEST_SKIP() << "needs root";
    modem();
    cmux();
    RunResult r = run({"--user", "no-such-user-here"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.err, "can not find user 'no-such-user-here'\n");
    start({"--user", "nobody"});
    ASSERT_TRUE(wait_modem("sabm 0"));
    pid_t pid = find_pid();
    ASSERT_GT(pid, 0);
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    EXPECT_NE(status.find("Uid:\t65534\t65534\t65534\t65534\n"), std::string::npos) << status;
}

} // namespace
