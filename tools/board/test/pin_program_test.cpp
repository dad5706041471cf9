// pinprobe against FIFOs standing in for the GPIO input devices, with a pipe
// as standard input to end it.
#include "gpio_event.h"
#include "program.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;
using boardtest::Launch;
using boardtest::Program;

class Pinprobe : public testing::Test
{
  protected:
    void SetUp() override { ASSERT_EQ(pipe2(input, O_CLOEXEC), 0); }
    void TearDown() override
    {
        for (int fd : feeds) {
            close(fd);
        }
        close(input[0]);
        if (input[1] >= 0) {
            close(input[1]);
        }
    }

    // A device node; its feed is held read-write so that opens do not wait.
    std::string device(const std::string &name)
    {
        const std::string path = dir.file(name);
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        feeds.push_back(open(path.c_str(), O_RDWR | O_CLOEXEC));
        return path;
    }

    void send(size_t index, const GpioEventRecord &r, size_t octets = sizeof(GpioEventRecord))
    {
        boardtest::write_all(feeds.at(index), &r, octets);
    }

    void hang_up()
    {
        close(input[1]);
        input[1] = -1;
    }

    Launch launch(std::vector<std::string> args)
    {
        Launch l{PINPROBE, std::move(args)};
        l.stdin_fd = input[0];
        l.unset_env = {"H"};
        return l;
    }

    boardtest::TempDir dir;
    int input[2] = {-1, -1};
    std::vector<int> feeds;
};

const GpioEventRecord kEdge{12, 500, 13, 1, 7, 10, 5};
const GpioEventRecord kLow{-1, 999999999, 2147483647, 0, 4294967295u, 3, 0};

