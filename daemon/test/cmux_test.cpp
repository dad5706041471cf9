#include "cmux.h"
#include "log_capture.h"
#include "fake_ioctl.h"
#include "fake_serport.h"
#include "frame_bytes.h"
#include "muxctl.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/ioctl.h>
#include <utility>
#include <vector>

namespace
{

using bytes = std::vector<uint8_t>;

struct Channels : testing::Test, LogCapture {
    fake_port fp;
    cmux_ports ports{};
    std::vector<std::pair<int, int>> notified;
    uint8_t storage[256];
    msg_bufv buf{storage, sizeof storage};

    void SetUp() override
    {
        ports.serport = fp.port;
        fake_ioctl() = {};
    }
    static void record(int port, int connected, void *self)
    {
        static_cast<Channels *>(self)->notified.emplace_back(port, connected);
    }
    // Decodes a frame as it would come from the modem and hands it over.
    int modem(const bytes &f)
    {
        fp.line.input = f;
        fp.line.pos = 0;
        mux_frame frame{};
        buf = {storage, sizeof storage};
        return logged([&] {
            if (!frame_recv(&frame, fp.port, 1, &buf))
                return -1;
            return frame_handle(&ports, &frame);
        });
    }
    int ua(int dlci) { return modem(make_frame(static_cast<uint8_t>(dlci << 2 | 3), 0x73, {})); }
    int dm(int dlci) { return modem(make_frame(static_cast<uint8_t>(dlci << 2 | 3), 0x1F, {})); }
    void connect(int dlci)
    {
        ASSERT_EQ(port_connect(&ports, dlci, record, this), 1);
        ASSERT_EQ(ua(dlci), FRAME_CONSUMED);
        fp.line.sent.clear();
    }
    // The information fields of the UIH frames sent, frame by frame.
    std::vector<bytes> sent_uih()
    {
        std::vector<bytes> out;
        const bytes &s = fp.line.sent;
        for (size_t i = 0; i + 6 <= s.size();) {
            size_t len = s[i + 3] >> 1;
            out.emplace_back(s.begin() + static_cast<long>(i + 4),
                             s.begin() + static_cast<long>(i + 4 + len));
            EXPECT_EQ(bytes(s.begin() + static_cast<long>(i), s.begin() + static_cast<long>(i + 6 + len)),
                      make_frame(s[i + 1], s[i + 2], out.back()));
            i += 6 + len;
        }
        return out;
    }
};

TEST_F(Channels, ConnectSendsSabmAndUaNotifiesTheKernel)
{
    ASSERT_EQ(port_connect(&ports, 0, record, this), 1);
    EXPECT_EQ(fp.line.sent, (bytes{0xF9, 0x03, 0x3F, 0x01, 0x1C, 0xF9}));
    EXPECT_EQ(ports.port[0].state, PORT_CONNECTING);
    EXPECT_EQ(ua(0), FRAME_CONSUMED);
    EXPECT_EQ(ports.port[0].state, PORT_CONNECTED);
    EXPECT_TRUE(notified.empty()); // DLCI 0 is no kernel port
    connect(3);
    EXPECT_EQ(notified, (std::vector<std::pair<int, int>>{{2, 1}}));
    EXPECT_EQ(ua(3), FRAME_REJECTED);
    expect_log("unexpected UA frame");
}

TEST_F(Channels, DataIsCutInto126OctetFrames)
{
    connect(1);
    bytes payload(300);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(port_send_data(&ports, 1, payload.data(), payload.size()), 1);
    auto frames = sent_uih();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].size(), 126u);
    EXPECT_EQ(frames[1].size(), 126u);
    EXPECT_EQ(frames[2].size(), 48u);
    bytes joined;
    for (auto &f : frames)
        joined.insert(joined.end(), f.begin(), f.end());
    EXPECT_EQ(joined, payload);
    EXPECT_EQ(fp.line.sent[1], 0x07);

    fp.line.sent.clear();
    EXPECT_EQ(port_send_data(&ports, 1, payload.data(), 0), 1);
    EXPECT_TRUE(fp.line.sent.empty());
    EXPECT_EQ(logged([&] { return port_send_data(&ports, 2, payload.data(), 1); }), 0);
    expect_log("port 2 not connected");
    EXPECT_EQ(logged([&] { return port_send_data(&ports, 5, payload.data(), 1); }), 0);
    expect_log("idx 5 out of range");
    fp.line.fail_send_after = static_cast<int>(fp.line.send_calls) + 1; // the second frame
    EXPECT_EQ(logged([&] { return port_send_data(&ports, 1, payload.data(), 300); }), 0);
}

