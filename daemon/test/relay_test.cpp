#include "relay.h"

#include "cmux.h"
#include "fake_ioctl.h"
#include "fake_serport.h"
#include "frame_bytes.h"
#include "log_capture.h"
#include "muxctl.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using bytes = std::vector<uint8_t>;

// The read-ahead of a relay on a pipe (the line) whose data frames on DLCI
// 1 go to a recording kernel device.
struct Relay : testing::Test, LogCapture {
    fake_port fp;
    cmux_ports ports{};
    mux_ctl mux{};
    bytes out[MUX_PORTS];
    relay r{};
    int line[2] = {-1, -1};

    void SetUp() override
    {
        fake_ioctl() = {};
        mux.fd = FAKE_FD;
        mux.info = {512, 16, 0};
        for (int p = 0; p < MUX_PORTS; ++p) {
            out[p].resize(512 + MUX_OUT_ADD_MAX);
            mux.out[p].msg = out[p].data();
        }
        ASSERT_EQ(pipe(line), 0);
        fcntl(line[0], F_SETFL, O_NONBLOCK);
        fp.port->fd = line[0];
        ports.serport = fp.port;
        ports.port[0].state = PORT_CONNECTED;
        ports.port[1].state = PORT_CONNECTED;
        r.ports = &ports;
        r.mux = &mux;
    }
    void TearDown() override
    {
        fp.port->fd = -1;
        close(line[0]);
        close(line[1]);
    }
    // Octets on the line, then what the relay makes of them.
    void arrive(const bytes &octets)
    {
        ASSERT_EQ(write(line[1], octets.data(), octets.size()), static_cast<ssize_t>(octets.size()));
        ASSERT_GT(serport_fill(fp.port), 0);
        logged([&] {
            relay_read_ahead(&r);
            return 0;
        });
    }
    void deadline(int64_t now_ms)
    {
        logged([&] {
            relay_partial_deadline(&r, now_ms);
            return 0;
        });
    }
    // What kernel port 0 received, in order.
    bytes delivered() const
    {
        bytes got;
        for (const ioctl_call &c : fake_ioctl().calls) {
            mux_msg_hdr hdr;
            memcpy(&hdr, c.data.data(), sizeof hdr);
            if (hdr.port == 0 && hdr.type == MUX_MSG_DATA)
                got.insert(got.end(), c.data.begin() + 8, c.data.begin() + 8 + hdr.len);
        }
        return got;
    }
};

bytes info_of(uint8_t from)
{
    bytes b(120);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<uint8_t>(from + i);
    return b;
}

bytes piece(const bytes &b, size_t from, size_t to)
{
    return bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

bytes operator+(bytes a, const bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(Relay, AFrameIsGivenUpOnlyWhenItsOctetsStopComing)
{
    const bytes a = info_of(0), b = info_of(60), c = info_of(120), d = info_of(180);
    const bytes fa = make_frame(0x05, 0xEF, a), fb = make_frame(0x05, 0xEF, b), fc = make_frame(0x05, 0xEF, c),
                fd = make_frame(0x05, 0xEF, d);
    // Each read takes a frame off the front and brings in as much of the
    // next one: the read-ahead holds 50 octets every time, and the frame
    // behind them is still coming.
    arrive(fa + piece(fb, 0, 50));
    const int64_t first = r.partial_since;
    ASSERT_NE(first, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    arrive(piece(fb, 50, fb.size()) + piece(fc, 0, 50));
    deadline(first + RELAY_PARTIAL_FRAME_MS + 5);
    EXPECT_EQ(log, "");
    arrive(piece(fc, 50, fc.size()) + piece(fd, 0, 50));
    EXPECT_EQ(delivered(), a + b + c);
    EXPECT_EQ(log, "");
    // Nothing more comes: the frame is dropped at its deadline, and what
    // follows is taken up.
    deadline(r.partial_since + RELAY_PARTIAL_FRAME_MS - 1);
    EXPECT_EQ(log, "");
    deadline(r.partial_since + RELAY_PARTIAL_FRAME_MS);
    expect_log("failed to receive CMUX frame");
    arrive(piece(fd, 50, fd.size()) + fa);
    EXPECT_EQ(delivered(), a + b + c + a);
}

} // namespace
