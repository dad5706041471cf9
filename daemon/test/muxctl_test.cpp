#include "cmux.h"
#include "log_capture.h"
#include "fake_ioctl.h"
#include "fake_serport.h"
#include "frame_bytes.h"
#include "muxctl.h"
#include "relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using bytes = std::vector<uint8_t>;

struct Kernel : testing::Test, LogCapture {
    mux_ctl mux{};
    bytes out[MUX_PORTS] = {bytes(72 + MUX_OUT_ADD_MAX), bytes(72 + MUX_OUT_ADD_MAX), bytes(72 + MUX_OUT_ADD_MAX),
                            bytes(72 + MUX_OUT_ADD_MAX)};
    fake_port fp;
    cmux_ports ports{};
    void SetUp() override
    {
        fake_ioctl() = {};
        mux.fd = FAKE_FD;
        mux.info = {72, 16, 0};
        for (int p = 0; p < MUX_PORTS; ++p)
            mux.out[p].msg = out[p].data();
        ports.serport = fp.port;
    }
    static bytes message(uint8_t port, uint8_t type, uint32_t len, const bytes &payload = {})
    {
        bytes m(8 + payload.size());
        mux_msg_hdr hdr{port, type, 0, len};
        memcpy(m.data(), &hdr, 8);
        if (!payload.empty())
            memcpy(m.data() + 8, payload.data(), payload.size());
        return m;
    }
    int dispatch(const bytes &msg)
    {
        bytes full = msg;
        full.resize(mux.info.msg_size);
        return logged([&] {
            cmux_msg_dispatch(&ports, &mux, full.data(), full.size());
            return 0;
        });
    }
};

bytes counting(size_t n, uint8_t from)
{
    bytes data(n);
    for (size_t i = 0; i < n; ++i)
        data[i] = static_cast<uint8_t>(from + i);
    return data;
}

TEST_F(Kernel, EachPortsOctetsAreGatheredIntoWholeMessages)
{
    bytes a = counting(40, 1), b = counting(40, 41), c = counting(10, 200);
    auto &calls = fake_ioctl().calls;
    ASSERT_EQ(mux_ctl_out_add(&mux, 2, a.data(), a.size()), 1);
    ASSERT_EQ(mux_ctl_out_add(&mux, 3, c.data(), c.size()), 1);
    EXPECT_TRUE(calls.empty());
    ASSERT_EQ(mux_ctl_out_add(&mux, 2, b.data(), b.size()), 1);
    // 64 octets fill a message of 72; the other 16 wait for more.
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].request, 0x40484D03u);
    EXPECT_EQ(calls[0].data, message(2, MUX_MSG_DATA, 64, counting(64, 1)));
    EXPECT_TRUE(mux_ctl_out_waiting(&mux));
    EXPECT_EQ(mux_ctl_out_flush(&mux), 1);
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].request, 0x40184D03u);
    EXPECT_EQ(calls[1].data, message(2, MUX_MSG_DATA, 16, counting(16, 65)));
    EXPECT_EQ(calls[2].data, message(3, MUX_MSG_DATA, 10, c));
    EXPECT_FALSE(mux_ctl_out_waiting(&mux));
    EXPECT_EQ(mux.writable, MUX_WRITABLE_YES);
}

TEST_F(Kernel, AFullDeviceKeepsEveryOctetAndARefusingOneDropsThem)
{
    bytes a = counting(70, 1), b = counting(60, 100), c = counting(5, 200);
    fake_ioctl().fail_after = 0;
    fake_ioctl().error = EAGAIN;
    EXPECT_EQ(logged([&] { return mux_ctl_out_add(&mux, 0, a.data(), a.size()); }), 1);
    EXPECT_EQ(mux.writable, MUX_WRITABLE_NO);
    EXPECT_TRUE(log.empty()) << log; // back-pressure is no failure
    // A port with a full message waiting takes nothing more; the others do.
    EXPECT_EQ(mux_ctl_out_add(&mux, 0, c.data(), c.size()), 0);
    EXPECT_EQ(mux_ctl_out_add(&mux, 1, b.data(), b.size()), 1);
    EXPECT_EQ(mux_ctl_out_flush(&mux), 0);
    fake_ioctl() = {};
    EXPECT_EQ(mux_ctl_out_flush(&mux), 1);
    auto &calls = fake_ioctl().calls;
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].data, message(0, MUX_MSG_DATA, 64, counting(64, 1)));
    EXPECT_EQ(calls[1].data, message(0, MUX_MSG_DATA, 6, counting(6, 65)));
    EXPECT_EQ(calls[2].data, message(1, MUX_MSG_DATA, 60, b));
    EXPECT_EQ(mux_ctl_out_add(&mux, 0, c.data(), c.size()), 1);
    fake_ioctl().fail_after = 0;
    fake_ioctl().error = EIO;
    EXPECT_EQ(logged([&] { return mux_ctl_out_flush(&mux); }), 1);
    expect_log("failed to send data msgbuf: Input/output error");
    EXPECT_FALSE(mux_ctl_out_waiting(&mux));
}