TEST_F(Channels, ModemControlBecomesMsc)
{
    connect(0);
    connect(1);
    ASSERT_EQ(port_set_mctrl(&ports, 1, MUX_MCTRL_DTR | MUX_MCTRL_RTS), 1);
    ASSERT_EQ(port_set_mctrl(&ports, 1, MUX_MCTRL_DTR | MUX_MCTRL_RTS | MUX_MCTRL_BREAK), 1);
    ASSERT_EQ(port_set_mctrl(&ports, 1, MUX_MCTRL_FC), 1);
    auto frames = sent_uih();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], (bytes{0xE1, 0x05, 0x07, 0x0D}));
    EXPECT_EQ(frames[1], (bytes{0xE1, 0x07, 0x07, 0x0D, 0x01}));
    EXPECT_EQ(frames[2], (bytes{0xE1, 0x05, 0x07, 0x03}));
    EXPECT_EQ(fp.line.sent[1], 0x03); // on DLCI 0
}

TEST_F(Channels, ModemStatusTable)
{
    EXPECT_EQ(portweaver_modem_status(0x8C, false), 0x0Bu);
    EXPECT_EQ(portweaver_modem_status(0x40, true), MUX_MCTRL_RI | MUX_MCTRL_BREAK);
    EXPECT_EQ(portweaver_modem_status(0x02, false), MUX_MCTRL_FC);
    EXPECT_EQ(portweaver_modem_status(0x00, false), 0u);
}

TEST_F(Channels, ClosingDlci0ClosesAndNotifiesOpenChannels)
{
    connect(0);
    connect(1);
    connect(3);
    notified.clear();
    ASSERT_EQ(port_disconnect(&ports, 0), 1);
    EXPECT_EQ(fp.line.sent, make_frame(0x03, 0x53, {}));
    EXPECT_EQ(ua(0), FRAME_CONSUMED);
    for (int i = 0; i < CMUX_CHANNELS; ++i)
        EXPECT_EQ(ports.port[i].state, PORT_CLOSED) << i;
    EXPECT_EQ(notified, (std::vector<std::pair<int, int>>{{0, 0}, {2, 0}}));
}

TEST_F(Channels, DmAnswers)
{
    ASSERT_EQ(port_connect(&ports, 2, record, this), 1);
    EXPECT_EQ(dm(2), FRAME_CONSUMED);
    EXPECT_EQ(ports.port[2].state, PORT_CLOSED);
    EXPECT_TRUE(notified.empty());
    EXPECT_EQ(dm(2), FRAME_REJECTED);
    expect_log("unexpected DM frame");

    // A refused disconnect leaves a connected channel connected...
    connect(2);
    ASSERT_EQ(port_disconnect(&ports, 2), 1);
    EXPECT_EQ(dm(2), FRAME_CONSUMED);
    EXPECT_EQ(ports.port[2].state, PORT_CONNECTED);
    // ...and one that was never opened closed.
    ASSERT_EQ(port_disconnect(&ports, 4), 1);
    EXPECT_EQ(ports.port[4].state, PORT_DISCONNECTING);
    EXPECT_EQ(dm(4), FRAME_CONSUMED);
    EXPECT_EQ(ports.port[4].state, PORT_CLOSED);
    ASSERT_EQ(port_disconnect(&ports, 4), 1);
    EXPECT_EQ(ua(4), FRAME_CONSUMED);
    EXPECT_EQ(ports.port[4].state, PORT_CLOSED);
    EXPECT_EQ(notified, (std::vector<std::pair<int, int>>{{1, 1}}));
}

