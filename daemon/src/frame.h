// Frames of the 27.010 basic option and the control messages on DLCI 0.
#pragma once

#include "log.h"
#include "serport.h"

#include <cstddef>
#include <cstdint>

constexpr uint8_t MUX_FLAG = 0xF9;
constexpr int MUX_MAX_DLCI = 4;
// Largest information field: the length must fit one length octet.
constexpr size_t MUX_MAX_INFO = 127;
// The daemon's data frames carry at most this much (kept below the limit).
constexpr size_t MUX_DATA_PIECE = 126;

// The FCS register step and the table behind it.
extern const uint8_t frame_crc_table[256];
uint8_t frame_fcs(uint8_t fcs, const uint8_t *data, size_t len);
// The register over address, control and one length octet: all that a UIH
// frame's FCS covers.
inline uint8_t frame_fcs3(uint8_t address, uint8_t control, uint8_t length)
{
    const uint8_t *t = frame_crc_table;
    return t[t[t[0xFF ^ address] ^ control] ^ length];
}

// Frame type numbers.
constexpr int MUX_SABM = 0;
constexpr int MUX_UA = 1;
constexpr int MUX_DM = 2;
constexpr int MUX_DISC = 3;
constexpr int MUX_UIH = 4;

// A frame's control octet as sent (P/F set on SABM and DISC), and its P/F bit.
constexpr uint8_t CONTROL_SABM = 0x3F;
constexpr uint8_t CONTROL_DISC = 0x53;
constexpr uint8_t CONTROL_UIH = 0xEF;
constexpr uint8_t CONTROL_UA = 0x63;
constexpr uint8_t CONTROL_DM = 0x0F;
constexpr uint8_t CONTROL_PF = 0x10;

// The numbers of the control messages on DLCI 0 (mux_frame::num).
constexpr int CTLMSG_CLD = 3;
constexpr int CTLMSG_TEST = 4;
constexpr int CTLMSG_PSC = 6;
constexpr int CTLMSG_MSC = 7;
constexpr int CTLMSG_NSC = 8;
// Flow control for all channels at once (value length 0; a PSC carries one
// value octet, so the two share a type octet without ambiguity).
constexpr int CTLMSG_FCON = 9;
constexpr int CTLMSG_FCOFF = 10;
// A type the daemon does not know: `value` holds the type octet, so that a
// command can be answered with NSC.
constexpr int CTLMSG_UNKNOWN = 15;

// Type octets (EA set) of the control messages the daemon sends.
// The daemon is the initiator: its commands carry C/R = 1, its responses 0.
constexpr uint8_t CTLMSG_MSC_CMD = 0xE3;
constexpr uint8_t CTLMSG_CR = 0x02;
constexpr uint8_t CTLMSG_TEST_CMD = 0x23;
constexpr uint8_t CTLMSG_PSC_CMD = 0x61;
constexpr uint8_t CTLMSG_NSC_RSP = 0x11;
constexpr uint8_t CTLMSG_CLD_CMD = 0xC3;

// V.24 signal octet of MSC.
constexpr uint8_t V24_EA = 0x01;
constexpr uint8_t V24_FC = 0x02;
constexpr uint8_t V24_RTC = 0x04;
constexpr uint8_t V24_RTR = 0x08;
constexpr uint8_t V24_IC = 0x40;
constexpr uint8_t V24_DV = 0x80;
// Reserved bits of the V.24 octet (bit 0 is EA, 1 in the last octet).
constexpr uint8_t V24_RESERVED = 0x30;

// The address octet: DLCI, C/R (1 on the daemon's commands and data, 0 on
// its responses) and EA.
constexpr uint8_t frame_address(int dlci, bool cr = true)
{
    return static_cast<uint8_t>(dlci << 2 | (cr ? 0x02 : 0x00) | 0x01);
}

struct mux_frame {
    int dlci;
    uint8_t ea;
    uint8_t cr;
    int type;
    uint8_t pf;
    int len;
    // UIH on DLCI 1..4: num = 1, bufv = the receive buffer holding len
    // octets. UIH on DLCI 0: num = the control message number.
    size_t num;
    msg_bufv *bufv;
    uint8_t ctl_ea;
    uint8_t ctl_cr;
    int ctl_len;
    // TEST: the pattern, a window into the receive buffer.
    size_t win_num;
    msg_bufv win;
    // MSC
    int msc_dlci;
    uint8_t v24;
    uint8_t has_break;
    // PSC and NSC
    uint8_t value;
};