TEST_F(Kernel, WriteMessageRequestSizes)
{
    mux_msg_hdr hdr{1, MUX_MSG_MCTRL, 0, 0x0B};
    ASSERT_EQ(mux_ctl_write_msg(&mux, &hdr, 0), 1);
    EXPECT_EQ(fake_ioctl().calls.at(0).request, 0x40084D03u);
    bytes big(100);
    EXPECT_EQ(mux_ctl_write_msg(&mux, big.data(), 65), 0);
    EXPECT_EQ(fake_ioctl().calls.size(), 1u);
    mux_ctl_notify(&mux, 3, 1);
    mux_ctl_notify(&mux, 2, 0);
    EXPECT_EQ(fake_ioctl().calls.at(1).request, 0x4D06u);
    EXPECT_EQ(fake_ioctl().calls.at(1).value, 3u);
    EXPECT_EQ(fake_ioctl().calls.at(2).request, 0x4D07u);
    EXPECT_EQ(fake_ioctl().calls.at(2).value, 2u);
}

TEST_F(Kernel, WritabilityProbeCachedUntilARead)
{
    mux.writable = MUX_WRITABLE_YES;
    EXPECT_EQ(mux_ctl_writable(&mux), 1); // no select on the (fake) descriptor
    fake_ioctl().read_data = message(0, MUX_MSG_OPEN, 0);
    ASSERT_EQ(mux_ctl_read_msg(&mux, bytes(72).data()), 1);
    EXPECT_EQ(fake_ioctl().calls.at(0).request, 0x80484D00u);
    EXPECT_EQ(mux.writable, MUX_WRITABLE_UNKNOWN);
    EXPECT_EQ(mux_ctl_writable(&mux), 0); // probed: the fake descriptor is not selectable
    EXPECT_EQ(mux.writable, MUX_WRITABLE_NO);
}

