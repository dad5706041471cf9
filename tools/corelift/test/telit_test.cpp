// The header check and the acknowledgement recognition, without a line.
#include "image.h"
#include "telit.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

using namespace corelift_test;

const char *decode(TelitContext &ctx, const Octets &o, uint64_t file_size, char (&error)[160])
{
    return corelift_decodeHeader(&ctx, o.data(), o.size(), file_size, error, sizeof error);
}

TEST(Header, FieldsAreLittleEndianAtTheirOffsets)
{
    Octets h = header("GE864-QUAD", 80, "V2");
    TelitContext ctx;
    char error[160];
    ASSERT_EQ(decode(ctx, h, 80, error), nullptr);
    EXPECT_EQ(ctx.headerSize, 80);
    EXPECT_STREQ(ctx.softwareVersion, "V2");
    EXPECT_STREQ(ctx.productName, "GE864-QUAD");
    EXPECT_EQ(ctx.memoryType, 7);
    EXPECT_EQ(ctx.streamVersion, 2);
    EXPECT_EQ(ctx.speedOffset, 123456u);
}

TEST(Header, RefusesWhatCannotBeReadSafely)
{
    TelitContext ctx;
    char error[160];
    Octets h = header("GE864-QUAD");
    EXPECT_STREQ(decode(ctx, Octets(h.begin(), h.begin() + 73), 73, error),
                 "\nfirmware header too short: 73 of 74 Byte\n");
    Octets unterminated = h;
    std::memset(unterminated.data() + 2, 'x', 32);
    EXPECT_STREQ(decode(ctx, unterminated, 74, error),
                 "\nfirmware header: Software Version has no end within 32 Byte\n");
    unterminated = h;
    std::memset(unterminated.data() + 34, 'x', 32);
    EXPECT_STREQ(decode(ctx, unterminated, 74, error),
                 "\nfirmware header: Product Name has no end within 32 Byte\n");
    // 31 characters and the NUL fill the field exactly.
    Octets full = header(std::string(31, 'P'));
    EXPECT_EQ(decode(ctx, full, 74, error), nullptr);
    EXPECT_EQ(std::strlen(ctx.productName), 31u);
    EXPECT_STREQ(decode(ctx, header("GE864-QUAD", 73), 74, error),
                 "\nfirmware header: HeaderSize 73 Byte is smaller than the header (74 Byte)\n");
    EXPECT_STREQ(decode(ctx, header("GE864-QUAD", 100), 99, error),
                 "\nfirmware header: HeaderSize 100 Byte is beyond the end of the file (99 Byte)\n");
}

TEST(BootAck, PatternsByProductName)
{
    unsigned char p[4] = {};
    EXPECT_EQ(corelift_bootPattern("GE864-QUAD", p), 1);
    EXPECT_EQ(p[0], 0xA0);
    EXPECT_EQ(corelift_bootPattern("GE864-V2", p), 3);
    EXPECT_EQ(p[0], 0x92);
    EXPECT_EQ(p[1], 0x00);
    EXPECT_EQ(p[2], 0x00);
    EXPECT_EQ(corelift_bootPattern("ge864-quad", p), 0);
    EXPECT_EQ(corelift_bootPattern("GE864-QUAD ", p), 0);
    EXPECT_EQ(corelift_bootPattern("", p), 0);
}

TEST(BootAck, ThreeOctetReplyComparedAsText)
{
    TelitContext ctx;
    ctx.bootAckCharLength = corelift_bootPattern("GM864-DUAL V2", ctx.bootAckChar);
    const unsigned char good[] = {0x92, 0x00, 0x00}, tail[] = {0x92, 0x00, 0x55}, bad[] = {0x92, 0x01, 0x00};
    EXPECT_EQ(isBootACKChar(&ctx, good, 3), 1);
    EXPECT_EQ(isBootACKChar(&ctx, tail, 3), 1);
    EXPECT_EQ(isBootACKChar(&ctx, bad, 3), 0);
    EXPECT_EQ(isBootACKChar(&ctx, good, 2), 0);
    ctx.bootAckCharLength = corelift_bootPattern("GE864-QUAD", ctx.bootAckChar);
    const unsigned char a0[] = {0xA0}, a1[] = {0xA1};
    EXPECT_EQ(isBootACKChar(&ctx, a0, 1), 1);
    EXPECT_EQ(isBootACKChar(&ctx, a1, 1), 0);
}

TEST(BlockAck, AcceptedOctets)
{
    TelitContext ctx;
    for (int v = 0; v < 256; ++v) {
        unsigned char o = static_cast<unsigned char>(v);
        testing::internal::CaptureStdout();
        int got = isBlockACKChar(&ctx, &o, 1);
        std::string out = testing::internal::GetCapturedStdout();
        bool ack = v == 0x01 || (v >= 0xA0 && v <= 0xA9);
        EXPECT_EQ(got, ack ? 1 : 0) << v;
        if (ack)
            EXPECT_EQ(out, "") << v;
        else if (v == 0xB5)
            EXPECT_EQ(out, "\nERROR: NACK\n");
        else
            EXPECT_EQ(out, "\nWARNING: Byte read is not an Boot ACKCHAR " + std::to_string(v) + "\n");
    }
}

} // namespace
