// The daemon's side of the kernel multiplexer-control device.
#pragma once

#include "mux_msg.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// Data for one kernel port, gathered into a message: the header's room,
// then len octets.
struct mux_out {
    size_t len;
    uint8_t *msg;
};

struct mux_ctl {
    int fd;
    mux_info info;
    void *map;
    int writable; // 0 unknown, 1 writable, 2 not writable
    mux_out out[MUX_PORTS];
};

// The most one mux_ctl_out_add takes (a frame's information field).
constexpr size_t MUX_OUT_ADD_MAX = 128;

constexpr int MUX_WRITABLE_UNKNOWN = 0;
constexpr int MUX_WRITABLE_YES = 1;
constexpr int MUX_WRITABLE_NO = 2;

// Opens, sizes and maps the device; the caller releases it with
// mux_ctl_close.
mux_ctl *mux_ctl_open(const char *path);
void mux_ctl_close(mux_ctl *mux);

// buffer holds info.msg_size octets.
int mux_ctl_read_msg(mux_ctl *mux, void *buffer);
int mux_ctl_write_msg(mux_ctl *mux, void *message, size_t payload_len);

// Octets the modem sent on a channel, for kernel port `port` (0..3), added
// to that port's message, which goes out when it is full or at
// mux_ctl_out_flush. 1 when taken; 0 when the port's full message
// could not go yet because the device is full (nothing taken). len is at
// most MUX_OUT_ADD_MAX.
int mux_ctl_out_gather(mux_ctl *mux, int port, const uint8_t *data, size_t len);
// The most payload a message holds.
inline size_t mux_ctl_payload_max(const mux_ctl *mux)
{
    return mux->info.msg_size - sizeof(mux_msg_hdr);
}
// A copy of at most MUX_OUT_ADD_MAX octets. Most are whole frames of more
// than 64: two overlapping halves of fixed size are a few vector moves,
// where a copy of a length known to be small becomes a loop.
inline void mux_ctl_copy(uint8_t *to, const uint8_t *from, size_t len)
{
    if (len >= 64) {
        memcpy(to, from, 64);
        memcpy(to + len - 64, from + len - 64, 64);
    } else {
        memcpy(to, from, len);
    }
}
inline int mux_ctl_out_add(mux_ctl *mux, int port, const uint8_t *data, size_t len)
{
    // The common case at once: a message that is not full yet.
    mux_out &out = mux->out[port];
    if (out.len + len < mux_ctl_payload_max(mux)) {
        mux_ctl_copy(out.msg + sizeof(mux_msg_hdr) + out.len, data, len);
        out.len += len;
        return 1;
    }
    return mux_ctl_out_gather(mux, port, data, len);
}
// Sends what was gathered as DATA messages of at most (message size - 8)
// octets: 1 when nothing waits any more (sent, or refused for good with a
// log line), 0 when the device is full (the rest waits).
int mux_ctl_out_flush(mux_ctl *mux);
inline bool mux_ctl_out_waiting(const mux_ctl *mux)
{
    for (const mux_out &out : mux->out)
        if (out.len > 0)
            return true;
    return false;
}
void mux_ctl_notify(mux_ctl *mux, int port, int connected);
int mux_ctl_writable(mux_ctl *mux);
// Whether a message waits to be read, without waiting.
int mux_ctl_readable(const mux_ctl *mux);
