// tapprobe and tapcal as a technician runs them: a FIFO stands in for the
// touch device and carries events in the board's 16-octet layout (on every
// build), samples come out of the named pipe or descriptor 3.
#include "program.h"
#include "touch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{

using namespace std::chrono_literals;
using boardtest::Launch;
using boardtest::Program;

TouchInputEvent event(uint32_t usec, uint16_t type, uint16_t code, int32_t value)
{
    return TouchInputEvent{1, usec, type, code, value};
}

struct Sample {
    int16_t touch, x, y, zero;
    bool operator==(const Sample &) const = default;
};

class TouchTool : public testing::Test
{
  protected:
    void SetUp() override
    {
        device = dir.file("event0");
        ASSERT_EQ(mkfifo(device.c_str(), 0600), 0);
        // Held read-write: the tool's open does not wait for a writer, and the
        // FIFO does not reach its end between our writes.
        feed = open(device.c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(feed, 0);
    }
    void TearDown() override
    {
        if (feed >= 0) {
            close(feed);
        }
        if (samples >= 0) {
            close(samples);
        }
    }

    void send(const TouchInputEvent &ev) { boardtest::write_all(feed, &ev, sizeof ev); }

    // A named output pipe that we read, opened before the tool starts.
    std::string output_pipe()
    {
        const std::string path = dir.file("samples");
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
        samples = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        EXPECT_GE(samples, 0);
        return path;
    }

    Sample next_sample()
    {
        Sample s{-99, -99, -99, -99};
        EXPECT_TRUE(boardtest::read_exact(samples, &s, sizeof s, 10s)) << "no sample";
        return s;
    }

    bool no_more_samples()
    {
        Sample s;
        return !boardtest::read_exact(samples, &s, sizeof s, 200ms);
    }

    // One press with both axes, an axis after that, keys and axes that are
    // not ours, the release, and an event type of no interest.
    void press_and_release()
    {
        send(event(2, kEvKey, kBtnTouch, 1));
        send(event(3, kEvAbs, 0, 500));
        send(event(4, 0, 0, 0));
        send(event(5, kEvAbs, 1, 300));
        send(event(6, kEvAbs, 2, 900));
        send(event(7, kEvKey, 331, 1));
        send(event(8, kEvAbs, 24, 42));
        send(event(9, kEvKey, kBtnTouch, 0));
        send(event(10, 4, 4, -5));
        send(event(11, kEvAbs, 3, 100)); // released: a sample at once
    }

    const std::vector<Sample> expected_samples = {
        {1, 400, 300, 0}, {1, 800, 300, 0}, {0, 800, 300, 0}, {0, 800, 100, 0}};
    const std::vector<std::string> calibration = {"TOUCHCAL_X0_EXP=0", "TOUCHCAL_X1_EXP=800",
                                                  "TOUCHCAL_X0_CUR=100", "TOUCHCAL_X1_CUR=900"};

    boardtest::TempDir dir;
    std::string device;
    int feed = -1;
    int samples = -1;
};

TEST_F(TouchTool, TapprobeShowsEveryEventAndWritesCalibratedSamplesToThePipe)
{
    Launch l{TAPPROBE, {device, output_pipe()}};
    l.set_env = calibration;
    l.unset_env = {"TOUCHCAL_Y0_EXP", "TOUCHCAL_Y1_EXP", "TOUCHCAL_Y0_CUR", "TOUCHCAL_Y1_CUR"};
    Program p(l, dir.path());
    ASSERT_TRUE(p.wait_out("out opened\n")) << p.out() << p.err();
    press_and_release();
    for (const Sample &want : expected_samples) {
        EXPECT_EQ(next_sample(), want);
    }
    EXPECT_TRUE(no_more_samples());
    ASSERT_TRUE(p.wait_out("(100) ->\t[0, 800,100]\n"));
    EXPECT_EQ(p.out(), "tapprobe started\n"
                       "in opened\n"
                       "before mknod\n"
                       "after mknod\n"
                       "out opened\n"
                       "[1.000002] TOUCH=1\n"
                       "[1.000003] x= 400 (500)\n"
                       "[1.000004] ev.type 0\n"
                       "0000 0000 00000000\n"
                       "[1.000005] y= 300 (300) ->\t[1, 400,300]\n"
                       "[1.000006] x= 800 (900) ->\t[1, 800,300]\n"
                       "[1.000007] EV_KEY: ev.code 331\n"
                       "0001 014b 00000001\n"
                       "[1.000008] EV_ABS: ev.code 24\n"
                       "0003 0018 00000042\n"
                       "[1.000009] TOUCH=0 ->\t[0, 800,300]\n"
                       "[1.000010] ev.type 4\n"
                       "0004 0004 -0000005\n"
                       "[1.000011] y= 100 (100) ->\t[0, 800,100]\n");
    EXPECT_EQ(p.err(), "");
    EXPECT_TRUE(p.running());
}

TEST_F(TouchTool, TapcalIsSilentAndWritesToDescriptorThree)
{
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    samples = out[0];
    Launch l{TAPCAL, {device}};
    l.set_env = calibration;
    l.extra_fds = {{3, out[1]}};
    Program p(l, dir.path());
    close(out[1]);
    press_and_release();
    for (const Sample &want : expected_samples) {
        EXPECT_EQ(next_sample(), want);
    }
    EXPECT_TRUE(no_more_samples());
    EXPECT_EQ(p.out(), "out opened\n");
    EXPECT_EQ(p.err(), "");
    EXPECT_TRUE(p.running());
}

TEST_F(TouchTool, WaitsForAMissingDeviceAndRetriesEverySecond)
{
    const std::string later = dir.file("event1");
    Program p(Launch{TAPPROBE, {later, output_pipe()}}, dir.path());
    ASSERT_TRUE(p.wait_err("open device failed: No such file or directory\n", 5s)) << p.err();
    EXPECT_EQ(p.out(), "tapprobe started\n");
    ASSERT_EQ(rename(device.c_str(), later.c_str()), 0); // the device appears
    ASSERT_TRUE(p.wait_out("out opened\n", 5s)) << p.out();
    send(event(1, kEvKey, kBtnTouch, 0));
    EXPECT_EQ(next_sample(), (Sample{0, 0, 0, 0}));
}

TEST_F(TouchTool, APartialEventAtTheEndIsDroppedAndTheDeviceReopened)
{
    Program p(Launch{TAPPROBE, {device, output_pipe()}}, dir.path());
    ASSERT_TRUE(p.wait_out("out opened\n"));
    // A writer that delivers ten octets of an event and goes away.
    const int writer = open(device.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    close(feed);
    feed = -1;
    const TouchInputEvent torn = event(1, kEvKey, kBtnTouch, 1);
    boardtest::write_all(writer, &torn, 10);
    close(writer); // end of file for the tool: it closes, waits a second and reopens
    ASSERT_TRUE(boardtest::wait_until([&] { return !boardtest::holds_open(p.pid(), device); }, 5s));
    ASSERT_TRUE(boardtest::wait_until(
        [&] { return (feed = open(device.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }, 5s));
    send(event(7, kEvKey, kBtnTouch, 0));
    EXPECT_EQ(next_sample(), (Sample{0, 0, 0, 0}));
    ASSERT_TRUE(p.wait_out("[1.000007] TOUCH=0 ->\t[0, 0,0]\n")) << p.out();
    EXPECT_EQ(p.out(), "tapprobe started\nin opened\nbefore mknod\nafter mknod\nout opened\n"
                       "in opened\n[1.000007] TOUCH=0 ->\t[0, 0,0]\n");
    EXPECT_EQ(p.err(), "");
}

TEST_F(TouchTool, AReaderThatGoesAwayDoesNotStopTheTool)
{
    Program p(Launch{TAPPROBE, {device, output_pipe()}}, dir.path());
    ASSERT_TRUE(p.wait_out("out opened\n"));
    send(event(1, kEvKey, kBtnTouch, 0));
    EXPECT_EQ(next_sample(), (Sample{0, 0, 0, 0}));
    close(samples); // the next write meets a pipe without reader
    samples = -1;
    send(event(2, kEvAbs, 0, 5));
    send(event(3, kEvAbs, 1, 6));
    ASSERT_TRUE(p.wait_out("[1.000003] y=   6 (6) ->\t[0, 5,6]\n")) << p.out();
    EXPECT_TRUE(p.running());
}

TEST_F(TouchTool, AnOutputThatCannotBeOpenedEndsWithStatusOne)
{
    for (const char *tool : {TAPPROBE, TAPCAL}) {
        Program p(Launch{tool, {device, dir.file("no/such/dir/samples")}}, dir.path());
        int status = 0;
        ASSERT_TRUE(p.wait_exit(&status)) << tool;
        EXPECT_EQ(status, 1) << tool;
        EXPECT_EQ(p.err(), "open()/mknod(): No such file or directory\n") << tool;
        EXPECT_EQ(p.out(), std::string(tool) == TAPPROBE
                               ? "tapprobe started\nin opened\nbefore mknod\nafter mknod\n"
                               : "")
            << tool;
    }
}

// Whatever is planted at the output's name other than a FIFO is refused and
// left as it was; a link is never followed, not even to a FIFO.
TEST_F(TouchTool, OnlyAFifoIsWrittenAtTheOutputName)
{
    const std::string victim = dir.file("victim");
    const std::string fifo = output_pipe();
    const std::string name = dir.file("planted");
    const std::vector<std::function<int()>> plant = {
        [&] { return symlink(victim.c_str(), name.c_str()); },
        [&] { return symlink(dir.file("absent").c_str(), name.c_str()); },
        [&] { return symlink(fifo.c_str(), name.c_str()); },
        [&] { return link(victim.c_str(), name.c_str()); },
        [&] { return mkdir(name.c_str(), 0700); },
    };
    for (size_t i = 0; i < plant.size(); ++i) {
        for (const char *tool : {TAPPROBE, TAPCAL}) {
            SCOPED_TRACE(std::to_string(i) + tool);
            boardtest::write_file(victim, "keep");
            ASSERT_EQ(plant[i](), 0);
            Program p(Launch{tool, {device, name}}, dir.path());
            int status = 0;
            ASSERT_TRUE(p.wait_exit(&status));
            EXPECT_EQ(status, 1);
            EXPECT_EQ(p.err(), "open()/mknod(): " + name + " is not a FIFO\n");
            EXPECT_EQ(boardtest::read_file(victim), "keep");
            EXPECT_TRUE(unlink(name.c_str()) == 0 || rmdir(name.c_str()) == 0);
        }
    }
}

// A device whose reads fail for good is reopened once a second, not in a
// busy loop.
TEST_F(TouchTool, AReadErrorPausesLikeAFailedOpen)
{
    Program p(Launch{TAPPROBE, {dir.path(), output_pipe()}}, dir.path());
    ASSERT_TRUE(p.wait_err("read device failed: Is a directory\n", 5s)) << p.err();
    std::this_thread::sleep_for(2s);
    const std::string out = p.out();
    size_t opens = 0;
    for (size_t at = out.find("in opened"); at != std::string::npos; at = out.find("in opened", at + 1)) {
        ++opens;
    }
    EXPECT_GE(opens, 2u);
    EXPECT_LE(opens, 4u) << out;
    EXPECT_TRUE(p.running());
}

TEST_F(TouchTool, WithoutArgumentsTheBoardsTouchDeviceIsRead)
{
    struct stat st;
    if (stat("/dev/input/event0", &st) == 0) {
        GTEST_SKIP() << "this machine has a /dev/input/event0";
    }
    Program p(Launch{TAPCAL, {}}, dir.path());
    ASSERT_TRUE(p.wait_err("open device failed: No such file or directory\n", 5s)) << p.err();
    EXPECT_EQ(p.out(), "");
}

TEST(StaticLink, BoardToolsHaveNoInterpreterAndNoDynamicSection)
{
    for (const char *tool : {TAPPROBE, TAPCAL, PINPROBE, DEVHOLD}) {
        boardtest::expect_static(tool);
    }
}

} // namespace
