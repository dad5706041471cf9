// The emulator library in process: timers of the loop, line-rate pacing.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "vboard/escape.h"
#include "vboard/launch.h"
#include "vboard/loop.h"
#include "vboard/serial.h"
#include <gtest/gtest.h>

namespace
{

using namespace std::chrono_literals;

TEST(EscapedWords, EveryOctetSurvivesTheRoundTripAndBadEscapesAreRefused)
{
    std::string all;
    for (int c = 0; c < 256; ++c)
        all += static_cast<char>(c);
    const std::string word = vboard::escape(all);
    EXPECT_EQ(word.find_first_of(" \r\n"), std::string::npos);
    EXPECT_EQ(vboard::unescape(word), all);
    EXPECT_EQ(vboard::escape("a b\r\n\\\x7f"), "a\\sb\\r\\n\\\\\\x7f");
    EXPECT_EQ(vboard::unescape("tab\\there\\"), "tab\there\\");
    EXPECT_THROW(vboard::unescape("\\x4"), std::runtime_error);
    EXPECT_THROW(vboard::unescape("\\q"), std::runtime_error);
}

TEST(EmulatorLoop, TimersFireInTimeOrderAndCancelledOnesNever)
{
    vboard::Loop loop;
    std::string order;
    loop.after(30ms, [&] { order += "A"; });
    loop.after(10ms, [&] { order += "B"; });
    auto never = loop.after(20ms, [&] { order += "X"; });
    loop.cancel(never);
    int ticks = 0;
    vboard::Loop::TimerId tick = 0;
    tick = loop.every(5ms, [&] {
        if (++ticks == 3)
            loop.cancel(tick);
    });
    loop.after(60ms, [&] { loop.stop(); });
    EXPECT_EQ(loop.run(), 0);
    EXPECT_EQ(order, "BA");
    EXPECT_EQ(ticks, 3);
}

TEST(EmulatorLoop, UnwatchFromAHandlerStopsFurtherCalls)
{
    vboard::Loop loop;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    ASSERT_EQ(write(p[1], "xy", 2), 2);
    int calls = 0;
    loop.watch(p[0], POLLIN, [&](short) {
        ++calls;
        loop.unwatch(p[0]);
    });
    loop.after(30ms, [&] { loop.stop(); });
    loop.run();
    EXPECT_EQ(calls, 1);
    close(p[0]);
    close(p[1]);
}

// 100 octets at 1000 octets/s take about 0.1 s to arrive.
TEST(EmulatorSerialLine, RateLimitPacesTheOctets)
{
    vboard::Board board;
    vboard::Loop loop;
    vboard::SerialLine line(loop, board.root(), "ttyR0");
    int fd = open(line.link_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    line.set_rate(1000);
    std::string got;
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration took{};
    loop.watch(fd, POLLIN, [&](short) {
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
        if (got.size() >= 100) {
            took = std::chrono::steady_clock::now() - start;
            loop.stop();
        }
    });
    line.send(std::string(100, 'u'));
    loop.after(5s, [&] { loop.stop(); });
    loop.run();
    close(fd);
    EXPECT_EQ(got, std::string(100, 'u'));
    EXPECT_GE(took, 90ms);
    EXPECT_LT(took, 2s);
}

} // namespace