int frame_send(serport *port, const uint8_t header[2], size_t count, const msg_bufv *bufv);
// Sends len octets on a data channel as UIH frames of at most MUX_DATA_PIECE
// octets, many frames to one send and the octets not copied. The caller
// has made sure that the ring has room for all of them.
int frame_send_data(serport *port, int dlci, const uint8_t *data, size_t len);
// The receiver's state between frames.
struct frame_rx {
    uint8_t shared_flag; // the last frame's closing flag may open the next one
    uint8_t quiet;       // what comes before the first frame is skipped without a word
};
enum class frame_result {
    partial, // part of a frame: nothing taken, more must come first
    frame,   // `frame` holds a valid frame
    dropped, // rejected (logged) or skipped
};
// Decodes the frame at the front of what the line delivered, p[0, avail),
// without waiting for anything: *used is what it took (0 when partial). The
// frame's information field stays where it is: bufv is set to it.
frame_result frame_recv(frame_rx *rx, const uint8_t *p, size_t avail, mux_frame *frame, msg_bufv *bufv,
                        size_t *used);
// The rest of the partial frame at p[0, avail) did not come in time: logs
// the loss and returns the octets to drop (up to the next frame start).
size_t frame_give_up(frame_rx *rx, const uint8_t *p, size_t avail);
// The checks of a frame whose FCS was good; fills `frame`. 1 if valid.
int frame_check(mux_frame *frame, uint8_t address, uint8_t control, msg_bufv *info);
// The read-ahead scan: data frames are found where they are and their
// information fields handed on from there. Inline, as it runs per frame.

// What the front of a stretch of read-ahead holds.
enum class frame_ahead {
    partial, // part of a frame (or nothing): more must be read first
    other,   // anything else, for frame_recv: control frames, garbage
    data,    // a valid UIH frame on a data channel
};

// A data frame found in the read-ahead: its information field in place, and
// where the next frame begins.
struct mux_data_frame {
    int dlci;
    const uint8_t *info;
    size_t len;
    const uint8_t *next;
};

// Looks at the frame at p (before end). `shared`: the last frame's closing
// flag may be this one's opening flag (some modems send one flag between
// frames). Idle flags, two length octets, control frames and failed checks
// are `other`: the decoder takes them and says what is wrong.
inline frame_ahead frame_at(const uint8_t *p, const uint8_t *end, bool shared, mux_data_frame *frame)
{
    if (p == end)
        return frame_ahead::partial;
    const uint8_t *q = p + (*p == MUX_FLAG); // the address octet
    if (q == p && !shared)
        return frame_ahead::other; // garbage: the decoder hunts
    if (end - q < 3)
        return frame_ahead::partial;
    const unsigned address = q[0];
    const unsigned control = q[1];
    const unsigned length = q[2];
    const size_t len = length >> 1;
    const size_t size = 3 + !(length & 0x01) + len + 2; // from the address on
    if (size > static_cast<size_t>(end - q) && address != MUX_FLAG)
        return frame_ahead::partial;
    // EA set and DLCI 1..4 (address 0x05..0x13), UIH, one length octet.
    const unsigned header = address | control << 8 | length << 16;
    if ((header & 0x01EF01) != (0x010001 | CONTROL_UIH << 8) || address - 0x04 >= 0x10)
        return frame_ahead::other;
    const uint8_t *info = q + 3;
    if (info[len] != static_cast<uint8_t>(~frame_fcs3(q[0], q[1], q[2])) || info[len + 1] != MUX_FLAG)
        return frame_ahead::other;
    *frame = {static_cast<int>(address >> 2), info, len, info + len + 2};
    return frame_ahead::data;
}

void frame_dump(uint32_t level, const char *prefix, const mux_frame *frame);

// Decodes a control message (information field of a UIH on DLCI 0) into the
// frame; 1 if valid. Used by frame_recv, exposed for tests and fuzzing.
int frame_ctl_decode(mux_frame *frame, msg_bufv *info);
