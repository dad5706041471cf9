#include "log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace
{

std::string captured(void (*fn)())
{
    log_forget();
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}

TEST(Logger, ContinuationPiecesMakeOneLineWithOneStamp)
{
    std::string out = captured([] {
        mux_log(LOG_ERR | LOG_NO_NEWLINE, "first %d", 1);
        mux_log(LOG_ERR | LOG_NO_PREFIX, ", second");
    });
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d first 1, second\n)"))) << out;
}

int64_t fake_now;
int64_t fake_clock()
{
    return fake_now;
}

TEST(Logger, EachKindAtMostOnceAMinuteWithTheCountFolded)
{
    // Two kinds alternating (a noisy line), one of them in pieces; a third
    // kind printed once; then a minute later each kind comes back once.
    log_set_clock(fake_clock);
    fake_now = 1000;
    std::string out = captured([] {
        for (int i = 0; i < 50; ++i) {
            mux_log(LOG_ERR, "bad frame flag %02x", i);
            mux_log(LOG_CRIT | LOG_NO_NEWLINE, "piece %d", i);
            mux_log(LOG_CRIT | LOG_NO_PREFIX, " end");
            fake_now += 1000;
        }
        mux_log(LOG_CRIT, "bad frame flag %02x", 0xFF); // same format, another level
        fake_now = 61000;
        mux_log(LOG_ERR, "bad frame flag %02x", 0xAA);
        mux_log(LOG_CRIT | LOG_NO_NEWLINE, "piece %d", 99);
        mux_log(LOG_CRIT | LOG_NO_PREFIX, " end");
        mux_log(LOG_ERR, "bad frame flag %02x", 0xAB);
    });
    log_set_clock(nullptr);
    std::string plain = std::regex_replace(out, std::regex(R"(\d\d:\d\d:\d\d\.\d\d\d )"), "");
    EXPECT_EQ(plain, "bad frame flag 00\npiece 0 end\nbad frame flag ff\n"
                     "bad frame flag aa (49 more like it in the last minute)\n"
                     "piece 99 end (49 more like it in the last minute)\n");
}

TEST(Logger, NoEscapesWhenNotATerminalAndNothingWithoutLevel)
{
    std::string out = captured([] {
        mux_log(LOG_CRIT, "crit");
        mux_log(LOG_ERR, "err");
        mux_log(0, "silent");
        mux_log(LOG_NO_PREFIX, "silent too");
    });
    EXPECT_EQ(out.find('\033'), std::string::npos);
    EXPECT_EQ(out.find("silent"), std::string::npos);
    EXPECT_NE(out.find(" crit\n"), std::string::npos);
}

TEST(Logger, IndentationOnlyForDumpLevelsAndNeverNegative)
{
    std::string out = captured([] {
        mux_log(LOG_ERR | LOG_INDENT, "a");
        mux_log(LOG_ERR, "b");
        mux_log(LOG_DEBUG | LOG_DEDENT, "c"); // not a dump level: no change
        mux_log(LOG_ERR | LOG_DEDENT, "d");
        mux_log(LOG_ERR | LOG_DEDENT, "e");
        mux_log(LOG_ERR, "f");
    });
    EXPECT_EQ(log_indent(), 0);
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\.\d\d\d   b\n)"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\.\d\d\d   c\n)"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\.\d\d\d e\n)"))) << out;
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\.\d\d\d f\n)"))) << out;
}

uint8_t two[] = {'a', 'b'};
uint8_t ten[] = {0x0D, 'x', 'y', 3, 4, 5, 6, 7, 8, 9};

TEST(ByteDump, CharacterModeRunsAndTruncation)
{
    std::string out = captured([] {
        msg_bufv v[2] = {{two, 2}, {ten, 10}};
        bufv_dump(LOG_ERR, "label", 2, v, 0, 3, true);
    });
    EXPECT_TRUE(std::regex_match(out, std::regex(R"(\S+ label\['ab',0x0d\.\.\.\] \(12 bytes\)\n)"))) << out;
}

TEST(ByteDump, HexModeOffsetAndNothingForOtherLevels)
{
    std::string out = captured([] {
        msg_bufv v[2] = {{two, 2}, {ten, 10}};
        bufv_dump(LOG_CRIT, "L", 2, v, 2, 3, false);
        bufv_dump(LOG_DEBUG, "never", 2, v, 0, 3, true);
        bufv_dump(LOG_ERR, "all", 2, v, 10, 5, true);
    });
    EXPECT_NE(out.find("L[0x0d,0x78,0x79...] (12 bytes)\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("never"), std::string::npos);
    EXPECT_NE(out.find("all[0x08,0x09] (12 bytes)\n"), std::string::npos) << out;
}

TEST(BufferVector, LengthCopyAndGetChar)
{
    uint8_t a[] = {1, 2};
    uint8_t b[] = {3, 4, 5};
    msg_bufv v[2] = {{a, 2}, {b, 3}};
    EXPECT_EQ(msg_bufv_len(2, v), 5u);

    uint8_t out[8] = {};
    EXPECT_EQ(msg_bufv_copy(out, 8, 2, v, 3), out + 2);
    EXPECT_EQ(out[0], 4);
    EXPECT_EQ(out[1], 5);
    EXPECT_EQ(msg_bufv_copy(out, 3, 2, v, 1), out + 3);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[2], 4);
    EXPECT_EQ(msg_bufv_copy(out, 4, 2, v, 5), out);

    EXPECT_EQ(msg_bufv_get_char(2, v, 2), 3);
    EXPECT_EQ(msg_bufv_get_char(2, v, 4), 5);
    log_forget();
    testing::internal::CaptureStdout();
    EXPECT_EQ(msg_bufv_get_char(2, v, 5), 0);
    std::string out_text = testing::internal::GetCapturedStdout();
    EXPECT_NE(out_text.find("msg_bufv_get_char: out-of-bound; pos=0\n"), std::string::npos) << out_text;
}

} // namespace
