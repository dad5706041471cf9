#include "cmux.h"
#include "fake_ioctl.h"
#include "fake_serport.h"
#include "frame_bytes.h"
#include "log_capture.h"
#include "muxctl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
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
        // Data channels are opened once DLCI 0 is: most cases start there.
        ports.port[0].state = PORT_CONNECTED;
    }
    void TearDown() override
    {
        for (cmux_channel &c : ports.port)
            free(c.queue); // the port itself belongs to the fake
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
            if (!decode_first(fp.line.input, &frame, &buf))
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
    ports.port[0].state = PORT_CLOSED;
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
    const size_t calls = fp.line.send_calls;
    ASSERT_EQ(port_send_data(&ports, 1, payload.data(), payload.size()), 1);
    EXPECT_EQ(fp.line.send_calls, calls + 1); // the frames the line has room for in one send
    cmux_pump(&ports);                        // and the rest
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
    fp.line.fail_send_after = static_cast<int>(fp.line.send_calls);
    EXPECT_EQ(logged([&] { return port_send_data(&ports, 1, payload.data(), 300); }), 0);
    expect_log("portweaver_frame_send failed");
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
    EXPECT_EQ(frames[0], (bytes{0xE3, 0x05, 0x07, 0x0D}));
    EXPECT_EQ(frames[1], (bytes{0xE3, 0x07, 0x07, 0x0D, 0x01}));
    EXPECT_EQ(frames[2], (bytes{0xE3, 0x05, 0x07, 0x03}));
    EXPECT_EQ(fp.line.sent[1], 0x03); // on DLCI 0
}

TEST_F(Channels, ModemStatusTable)
{
    EXPECT_EQ(cmux_modem_status(0x8C, false), 0x0Bu);
    EXPECT_EQ(cmux_modem_status(0x40, true), MUX_MCTRL_RI | MUX_MCTRL_BREAK);
    EXPECT_EQ(cmux_modem_status(0x02, false), MUX_MCTRL_FC);
    EXPECT_EQ(cmux_modem_status(0x00, false), 0u);
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

    // DM to a DISC: the modem has no such connection, the channel is
    // closed and the port learns it (and may be opened again).
    connect(2);
    ASSERT_EQ(port_disconnect(&ports, 2), 1);
    EXPECT_EQ(dm(2), FRAME_CONSUMED);
    EXPECT_EQ(ports.port[2].state, PORT_CLOSED);
    // A DM on a connected channel, F = 0 as well, closes it.
    connect(3);
    EXPECT_EQ(modem(make_frame(0x0F, 0x0F, {})), FRAME_CONSUMED);
    EXPECT_EQ(ports.port[3].state, PORT_CLOSED);
    // Closing a channel that was never opened sends nothing: the port is
    // told at once.
    fp.line.sent.clear();
    ASSERT_EQ(port_disconnect(&ports, 4), 1);
    EXPECT_EQ(ports.port[4].state, PORT_CLOSED);
    EXPECT_TRUE(fp.line.sent.empty());
    EXPECT_EQ(notified, (std::vector<std::pair<int, int>>{{1, 1}, {1, 0}, {2, 1}, {2, 0}}));
    // DM on DLCI 0: the multiplexer is over.
    EXPECT_EQ(dm(0), FRAME_CONSUMED);
    EXPECT_EQ(ports.mux_down, 1);
}

TEST_F(Channels, ModemCommandsAreAnswered)
{
    connect(1);
    // DISC from the modem: UA with F, address C/R = 0; the port is told.
    EXPECT_EQ(modem(make_frame(0x05, 0x53, {})), FRAME_CONSUMED);
    EXPECT_EQ(fp.line.sent, make_frame(0x05, 0x73, {}));
    EXPECT_EQ(ports.port[1].state, PORT_CLOSED);
    EXPECT_EQ(notified.back(), (std::pair<int, int>{0, 0}));
    // DISC for a closed channel, SABM: DM.
    fp.line.sent.clear();
    EXPECT_EQ(modem(make_frame(0x05, 0x53, {})), FRAME_CONSUMED);
    EXPECT_EQ(modem(make_frame(0x09, 0x3F, {})), FRAME_CONSUMED);
    bytes dms = make_frame(0x05, 0x1F, {});
    bytes dm2 = make_frame(0x09, 0x1F, {});
    dms.insert(dms.end(), dm2.begin(), dm2.end());
    EXPECT_EQ(fp.line.sent, dms);
    // MSC commands, for an unopened DLCI too, get their response (C/R = 0,
    // same values); responses are never answered.
    fp.line.sent.clear();
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0xE3, 0x05, 0x0F, 0x0D})), FRAME_FOR_LOOP);
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0xE1, 0x05, 0x0F, 0x01})), FRAME_FOR_LOOP);
    EXPECT_EQ(sent_uih(), (std::vector<bytes>{{0xE1, 0x05, 0x0F, 0x0D}}));
    // The answer to our own MSC is not the modem's status.
    connect(2);
    ASSERT_EQ(port_set_mctrl(&ports, 2, MUX_MCTRL_DTR), 1);
    fp.line.sent.clear();
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0xE1, 0x05, 0x0B, 0x05})), FRAME_CONSUMED);
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0xE1, 0x05, 0x0B, 0x05})), FRAME_FOR_LOOP);
    EXPECT_TRUE(fp.line.sent.empty());
    // TEST command: echoed. Unknown command: NSC with its type octet.
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0x23, 0x05, 'a', 'b'})), FRAME_CONSUMED);
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0x83, 0x01})), FRAME_CONSUMED);
    EXPECT_EQ(sent_uih(), (std::vector<bytes>{{0x21, 0x05, 'a', 'b'}, {0x11, 0x03, 0x83}}));
}