TEST_F(Channels, StateChecks)
{
    ASSERT_EQ(port_connect(&ports, 1, record, this), 1);
    EXPECT_EQ(logged([&] { return port_disconnect(&ports, 1); }), 0);
    expect_log("port 1 not connected");
    EXPECT_EQ(port_connect(&ports, 1, record, this), 1); // resent while connecting
    EXPECT_EQ(ua(1), FRAME_CONSUMED);
    ASSERT_EQ(port_disconnect(&ports, 1), 1);
    EXPECT_EQ(logged([&] { return port_connect(&ports, 1, record, this); }), 0);
    expect_log("port 1 not disconnected");
    fp.line.fail_send_after = static_cast<int>(fp.line.send_calls);
    EXPECT_EQ(logged([&] { return port_disconnect(&ports, 1); }), 0);
    EXPECT_EQ(ports.port[1].state, PORT_DISCONNECTING);
}

TEST_F(Channels, UihRouting)
{
    EXPECT_EQ(modem(make_frame(0x07, 0xEF, {'x'})), FRAME_REJECTED);
    expect_log("UIH frame for unconnected port 1");
    connect(1);
    EXPECT_EQ(modem(make_frame(0x07, 0xEF, {'x'})), FRAME_FOR_LOOP);
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0xE1, 0x05, 0x0B, 0x8C})), FRAME_FOR_LOOP);
    EXPECT_EQ(modem(make_frame(0x03, 0x3F, {})), -1); // not decoded at all
}

TEST_F(Channels, KeepAliveTest)
{
    EXPECT_EQ(logged([&] { return port_send_test(&ports); }), 0);
    expect_log("port 0 not connected");
    connect(0);
    ASSERT_EQ(port_send_test(&ports), 1);
    EXPECT_EQ(sent_uih(), (std::vector<bytes>{{0x23, 0x0B, 't', 'e', 's', 't', '0'}}));
    EXPECT_EQ(logged([&] { return port_send_test(&ports); }), 0);
    expect_log("sending TEST although another test is pending for port 0");

    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0x21, 0x09, 't', 'e', 's', 't'})), FRAME_REJECTED);
    expect_log("unexpected length 4 of TEST response");
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0x21, 0x0B, 't', 'e', 's', 't', '1'})), FRAME_REJECTED);
    expect_log("bad content of TEST response");
    EXPECT_EQ(ports.port[0].test_pending, 1);
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0x21, 0x0B, 't', 'e', 's', 't', '0'})), FRAME_CONSUMED);
    EXPECT_EQ(ports.port[0].test_pending, 0);
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0x21, 0x0B, 't', 'e', 's', 't', '0'})), FRAME_REJECTED);
    expect_log("unexpected TEST response");
    // A TEST command of the modem (C/R = 1 in the address) is for the loop.
    EXPECT_EQ(modem(make_frame(0x03, 0xEF, {0x23, 0x0B, 't', 'e', 's', 't', '0'})), FRAME_FOR_LOOP);
}

TEST_F(Channels, PowerSavingDropsDtrOnlyAfterTheFrame)
{
    fp.port->fd = FAKE_FD;
    ASSERT_EQ(port_send_psc(&ports, 0), 1);
    EXPECT_EQ(sent_uih(), (std::vector<bytes>{{0x61, 0x00}}));
    ASSERT_EQ(fake_ioctl().calls.size(), 1u);
    EXPECT_EQ(fake_ioctl().calls[0].request, static_cast<unsigned long>(TIOCMBIC));
    EXPECT_EQ(fake_ioctl().calls[0].data, (bytes{TIOCM_DTR, 0, 0, 0}));
    fp.line.fail_send_after = static_cast<int>(fp.line.send_calls);
    EXPECT_EQ(logged([&] { return port_send_psc(&ports, 0); }), 0);
    EXPECT_EQ(fake_ioctl().calls.size(), 1u);
    fp.line.fail_send_after = -1;
    fake_ioctl().result = -1;
    fake_ioctl().error = ENOTTY;
    EXPECT_EQ(port_send_psc(&ports, 0), 0);
    fp.port->fd = -1;
}

} // namespace
