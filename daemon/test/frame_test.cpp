#include "fake_serport.h"
#include "frame.h"
#include "frame_bytes.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace
{

using bytes = std::vector<uint8_t>;

TEST(Fcs, TableMatchesBitwiseCrc)
{
    EXPECT_EQ(frame_crc_table[1], 0x91);
    EXPECT_EQ(frame_crc_table[7], 0x75);
    for (int i = 0; i < 256; ++i) {
        uint8_t crc = static_cast<uint8_t>(i);
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? static_cast<uint8_t>((crc >> 1) ^ 0xE0) : static_cast<uint8_t>(crc >> 1);
        ASSERT_EQ(frame_crc_table[i], crc) << i;
    }
    // The example of TS 27.010 annex: SABM on DLCI 0 has FCS 0x1C.
    const uint8_t sabm[] = {0x03, 0x3F, 0x01};
    EXPECT_EQ(static_cast<uint8_t>(~frame_fcs(0xFF, sabm, 3)), 0x1C);
}

struct Send : testing::Test, LogCapture {
    fake_port fp;
    int send(uint8_t address, uint8_t control, std::vector<msg_bufv> v)
    {
        const uint8_t header[2] = {address, control};
        return logged([&] { return frame_send(fp.port, header, v.size(), v.data()); });
    }
};

TEST_F(Send, SabmOnDlci0)
{
    ASSERT_EQ(send(0x03, 0x3F, {}), 1);
    EXPECT_EQ(fp.line.sent, (bytes{0xF9, 0x03, 0x3F, 0x01, 0x1C, 0xF9}));
    EXPECT_EQ(fp.line.send_calls, 1u);
}

TEST_F(Send, UihFcsIgnoresInformationButDiscCoversIt)
{
    uint8_t a[] = {1, 2, 3};
    uint8_t b[] = {9, 9};
    ASSERT_EQ(send(0x07, 0xEF, {{a, 3}, {b, 2}}), 1);
    bytes info = {1, 2, 3, 9, 9};
    EXPECT_EQ(fp.line.sent, make_frame(0x07, 0xEF, info));
    EXPECT_EQ(fp.line.send_calls, 1u); // the whole frame in one send
    bytes first = fp.line.sent;
    fp.line.sent.clear();
    b[0] = 0x55;
    ASSERT_EQ(send(0x07, 0xEF, {{a, 3}, {b, 2}}), 1);
    EXPECT_EQ(fp.line.sent[fp.line.sent.size() - 2], first[first.size() - 2]);

    fp.line.sent.clear();
    ASSERT_EQ(send(0x07, 0x53, {{a, 3}}), 1);
    EXPECT_EQ(fp.line.sent, make_frame(0x07, 0x53, {1, 2, 3}));
    EXPECT_NE(fp.line.sent, make_frame(0x07, 0x53, {1, 2, 4}));
}

TEST_F(Send, LengthLimit)
{
    std::vector<uint8_t> big(128, 0x41);
    EXPECT_EQ(send(0x07, 0xEF, {{big.data(), 128}}), 0);
    EXPECT_TRUE(fp.line.sent.empty());
    EXPECT_NE(log.find("buf_len too large (128 bytes)\n"), std::string::npos) << log;
    EXPECT_NE(log.find("portweaver_frame_send failed\n"), std::string::npos) << log;
    ASSERT_EQ(send(0x07, 0xEF, {{big.data(), 127}}), 1);
    EXPECT_EQ(fp.line.sent[3], 0xFF);
    EXPECT_EQ(fp.line.sent.size(), 127u + 6);
}

TEST_F(Send, FailingSendReported)
{
    fp.line.fail_send_after = 0;
    uint8_t a[] = {1};
    EXPECT_EQ(send(0x07, 0xEF, {{a, 1}}), 0);
    EXPECT_EQ(untimed(log), "portweaver_frame_send failed\n");
}

TEST_F(Send, ManyPiecesSplitInOrder)
{
    // Nine information pieces and an empty one do not fit one send: the
    // frame goes out in two, octets in order, and a failure of the second
    // still fails the frame.
    uint8_t o[10];
    std::vector<msg_bufv> v;
    bytes info;
    for (uint8_t i = 0; i < 9; ++i) {
        o[i] = static_cast<uint8_t>(0x30 + i);
        v.push_back({&o[i], 1});
        info.push_back(o[i]);
        if (i == 4)
            v.push_back({&o[9], 0});
    }
    ASSERT_EQ(send(0x0B, 0x53, v), 1);
    EXPECT_EQ(fp.line.sent, make_frame(0x0B, 0x53, info));
    EXPECT_EQ(fp.line.send_calls, 2u);
    fp.line.fail_send_after = 3;
    EXPECT_EQ(send(0x0B, 0xEF, v), 0);
    EXPECT_EQ(untimed(log), "portweaver_frame_send failed\n");
}

struct Recv : testing::Test, LogCapture {
    bytes input;
    size_t pos = 0;
    frame_rx rx{};
    msg_bufv buf{};
    mux_frame frame{};
    void feed(const bytes &b) { input.insert(input.end(), b.begin(), b.end()); }
    // One step of the decoder: 1 a frame, 0 dropped, -1 partial.
    int recv()
    {
        return logged([&] {
            size_t used = 0;
            frame_result r = frame_recv(&rx, input.data() + pos, input.size() - pos, &frame, &buf, &used);
            pos += used;
            return r == frame_result::frame ? 1 : r == frame_result::dropped ? 0 : -1;
        });
    }
};

TEST_F(Recv, DataFrameAndUa)
{
    feed(make_frame(0x09, 0xEF, {'h', 'i'}));
    feed(make_frame(0x03, 0x73, {}));
    ASSERT_EQ(recv(), 1);
    EXPECT_EQ(frame.type, MUX_UIH);
    EXPECT_EQ(frame.dlci, 2);
    EXPECT_EQ(frame.num, 1u);
    EXPECT_EQ(frame.len, 2);
    EXPECT_EQ(frame.bufv, &buf);
    EXPECT_EQ(buf.data, input.data() + 4); // in place
    EXPECT_EQ(buf.len, 2u);
    ASSERT_EQ(recv(), 1);
    EXPECT_EQ(frame.type, MUX_UA);
    EXPECT_EQ(frame.pf, 1);
    EXPECT_EQ(frame.dlci, 0);
    EXPECT_EQ(recv(), -1);
}

TEST_F(Recv, TwoOctetLengthCoveredByFcs)
{
    bytes covered = {0x03, 0x73, 0x0A, 0x00};
    bytes info = {1, 2, 3, 4, 5};
    bytes all = covered;
    all.insert(all.end(), info.begin(), info.end());
    bytes f = {0xF9};
    f.insert(f.end(), all.begin(), all.end());
    f.push_back(bitwise_crc(all));
    f.push_back(0xF9);
    feed(f);
    ASSERT_EQ(recv(), 1) << log;
    EXPECT_EQ(frame.len, 5);
    EXPECT_EQ(frame.type, MUX_UA);
}

TEST_F(Recv, TwoOctetLengthBeyondLimitRefused)
{
    feed({0xF9, 0x07, 0xEF, 0x0A, 0x01});
    EXPECT_EQ(recv(), 0);
    expect_log("data len 133 out-of-bound");
    expect_log("failed to receive CMUX frame");
}

TEST_F(Recv, ResynchronisesAfterGarbageAndIdleFlags)
{
    feed({0x41, 0x54, 0x0D});
    feed(make_frame(0x07, 0xEF, {'x'}));
    feed({0xF9, 0xF9, 0xF9});
    feed(make_frame(0x0B, 0xEF, {'y'}));
    ASSERT_EQ(recv(), 0) << log;
    expect_log("bad frame flag 41");
    ASSERT_EQ(recv(), 1) << log;
    EXPECT_EQ(frame.dlci, 1);
    ASSERT_EQ(recv(), 1) << log;
    EXPECT_EQ(frame.dlci, 2);
    EXPECT_EQ(buf.data[0], 'y');
    EXPECT_EQ(log.find("bad frame flag"), std::string::npos);
}

TEST_F(Recv, HuntSkipsFlagsThatStartNoFrame)
{
    // The rest of a refused frame, then a frame with a broken opening flag,
    // then a good one: only the good one is taken.
    feed({0x55, 0x55, 0xF9});
    bytes broken = make_frame(0x07, 0xEF, {'l', 'o', 's', 't'});
    broken[0] = 0x7E;
    feed(broken);
    feed(make_frame(0x07, 0xEF, {'o', 'k'}));
    ASSERT_EQ(recv(), 0) << log;
    ASSERT_EQ(recv(), 1) << log;
    EXPECT_EQ(frame.len, 2);
    EXPECT_EQ(buf.data[0], 'o');
}

TEST_F(Recv, GarbageIsDroppedAtOnceAndQuietlyBeforeTheFirstFrame)
{
    feed(bytes(1000, 0x00));
    EXPECT_EQ(recv(), 0);
    EXPECT_EQ(pos, 1000u);
    EXPECT_EQ(untimed(log), "bad frame flag 00\nfailed to receive CMUX frame\n");
    rx.quiet = 1; // the modem's command-mode leftovers
    feed({'\r', '\n', 'O', 'K', '\r', '\n'});
    EXPECT_EQ(recv(), 0);
    EXPECT_EQ(log, "");
    EXPECT_EQ(pos, input.size());
}

TEST_F(Recv, FcsAndClosingFlagChecked)
{
    bytes f = make_frame(0x07, 0xEF, {'x'});
    f[f.size() - 2] ^= 1;
    feed(f);
    EXPECT_EQ(recv(), 0);
    char text[80];
    snprintf(text, sizeof text, "frame flag (f9) or CRC mismatch (%02x vs. %02x)", f[f.size() - 2],
             f[f.size() - 2] ^ 1);
    expect_log(text);
    expect_log("failed to receive CMUX frame");
    f = make_frame(0x07, 0xEF, {'x'});
    f.back() = 0x7E;
    feed(f);
    EXPECT_EQ(recv(), 0);
    expect_log("frame flag (7e) or CRC mismatch (" + std::string(log.substr(log.find("mismatch (") + 10, 2)) +
               " vs. " + std::string(log.substr(log.find("mismatch (") + 10, 2)) + ")");
}

TEST_F(Recv, RefusedFramesAndMessagesSayWhy)
{
    // A frame (address, control, information) and the line it is refused
    // with: header checks, then control messages on DLCI 0.
    struct refused {
        uint8_t address, control;
        bytes info;
        const char *text;
    };
    const refused cases[] = {
        {0x06, 0x73, {}, "EA bit missing"},
        {0x17, 0xEF, {}, "DLCI 5 out of range"},
        {0x07, 0x01, {}, "bad frame type 01"},
        {0x01, 0x73, {}, "UA frame without EA or C/R"},
        {0x05, 0x1F, {}, "DM frame without EA or C/R"},
        {0x01, 0xEF, {0xE1, 0x05, 0x07, 0x1D}, "bad bits set in V24 octet 0x1d of UIH MSC frame"},
        {0x01, 0xEF, {0xE1, 0x05, 0x07, 0x2C}, "bad bits set in V24 octet 0x2c of UIH MSC frame"},
        {0x01, 0xEF, {0xE1, 0x05, 0x05, 0x0C}, "bad bits in UIH MSC DLCI octet (0x05)"},
        {0x01, 0xEF, {0xE1, 0x05, 0x03, 0x0C}, "bad DLCI 0 in UIH MSC frame"},
        {0x01, 0xEF, {0xE1, 0x05, 0x17, 0x0C}, "bad DLCI 5 in UIH MSC frame"},
        {0x01, 0xEF, {0xE1, 0x07, 0x07, 0x0C, 0x03}, "bad break octet 0x03 in UIH MSC frame"},
        {0x01, 0xEF, {0xE1, 0x03, 0x07}, "bad UIH MSC length (1 instead of 2 or 3)"},
        {0x01, 0xEF, {0xE1}, "UIH CTL frame too small (1 bytes)"},
        {0x01, 0xEF, {0xE0, 0x01}, "EA bit missing in UIH type 0xe0"},
        {0x01, 0xEF, {0x81, 0x01}, "unsupported UIH type 0x80"}, // an unknown response
        {0x01, 0xEF, {0xA3, 0x03, 1}, "bad UIH FCon length (1 instead of 0)"},
        {0x01, 0xEF, {0x21, 0x07, 1}, "bad UIH CTL length (3 instead of 1)"},
        {0x01, 0xEF, {0xC3, 0x03, 1}, "bad UIH CLD length (1 instead of 0)"},
        {0x01, 0xEF, {0x11, 0x05, 1, 2}, "bad UIH NSC length (2 instead of 1)"},
    };
    for (const refused &c : cases) {
        feed(make_frame(c.address, c.control, c.info));
        EXPECT_EQ(recv(), 0) << c.text;
        EXPECT_EQ(untimed(log), std::string(c.text) + "\n");
    }
    EXPECT_EQ(pos, input.size());
}

TEST_F(Recv, TheModemsCommandsAndDmAreDecoded)
{
    // SABM and DISC for the channel machine; DM with F = 0 announces a
    // closed channel.
    for (auto [control, type] :
         {std::pair{0x3F, MUX_SABM}, {0x53, MUX_DISC}, {0x0F, MUX_DM}, {0x1F, MUX_DM}}) {
        feed(make_frame(0x07, static_cast<uint8_t>(control), {}));
        ASSERT_EQ(recv(), 1) << log;
        EXPECT_EQ(frame.type, type);
        EXPECT_EQ(frame.pf, (control & 0x10) ? 1 : 0);
    }
}

TEST_F(Recv, APartialFrameIsGivenUpUpToTheNextFrame)
{
    bytes f = make_frame(0x07, 0xEF, {'a', 'b', 'c'});
    feed(bytes(f.begin(), f.begin() + 6));
    ASSERT_EQ(recv(), -1);
    EXPECT_EQ(log, "");
    size_t drop = logged([&] { return frame_give_up(&rx, input.data(), input.size()); });
    EXPECT_EQ(untimed(log), "failed to receive CMUX frame\n");
    EXPECT_EQ(drop, 6u);
    pos = drop;
    feed(make_frame(0x0B, 0xEF, {'n'}));
    ASSERT_EQ(recv(), 1);
    EXPECT_EQ(frame.dlci, 2);
}

struct Control : Recv {
    int ctl(const bytes &info)
    {
        feed(make_frame(0x01, 0xEF, info));
        return recv();
    }
};

TEST_F(Control, ModemStatus)
{
    ASSERT_EQ(ctl({0xE1, 0x05, 0x0B, 0x8C}), 1) << log;
    EXPECT_EQ(frame.num, static_cast<size_t>(CTLMSG_MSC));
    EXPECT_EQ(frame.msc_dlci, 2);
    EXPECT_EQ(frame.v24, 0x8C);
    EXPECT_EQ(frame.has_break, 0);
    EXPECT_EQ(frame.ctl_cr, 0);
    ASSERT_EQ(ctl({0xE3, 0x07, 0x07, 0x0C, 0x01}), 1) << log;
    EXPECT_EQ(frame.has_break, 1);
    EXPECT_EQ(frame.ctl_cr, 1);

    // Bit 0 is the EA bit, set in the last octet; bits 4 and 5 are reserved.
    EXPECT_EQ(ctl({0xE3, 0x05, 0x07, 0x0D}), 1) << log;
    EXPECT_EQ(frame.v24, 0x0D);
    EXPECT_EQ(ctl({0xE3, 0x05, 0x07, 0x01}), 1) << log;
    EXPECT_EQ(ctl({0xE3, 0x05, 0x07, 0x0F}), 1) << log;
    EXPECT_EQ(frame.v24 & V24_FC, V24_FC);
}

TEST_F(Control, OtherMessagesAndLengths)
{
    ASSERT_EQ(ctl({0x21, 0x0B, 't', 'e', 's', 't', '0'}), 1);
    EXPECT_EQ(frame.num, static_cast<size_t>(CTLMSG_TEST));
    EXPECT_EQ(frame.win.len, 5u);
    EXPECT_EQ(frame.win.data, buf.data + 2);
    ASSERT_EQ(ctl({0x61, 0x03, 0x07}), 1);
    EXPECT_EQ(frame.num, static_cast<size_t>(CTLMSG_PSC));
    EXPECT_EQ(frame.value, 0x07);
    ASSERT_EQ(ctl({0x11, 0x03, 0x42}), 1);
    EXPECT_EQ(frame.value, 0x42);
    ASSERT_EQ(ctl({0xC3, 0x01}), 1);
    EXPECT_EQ(frame.num, static_cast<size_t>(CTLMSG_CLD));

    // An unknown command is kept for its NSC.
    EXPECT_EQ(ctl({0x83, 0x01}), 1);
    EXPECT_EQ(frame.num, static_cast<size_t>(CTLMSG_UNKNOWN));
    EXPECT_EQ(frame.value, 0x83);
    // FCoff and FCon (no value) beside PSC (one value octet).
    ASSERT_EQ(ctl({0x63, 0x01}), 1);
    EXPECT_EQ(frame.num, static_cast<size_t>(CTLMSG_FCOFF));
    EXPECT_EQ(frame.ctl_cr, 1);
    ASSERT_EQ(ctl({0xA3, 0x01}), 1);
    EXPECT_EQ(frame.num, static_cast<size_t>(CTLMSG_FCON));
}

// The read-ahead scan: data frames found where they lie; everything else
// left to the decoder, and never a part of a frame.
frame_ahead scan(const bytes &b, size_t from, size_t to, bool shared, mux_data_frame *f)
{
    return frame_at(b.data() + from, b.data() + to, shared, f);
}

TEST(ReadAhead, DataFramesFoundInPlaceWithOrWithoutASharedFlag)
{
    bytes full(126, 0x5A);
    bytes stream = make_frame(0x07, 0xEF, {'a', 'b', 'c'});
    bytes second = make_frame(0x09, 0xFF, {'d', 'e'}); // C/R 0, P/F set
    stream.insert(stream.end(), second.begin() + 1, second.end());
    bytes third = make_frame(0x13, 0xEF, full);
    stream.insert(stream.end(), third.begin(), third.end());
    mux_data_frame f{};
    ASSERT_EQ(scan(stream, 0, stream.size(), false, &f), frame_ahead::data);
    EXPECT_EQ(f.dlci, 1);
    EXPECT_EQ(bytes(f.info, f.info + f.len), (bytes{'a', 'b', 'c'}));
    EXPECT_EQ(f.next, stream.data() + 9);
    ASSERT_EQ(scan(stream, 9, stream.size(), true, &f), frame_ahead::data);
    EXPECT_EQ(f.dlci, 2);
    EXPECT_EQ(bytes(f.info, f.info + f.len), (bytes{'d', 'e'}));
    ASSERT_EQ(scan(stream, 16, stream.size(), true, &f), frame_ahead::data);
    EXPECT_EQ(f.dlci, 4);
    EXPECT_EQ(bytes(f.info, f.info + f.len), full);
    EXPECT_EQ(f.next, stream.data() + stream.size());
    EXPECT_EQ(scan(stream, stream.size(), stream.size(), true, &f), frame_ahead::partial);
}

TEST(ReadAhead, EveryCutOfAFrameIsPartial)
{
    bytes two_octets = {0xF9, 0x07, 0xEF, 0x06, 0x00, 'x', 'y', 'z', 0, 0xF9};
    two_octets[8] = bitwise_crc({0x07, 0xEF, 0x06, 0x00});
    const bytes frames[] = {make_frame(0x07, 0xEF, bytes(100, 1)), make_frame(0x03, 0x73, {}),
                            make_frame(0x03, 0xEF, {0xE3, 0x05, 0x07, 0x0D}), two_octets};
    const frame_ahead whole[] = {frame_ahead::data, frame_ahead::other, frame_ahead::other,
                                 frame_ahead::other};
    for (size_t i = 0; i < 4; ++i) {
        mux_data_frame f{};
        for (size_t cut = 0; cut < frames[i].size(); ++cut) {
            ASSERT_EQ(scan(frames[i], 0, cut, false, &f), frame_ahead::partial) << i << " cut " << cut;
            frame_rx rx{};
            mux_frame frame;
            msg_bufv info;
            size_t used = 1;
            ASSERT_EQ(frame_recv(&rx, frames[i].data(), cut, &frame, &info, &used), frame_result::partial);
            EXPECT_EQ(used, 0u);
        }
        EXPECT_EQ(scan(frames[i], 0, frames[i].size(), false, &f), whole[i]) << i;
    }
}

TEST(ReadAhead, AnythingButAValidDataFrameGoesToTheDecoder)
{
    mux_data_frame f{};
    bytes good = make_frame(0x07, 0xEF, {'o', 'k'});
    auto other = [&](bytes b, bool shared = false) {
        return scan(b, 0, b.size(), shared, &f) == frame_ahead::other;
    };
    EXPECT_TRUE(other({'x', 0xF9, 0x07, 0xEF, 0x01, 0x00, 0xF9})); // garbage before a frame
    bytes idle = {0xF9};
    idle.insert(idle.end(), good.begin(), good.end());
    EXPECT_TRUE(other(idle)); // an idle flag
    bytes b = good;
    b[b.size() - 2] ^= 1;
    EXPECT_TRUE(other(b)); // FCS
    b = good;
    b.back() = 0x7E;
    EXPECT_TRUE(other(b));                                                // closing flag
    EXPECT_TRUE(other(make_frame(0x03, 0xEF, {0xE3, 0x05, 0x07, 0x0D}))); // DLCI 0
    EXPECT_TRUE(other(make_frame(0x17, 0xEF, {'n', 'o'})));               // DLCI 5
    EXPECT_TRUE(other(make_frame(0x06, 0xEF, {'n', 'o'})));               // EA 0
    EXPECT_TRUE(other(make_frame(0x07, 0x3F, {})));                       // SABM
    // After a frame, an octet that is no flag is the next one's address.
    EXPECT_EQ(scan(good, 1, good.size(), true, &f), frame_ahead::data);
    EXPECT_TRUE(other(bytes(good.begin() + 1, good.end()), false));
}

TEST(FrameDump, Lines)
{
    uint8_t data[] = {'a', 'b', 0x0D, 'c', 1, 2, 3, 4, 5, 6, 7, 8};
    msg_bufv v{data, sizeof data};
    mux_frame f{};
    f.type = MUX_UIH;
    f.ea = 1;
    f.cr = 1;
    f.dlci = 3;
    f.num = 1;
    f.bufv = &v;
    f.len = 12;
    log_forget();
    testing::internal::CaptureStdout();
    frame_dump(LOG_ERR, "unhandled CMUX frame ", &f);
    f.dlci = 0;
    f.num = CTLMSG_MSC;
    f.ctl_ea = 1;
    f.ctl_len = 3;
    f.msc_dlci = 2;
    f.v24 = 0x8C;
    f.has_break = 1;
    log_forget(); // (one kind of line)
    frame_dump(LOG_ERR, "p ", &f);
    f.type = 9;
    log_forget();
    frame_dump(LOG_ERR, "q ", &f);
    log_forget();
    frame_dump(LOG_ERR, "n ", nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(
        out.find(" unhandled CMUX frame [UIH, EA=1, C/R=1, P/F=0, DLCI=3] UIH(D)=['ab',0x0d,'c',0x01,0x02,"
                 "0x03,0x04,0x05,0x06...] (12 bytes)\n"),
        std::string::npos)
        << out;
    EXPECT_NE(
        out.find(" p [UIH, EA=1, C/R=1, P/F=0, DLCI=0] UIH(C)=[MSC, EA=1, C/R=0, len=3] DLCI=2, MSC=0x8c "
                 "(break)\n"),
        std::string::npos)
        << out;
    EXPECT_NE(out.find(" q [0x9, EA=1, C/R=1, P/F=0, DLCI=0]\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" n [(nil)]\n"), std::string::npos) << out;
}

} // namespace