TEST_F(Channels, FlowControlHoldsDataBackInOrder)
{
    connect(1);
    connect(2);
    // FC on DLCI 1 from the modem's MSC: DLCI 1 gets nothing, DLCI 2 flows.
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0xE3, 0x05, 0x07, 0x0F})), FRAME_FOR_LOOP);
    fp.line.sent.clear();
    bytes a(200, 'a'), b(100, 'b');
    ASSERT_EQ(port_send_data(&ports, 1, a.data(), a.size()), 1);
    ASSERT_EQ(port_send_data(&ports, 2, b.data(), 10), 1);
    ASSERT_EQ(port_send_data(&ports, 1, b.data(), b.size()), 1);
    EXPECT_EQ(sent_uih(), (std::vector<bytes>{bytes(10, 'b')}));
    EXPECT_EQ(ports.port[1].queued, 300u);
    EXPECT_EQ(cmux_queue_room(&ports), CHANNEL_QUEUE_SIZE - 300);
    // Released: the held data goes in order, in 126-octet pieces.
    fp.line.sent.clear();
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0xE3, 0x05, 0x07, 0x0D})), FRAME_FOR_LOOP);
    cmux_pump(&ports);
    std::vector<bytes> got = sent_uih();
    ASSERT_EQ(got.size(), 4u); // the MSC response, then 126 + 126 + 48
    bytes all;
    for (size_t i = 1; i < got.size(); ++i)
        all.insert(all.end(), got[i].begin(), got[i].end());
    bytes want = a;
    want.insert(want.end(), b.begin(), b.end());
    EXPECT_EQ(all, want);
    EXPECT_EQ(ports.port[1].queued, 0u);
    // FCoff stops every channel until FCon; both are answered.
    fp.line.sent.clear();
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0x63, 0x01})), FRAME_CONSUMED);
    ASSERT_EQ(port_send_data(&ports, 2, b.data(), 5), 1);
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0xA3, 0x01})), FRAME_CONSUMED);
    EXPECT_EQ(sent_uih(), (std::vector<bytes>{{0x61, 0x01}, {0xA1, 0x01}, bytes(5, 'b')}));
}

// The queue is a ring: data that goes round its end several times, in
// pieces of any size, leaves in order; a frame cut by the end goes whole.
TEST_F(Channels, QueueWrapsInOrder)
{
    for (size_t chunk : {size_t{1}, size_t{125}, size_t{511}, size_t{4000}}) {
        SCOPED_TRACE(chunk);
        connect(1);
        bytes in;
        while (in.size() < 3 * CHANNEL_QUEUE_SIZE) {
            if (cmux_queue_room(&ports) < chunk) {
                cmux_pump(&ports);
                continue;
            }
            for (size_t k = 0; k < chunk; ++k)
                in.push_back(static_cast<uint8_t>(in.size() * 7 + in.size() / 251));
            ASSERT_EQ(port_send_data(&ports, 1, in.data() + in.size() - chunk, chunk), 1);
        }
        while (ports.port[1].queued > 0)
            cmux_pump(&ports);
        bytes out;
        for (const bytes &f : sent_uih())
            out.insert(out.end(), f.begin(), f.end());
        EXPECT_EQ(out, in);
        ports.port[1].state = PORT_CLOSED;
    }
}