TEST_F(Kernel, DispatchOfEachMessageType)
{
    ports.port[0].state = PORT_CONNECTED; // data channels wait for DLCI 0
    fp.port->fd = -1;
    dispatch(message(0, MUX_MSG_OPEN, 0));
    EXPECT_EQ(ports.port[1].state, PORT_CONNECTING);
    EXPECT_EQ(fp.line.sent, make_frame(0x07, 0x3F, {}));
    // The modem's UA reaches the kernel as "connected" for port 0.
    fp.line.input = make_frame(0x07, 0x73, {});
    msg_bufv buf{};
    mux_frame frame{};
    ASSERT_EQ(decode_first(fp.line.input, &frame, &buf), 1);
    ASSERT_EQ(frame_handle(&ports, &frame), FRAME_CONSUMED);
    ASSERT_EQ(fake_ioctl().calls.size(), 1u);
    EXPECT_EQ(fake_ioctl().calls[0].request, 0x4D06u);
    EXPECT_EQ(fake_ioctl().calls[0].value, 0u);

    fp.line.sent.clear();
    dispatch(message(0, MUX_MSG_DATA, 5, {'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(fp.line.sent, make_frame(0x07, 0xEF, {'h', 'e', 'l', 'l', 'o'}));
    fp.line.sent.clear();
    dispatch(message(0, MUX_MSG_DATA, 65));
    expect_log("bad length 65 of DATA message for port 1");
    EXPECT_TRUE(fp.line.sent.empty());
    dispatch(message(1, MUX_MSG_DATA, 3, {1, 2, 3}));
    expect_log("port 2 not connected");
    expect_log("failed to send data with len 3 to port 2");
    dispatch(message(1, MUX_MSG_MCTRL, 0x20));
    expect_log("failed to set mctrl 20 on port 2");
    // Closing a channel the modem never opened sends nothing.
    fp.line.sent.clear();
    dispatch(message(1, MUX_MSG_CLOSE, 0));
    EXPECT_EQ(ports.port[2].state, PORT_CLOSED);
    EXPECT_TRUE(fp.line.sent.empty());
    dispatch(message(2, 9, 0));
    expect_log("unhandled hdr 9");
    dispatch(message(7, MUX_MSG_OPEN, 0));
    expect_log("idx 8 out of range");
    expect_log("failed to send connect-async to port 8");
    ports.port[0].state = PORT_CONNECTED;
    fp.line.sent.clear();
    dispatch(message(0, MUX_MSG_MCTRL, MUX_MCTRL_DTR | MUX_MCTRL_RTS));
    EXPECT_EQ(fp.line.sent, make_frame(0x03, 0xEF, {0xE3, 0x05, 0x07, 0x0D}));
    ports.port[3].state = PORT_CONNECTING;
    dispatch(message(2, MUX_MSG_CLOSE, 0));
    expect_log("failed to send disconnect-async to port 3");
}

TEST_F(Kernel, DispatchReadsOneMessage)
{
    fake_ioctl().read_data = message(3, MUX_MSG_OPEN, 0);
    mux_msg_dispatch(&ports, &mux);
    EXPECT_EQ(ports.port[4].state, PORT_CONNECTING);
    fake_ioctl().fail_after = 1;
    fake_ioctl().error = EAGAIN;
    fake_ioctl().read_data = message(2, MUX_MSG_OPEN, 0);
    mux_msg_dispatch(&ports, &mux);
    EXPECT_EQ(ports.port[3].state, PORT_CLOSED);
}

// The relay's read-ahead on a pipe: each read takes a frame off the front
// and brings in as much of the next one (50 octets are held every time).
TEST_F(Kernel, AReadAheadFrameIsGivenUpOnlyWhenItsOctetsStopComing)
{
    int line[2];
    ASSERT_EQ(pipe(line), 0);
    fcntl(line[0], F_SETFL, O_NONBLOCK);
    fp.port->fd = line[0];
    ports.port[0].state = ports.port[1].state = PORT_CONNECTED;
    relay r{&ports, &mux, {}, 0, 0};
    bytes f[4], info[4];
    for (int i = 0; i < 4; ++i)
        f[i] = make_frame(0x05, 0xEF, info[i] = counting(120, static_cast<uint8_t>(60 * i)));
    const long n = static_cast<long>(f[0].size());
    // The octets [from, n) of frame i and the first `next` of frame j.
    auto arrive = [&](int i, long from, int j, long next) {
        bytes octets(f[i].begin() + from, f[i].end());
        octets.insert(octets.end(), f[j].begin(), f[j].begin() + next);
        ASSERT_EQ(write(line[1], octets.data(), octets.size()), static_cast<ssize_t>(octets.size()));
        ASSERT_GT(serport_fill(fp.port), 0);
        logged([&] { return relay_read_ahead(&r), 0; });
    };
    auto deadline = [&](int64_t now_ms) { logged([&] { return relay_partial_deadline(&r, now_ms), 0; }); };
    auto delivered = [&] {
        bytes got;
        for (const ioctl_call &c : fake_ioctl().calls)
            if (c.data[0] == 0 && c.data[1] == MUX_MSG_DATA)
                got.insert(got.end(), c.data.begin() + 8, c.data.end());
        return got;
    };
    arrive(0, 0, 1, 50);
    const int64_t first = r.partial_since;
    ASSERT_NE(first, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    arrive(1, 50, 2, 50);
    deadline(first + RELAY_PARTIAL_FRAME_MS + 5); // octets came meanwhile
    EXPECT_EQ(log, "");
    arrive(2, 50, 3, 50);
    bytes relayed = info[0];
    for (int i : {1, 2})
        relayed.insert(relayed.end(), info[i].begin(), info[i].end());
    EXPECT_EQ(delivered(), relayed);
    // Nothing more comes: the frame is dropped at its deadline, and what
    // follows is taken up.
    deadline(r.partial_since + RELAY_PARTIAL_FRAME_MS - 1);
    EXPECT_EQ(log, "");
    deadline(r.partial_since + RELAY_PARTIAL_FRAME_MS);
    expect_log("failed to receive CMUX frame");
    arrive(3, 50, 0, n);
    relayed.insert(relayed.end(), info[0].begin(), info[0].end());
    EXPECT_EQ(delivered(), relayed);
    fp.port->fd = -1;
    close(line[0]);
    close(line[1]);
}

} // namespace
