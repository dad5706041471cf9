// The daemon's side of the kernel multiplexer-control device.
#pragma once

#include "mux_msg.h"

#include <cstddef>
#include <cstdint>

struct mux_ctl {
    int fd;
    mux_info info;
    void *map;
    int writable; // 0 unknown, 1 writable, 2 not writable
};

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
int mux_ctl_send_data(mux_ctl *mux, int port, const void *data, size_t len);
// Forwards octets the modem sent on a channel as DATA messages of at most
// (message size - 8) octets each, stopping at the first that fails; returns
// how many octets were delivered.
size_t portweaver_mux_forward(mux_ctl *mux, int port, const uint8_t *data, size_t len);
void mux_ctl_notify(mux_ctl *mux, int port, int connected);
int mux_ctl_writable(mux_ctl *mux);