// The pump says when it can send more, from the driver's count when that is
// more than the rate says (a line the modem stopped is not polled in a busy
// loop), and asks the driver nothing while no data may go.
TEST_F(Channels, PumpWaitsForTheLine)
{
    // TIOCOUTQ, FC, frames sent, the wait: two frames, the next when one has
    // left; the driver holds more than a frame; a stopped line; FC.
    const int cases[][4] = {{0, 0, 2, 12}, {200, 0, 0, 6}, {1000, 0, 0, 76}, {0, 1, 0, -1}};
    connect(1);
    ports.serport->fd = FAKE_FD;
    const bytes data(1000, 'd');
    for (const auto &c : cases) {
        SCOPED_TRACE(c[0]);
        ports.port[1].fc = 1;
        ASSERT_EQ(port_send_data(&ports, 1, data.data(), data.size()), 1);
        ports.port[1].fc = static_cast<uint8_t>(c[1]);
        fake_ioctl() = {};
        fake_ioctl().outq = c[0];
        fp.line.sent.clear();
        EXPECT_EQ(cmux_pump(&ports), c[3]);
        EXPECT_EQ(sent_uih().size(), static_cast<size_t>(c[2]));
        EXPECT_EQ(fake_ioctl().calls.size(), c[1] ? 0u : 1u);
        ports.port[1].queued = ports.port[1].qhead = 0;
    }
    ports.serport->fd = -1;
}

TEST_F(Channels, RetransmissionsAndTheWaitForDlci0)
{
    ports.port[0].state = PORT_CLOSED;
    // A data channel's SABM waits for DLCI 0.
    ASSERT_EQ(port_connect(&ports, 2, record, this), 1);
    EXPECT_TRUE(fp.line.sent.empty());
    ASSERT_EQ(port_connect(&ports, 0, record, this), 1);
    EXPECT_EQ(fp.line.sent, make_frame(0x03, 0x3F, {}));
    EXPECT_GE(cmux_timeout(&ports), 0);
    EXPECT_LE(cmux_timeout(&ports), MUX_T1_MS);
    // No UA within T1: sent again, N2 times, then DLCI 0 has failed.
    for (int i = 0; i < MUX_N2; ++i) {
        ports.port[0].deadline = 1;
        fp.line.sent.clear();
        ASSERT_EQ(cmux_tick(&ports), 1);
        EXPECT_EQ(fp.line.sent, make_frame(0x03, 0x3F, {}));
    }
    ports.port[0].deadline = 1;
    EXPECT_EQ(cmux_tick(&ports), 0);
    // A UA (late, or to a retry) opens it, and the held SABM follows.
    ASSERT_EQ(port_connect(&ports, 0, record, this), 1);
    ports.port[0].deadline = 1;
    ASSERT_EQ(cmux_tick(&ports), 1);
    fp.line.sent.clear();
    EXPECT_EQ(ua(0), FRAME_CONSUMED);
    EXPECT_EQ(fp.line.sent, make_frame(0x0B, 0x3F, {}));
    EXPECT_EQ(ua(0), FRAME_CONSUMED) << log; // the answer to the retry: no news
    // A data channel that never opens is closed and its port told.
    for (int i = 0; i <= MUX_N2; ++i) {
        ports.port[2].deadline = 1;
        ASSERT_EQ(cmux_tick(&ports), 1);
    }
    EXPECT_EQ(ports.port[2].state, PORT_CLOSED);
    EXPECT_EQ(notified.back(), (std::pair<int, int>{1, 0}));
    // Its UAs come after all (a modem busy sending): the first opens the
    // channel for the port, those to the retries are no news, and only
    // one beyond them is unexpected.
    EXPECT_EQ(ua(2), FRAME_CONSUMED);
    EXPECT_EQ(ports.port[2].state, PORT_CONNECTED);
    EXPECT_EQ(notified.back(), (std::pair<int, int>{1, 1}));
    expect_log("modem opened DLCI 2 late");
    for (int i = 0; i < MUX_N2; ++i) {
        EXPECT_EQ(ua(2), FRAME_CONSUMED);
        EXPECT_EQ(log, "");
    }
    EXPECT_EQ(ua(2), FRAME_REJECTED);
    expect_log("unexpected UA frame");
    // A DISC without answer: sent again, then closed.
    connect(3);
    ASSERT_EQ(port_disconnect(&ports, 3), 1);
    for (int i = 0; i <= MUX_N2; ++i) {
        ports.port[3].deadline = 1;
        ASSERT_EQ(cmux_tick(&ports), 1);
    }
    EXPECT_EQ(ports.port[3].state, PORT_CLOSED);
    EXPECT_EQ(notified.back(), (std::pair<int, int>{2, 0}));
    EXPECT_EQ(cmux_timeout(&ports), -1);
}