TEST_F(Pinprobe, TestZeroPrintsRecordsUntilStandardInputHangsUp)
{
    const std::string in3 = device("in3");
    Program p(launch({"0", in3}), dir.path());
    send(0, kEdge);
    send(0, kLow);
    ASSERT_TRUE(p.wait_out("3, 0]\n")) << p.out() << p.err();
    hang_up();
    int status = -2;
    ASSERT_TRUE(p.wait_exit(&status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(p.out(), "[ev=12.000000500, rep=13.000000001, 7, 10, 5]\n"
                       "[ev=-1.999999999, rep=2147483647.000000000, 4294967295, 3, 0]\n");
    EXPECT_EQ(p.err(), "");
}

TEST_F(Pinprobe, TestOneReadsEveryReadyDeviceInArgumentOrder)
{
    const std::string a = device("inA");
    const std::string c = device("inC");
    // Both pending before the first wait: printed A first, whatever the order they came in.
    GpioEventRecord on_c = kEdge;
    on_c.address = 12;
    GpioEventRecord on_a = kEdge;
    on_a.sequence = 8;
    send(1, on_c);
    send(0, on_a);
    Program p(launch({"1", a, c}), dir.path());
    ASSERT_TRUE(p.wait_out("12, 5]\n")) << p.out() << p.err();
    send(1, kLow);
    ASSERT_TRUE(p.wait_out("3, 0]\n"));
    EXPECT_TRUE(p.running());
    boardtest::write_all(input[1], "\n", 1); // anything on standard input ends it
    int status = -2;
    ASSERT_TRUE(p.wait_exit(&status));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(p.out(), "[ev=12.000000500, rep=13.000000001, 8, 10, 5]\n"
                       "[ev=12.000000500, rep=13.000000001, 7, 12, 5]\n"
                       "[ev=-1.999999999, rep=2147483647.000000000, 4294967295, 3, 0]\n");
}

// Counts the read calls pinprobe made on its device (descriptor above 2) of
// the given size that returned that size, from strace -y or qemu's -strace.
// Where the trace names the descriptor's file, only reads of `device` count
// (a sanitizer runtime reads /proc/self/maps in pieces of any size).
int reads_of(const std::string &trace, const std::string &device, int size)
{
    static const std::regex call(R"(read\((\d+)(?:<([^>]*)>)?,\s*[^,]*,\s*(\d+)\)\s*=\s*(-?\d+))");
    const std::string name = device.substr(device.rfind('/') + 1);
    int n = 0;
    for (std::sregex_iterator it(trace.begin(), trace.end(), call), end; it != end; ++it) {
        const std::string file = (*it)[2];
        const bool on_device = file.empty() || (file.size() >= name.size() &&
                                                file.compare(file.size() - name.size(), name.size(), name) == 0);
        if (std::stoi((*it)[1]) > 2 && on_device && std::stoi((*it)[3]) == size && std::stoi((*it)[4]) == size)
            ++n;
    }
    return n;
}

TEST_F(Pinprobe, HLimitsEveryReadCall)
{
    for (const char *h : {"4", ""}) {
        const std::string dev = device(std::string("in") + (*h ? "4" : "0"));
        Launch l = launch({"0", dev});
        // LeakSanitizer cannot run under a tracer (sanitizer build).
        l.set_env = {std::string("H=") + h, "ASAN_OPTIONS=detect_leaks=0"};
        l.unset_env.clear();
        const std::string trace = dir.file(std::string("trace") + h);
        if (boardtest::on_target()) {
            l.emulator_options = {"-strace"}; // to stderr
        } else {
            l.wrapper = {"strace", "-q", "-y", "-s", "0", "-e", "trace=read", "-o", trace};
        }
        Program p(l, dir.path());
        send(feeds.size() - 1, kEdge);
        ASSERT_TRUE(p.wait_out("7, 10, 5]\n")) << p.out() << p.err();
        hang_up();
        int status = -2;
        ASSERT_TRUE(p.wait_exit(&status));
        EXPECT_EQ(status, 0);
        const std::string calls = boardtest::on_target() ? p.err() : boardtest::read_file(trace);
        if (*h) {
            EXPECT_EQ(reads_of(calls, dev, 4), 7) << calls;
            EXPECT_EQ(reads_of(calls, dev, 28), 0) << calls;
        } else {
            EXPECT_EQ(reads_of(calls, dev, 28), 1) << calls; // set but empty: no limit
        }
        close(input[0]);
        ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    }
}

TEST_F(Pinprobe, LimitedReadsStillGiveWholeRecords)
{
    const std::string dev = device("in1");
    Launch l = launch({"1", dev});
    l.set_env = {"H=5"}; // 28 is no multiple of 5
    Program p(l, dir.path());
    send(0, kEdge, 13);
    boardtest::write_all(feeds[0], reinterpret_cast<const char *>(&kEdge) + 13, 15);
    send(0, kLow);
    ASSERT_TRUE(p.wait_out("3, 0]\n")) << p.out() << p.err();
    EXPECT_EQ(p.out(), "[ev=12.000000500, rep=13.000000001, 7, 10, 5]\n"
                       "[ev=-1.999999999, rep=2147483647.000000000, 4294967295, 3, 0]\n");
}

TEST_F(Pinprobe, ADeviceThatEndsInTheMiddleOfARecordIsReportedNotPrinted)
{
    for (const char *test : {"0", "1"}) {
        const std::string dev = dir.file(std::string("end") + test);
        ASSERT_EQ(mkfifo(dev.c_str(), 0600), 0);
        Program p(launch({test, dev}), dir.path());
        const int writer = open(dev.c_str(), O_WRONLY | O_CLOEXEC); // waits for pinprobe's open
        ASSERT_GE(writer, 0);
        boardtest::write_all(writer, &kEdge, 10);
        close(writer);
        int status = -2;
        ASSERT_TRUE(p.wait_exit(&status)) << test;
        EXPECT_EQ(status, 1) << test;
        EXPECT_EQ(p.out(), "") << test;
        EXPECT_EQ(p.err(), "read(): " + dev + ": end of file after 10 of 28 octets\n") << test;
    }
}

TEST_F(Pinprobe, DevicesThatCannotBeOpened)
{
    const std::string good = device("in0");
    const std::string missing = dir.file("inF");
    for (const char *test : {"0", "1"}) {
        Program p(launch(std::string(test) == "0" ? std::vector<std::string>{"0", missing}
                                                  : std::vector<std::string>{"1", good, missing}),
                  dir.path());
        int status = -2;
        ASSERT_TRUE(p.wait_exit(&status));
        EXPECT_EQ(status, 1) << test;
        EXPECT_EQ(p.err(), "open(): No such file or directory\n") << test;
        EXPECT_EQ(p.out(), "");
    }
}

TEST_F(Pinprobe, OtherTestsAndBadLimits)
{
    struct Case {
        std::vector<std::string> args;
        std::string h;
        int status;
        std::string err;
    };
    const std::string dev = device("in2");
    const std::vector<Case> cases = {
        {{}, "", 0, ""},
        {{"2", dev}, "", 0, ""},
        {{"00", dev}, "", 0, ""},
        {{"0"}, "", 1, "usage: pinprobe 0 device | pinprobe 1 device...\n"},
        {{"0", dev}, "0", 1, "H: not a positive number of octets: \"0\"\n"},
        {{"1", dev}, "4x", 1, "H: not a positive number of octets: \"4x\"\n"},
        {{"1", dev}, "-3", 1, "H: not a positive number of octets: \"-3\"\n"},
        {{"7", dev}, "junk", 0, ""}, // not a test: H is not looked at
        // 64 bits on every build: accepted (the open fails next), then beyond.
        {{"1", dir.file("none")}, "99999999999", 1, "open(): No such file or directory\n"},
        {{"1", dev},
         "99999999999999999999",
         1,
         "H: not a positive number of octets: \"99999999999999999999\"\n"},
    };
    for (const Case &c : cases) {
        Launch l = launch(c.args);
        if (!c.h.empty()) {
            l.set_env = {"H=" + c.h};
        }
        Program p(l, dir.path());
        int status = -2;
        ASSERT_TRUE(p.wait_exit(&status)) << testing::PrintToString(c.args);
        EXPECT_EQ(status, c.status) << testing::PrintToString(c.args);
        EXPECT_EQ(p.err(), c.err);
        EXPECT_EQ(p.out(), "");
    }
}

} // namespace
