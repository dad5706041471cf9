// Client side of the supplicant's control interface: a Unix-domain datagram
// socket over which text commands go out and replies and, once attached,
// unsolicited event messages ("<2>...") come back. Exported from basenative
// with C linkage.
#pragma once

#include <cstddef>

#include <sys/socket.h>
#include <sys/un.h>

#define WPA_CTRL_API __attribute__((visibility("default")))

extern "C" {

// One open control connection. The local socket file exists from a
// successful wpa_ctrl_open to wpa_ctrl_close.
struct wpa_ctrl_conn {
    int s;             // the client's datagram socket
    sockaddr_un local; // its own socket file, "/tmp/wpa_ctrl_<pid>-<n>"
    sockaddr_un dest;  // the supplicant's control socket
};

// Opens a connection to the control socket at `ctrl_path`. Returns a
// connection that the caller releases with wpa_ctrl_close, or null (nothing
// left behind: no descriptor, no socket file).
WPA_CTRL_API wpa_ctrl_conn *wpa_ctrl_open(const char *ctrl_path);

// Removes the local socket file, closes the socket and frees `ctrl`.
WPA_CTRL_API void wpa_ctrl_close(wpa_ctrl_conn *ctrl);

// Sends `cmd` (`cmd_len` bytes, one datagram) and waits up to 2 seconds for
// the reply, which is stored in `reply` (not NUL-terminated) with its length
// in `*reply_len` (in: the buffer's size). Unsolicited messages arriving
// meanwhile go to `msg_cb` (NUL-terminated, cut to one byte less when they
// fill the buffer) or are dropped, and each restarts the 2-second wait.
// Returns 0, -1 on a send or receive failure, -2 on a time-out.
WPA_CTRL_API int wpa_ctrl_request(wpa_ctrl_conn *ctrl, const char *cmd, size_t cmd_len, char *reply,
                                  size_t *reply_len, void (*msg_cb)(char *msg, size_t len));

// Registers (or unregisters) the connection for unsolicited messages.
// 0 on "OK\n", -1 on another reply or a failure, -2 on a time-out.
WPA_CTRL_API int wpa_ctrl_attach(wpa_ctrl_conn *ctrl);
WPA_CTRL_API int wpa_ctrl_detach(wpa_ctrl_conn *ctrl);

// One blocking receive of at most `*reply_len` bytes into `reply`; stores the
// received length. 0, or negative on failure. Not NUL-terminated.
WPA_CTRL_API int wpa_ctrl_recv(wpa_ctrl_conn *ctrl, char *reply, size_t *reply_len);

// 1 if a datagram is waiting, 0 otherwise; never blocks.
WPA_CTRL_API int wpa_ctrl_pending(wpa_ctrl_conn *ctrl);

// The connection's socket descriptor, for the caller's own poll.
WPA_CTRL_API int wpa_ctrl_get_fd(wpa_ctrl_conn *ctrl);

} // extern "C"