TEST_F(Channels, StateChecks)
{
    ASSERT_EQ(port_connect(&ports, 1, record, this), 1);
    EXPECT_EQ(logged([&] { return port_disconnect(&ports, 1); }), 0);
    expect_log("port 1 not connected");
    const uint8_t hi[] = {'h', 'i'};
    fp.line.sent.clear();
    EXPECT_EQ(port_send_data(&ports, 1, hi, sizeof hi), 1); // waits for the UA
    EXPECT_TRUE(fp.line.sent.empty());
    EXPECT_EQ(port_connect(&ports, 1, record, this), 1); // resent while connecting
    EXPECT_EQ(ua(1), FRAME_CONSUMED);
    fp.line.sent.clear();
    cmux_pump(&ports);
    EXPECT_EQ(sent_uih(), (std::vector<bytes>{{'h', 'i'}}));
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
    EXPECT_EQ(modem(make_frame(0x03, 0x3F, {})), FRAME_CONSUMED); // answered with DM
}

TEST_F(Channels, KeepAliveTest)
{
    ports.port[0].state = PORT_CLOSED;
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
    // The message's own C/R tells an answer: C/R = 1 in the address does not
    // make a response a command, and a command is echoed, not taken.
    ASSERT_EQ(port_send_test(&ports), 1);
    EXPECT_EQ(modem(make_frame(0x03, 0xEF, {0x21, 0x0B, 't', 'e', 's', 't', '0'})), FRAME_CONSUMED);
    EXPECT_EQ(ports.port[0].test_pending, 0);
    fp.line.sent.clear();
    EXPECT_EQ(modem(make_frame(0x01, 0xEF, {0x23, 0x0B, 't', 'e', 's', 't', '0'})), FRAME_CONSUMED);
    EXPECT_EQ(sent_uih(), (std::vector<bytes>{{0x21, 0x0B, 't', 'e', 's', 't', '0'}}));
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

// A line that takes everything at once (a pipe, like a pseudo-terminal):
// what goes to it is bounded by the line's rate, so that answers wait
// behind at most CMUX_COMMIT_LIMIT octets and FC stops its channel alone.
TEST(Line, AnswersGoAheadOfQueuedDataAndFcStopsOneChannel)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    cmux_ports ports{};
    ports.serport = serport_wrap(fds[1]);
    ports.port[0].state = ports.port[1].state = ports.port[2].state = PORT_CONNECTED;
    auto line = [&] {
        uint8_t buf[4096];
        ssize_t n = read(fds[0], buf, sizeof buf);
        return n > 0 ? bytes(buf, buf + n) : bytes();
    };
    auto msc = [&](uint8_t v24) {
        bytes f = make_frame(0x01, 0xEF, {0xE3, 0x05, 0x07, v24});
        msg_bufv v{};
        mux_frame frame{};
        ASSERT_TRUE(decode_first(f, &frame, &v));
        EXPECT_EQ(frame_handle(&ports, &frame), FRAME_FOR_LOOP);
        // The answer goes at once, ahead of the queued data.
        bytes out = line();
        ASSERT_GE(out.size(), 10u);
        EXPECT_EQ(bytes(out.begin(), out.begin() + 10), make_frame(0x03, 0xEF, {0xE1, 0x05, 0x07, v24}));
        EXPECT_LE(out.size(), 10 + CMUX_COMMIT_LIMIT);
    };
    const bytes a(1000, 'a'), b(2, 'b');
    ASSERT_EQ(port_send_data(&ports, 1, a.data(), a.size()), 1);
    EXPECT_EQ(line().size(), CMUX_COMMIT_LIMIT);
    msc(0x0F); // FC on DLCI 1
    ASSERT_EQ(port_send_data(&ports, 2, b.data(), b.size()), 1);
    EXPECT_EQ(line(), bytes()); // the line is busy
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    cmux_pump(&ports);
    EXPECT_EQ(line(), make_frame(0x0B, 0xEF, b)); // DLCI 2 flows, DLCI 1 waits
    EXPECT_EQ(ports.port[1].queued, 1000 - CMUX_COMMIT_LIMIT / (MUX_DATA_PIECE + 6) * MUX_DATA_PIECE);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    msc(0x0D); // released: its data follows the answer
    // A close waits for the data written before it.
    ASSERT_EQ(port_disconnect(&ports, 1), 1);
    for (int i = 0; i < 50 && ports.port[1].queued > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        cmux_pump(&ports);
    }
    EXPECT_EQ(ports.port[1].state, PORT_DISCONNECTING);
    serport_close(ports.serport);
    free(ports.port[1].queue);
    free(ports.port[2].queue);
    close(fds[0]);
}

} // namespace
