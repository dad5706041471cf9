// The process-wide command and event connections to the supplicant behind
// ControlInterfaceImpl, without the JVM: the binding converts arguments and
// results, this unit owns the connections and their hand-over between
// threads.
//
// The event connection is read by a receive loop on one Java thread and
// closed from another. Closing wakes the loop and waits until it has left
// its wait-and-receive step before the connection is detached and its
// descriptor closed, so the loop never reads a closed or reused descriptor,
// and the detach reply reaches the detach rather than the loop.
#pragma once

#include <cstddef>

// Results of the operations below. Negative values of the control client
// (-1 failure, -2 time-out) are passed through where noted.
enum : int {
    WPA_SESSION_OK = 0,
    WPA_SESSION_FAILED = -1,
    WPA_SESSION_TIMEOUT = -2,
    WPA_SESSION_NOT_OPEN = -3,
    WPA_SESSION_OPEN_FAILED = -4,
};

// Command connection. Opening replaces (and closes) an earlier one. Requests
// are serialised: one connection cannot tell two callers' replies apart.
int wpa_session_command_open(const char *path); // OK or OPEN_FAILED
void wpa_session_command_close();               // no-op when closed
// A request on the command connection: OK, FAILED, TIMEOUT or NOT_OPEN.
// `*reply_len` in: buffer size, out: reply length.
int wpa_session_command_request(const char *cmd, size_t cmd_len, char *reply, size_t *reply_len);

struct wpa_session_event;

// Opens the event connection and attaches it. An earlier event connection
// is closed first (its loop, if one runs, ends). Results: OPEN_FAILED (no
// connection stored), TIMEOUT or FAILED from the attach (the connection
// stays stored, unattached), or OK with `*loop` set: the caller runs
// wpa_session_event_loop on it.
int wpa_session_event_open(const char *path, wpa_session_event **loop);

// Callbacks of the receive loop. `stop_requested` is asked before each
// receive; `deliver` gets each message NUL-terminated and returns false
// to end the loop (the application's callback failed).
struct wpa_session_event_sink {
    bool (*stop_requested)(void *ctx);
    bool (*deliver)(void *ctx, char *msg, size_t len);
    void (*recv_failed)(void *ctx);
    void *ctx;
};

// Why a receive loop ended.
enum class wpa_session_end { stop_request, closed, delivery_failed };

// Receives messages of at most `max_len` bytes (into a buffer of
// `max_len` + 1) until a stop is requested, the connection is closed or
// replaced, or delivery fails. Releases `loop`.
wpa_session_end wpa_session_event_loop(wpa_session_event *loop, size_t max_len,
                                       const wpa_session_event_sink &sink);

// Closes the event connection: wakes its loop, detaches, closes. Results:
// NOT_OPEN, or the detach result (OK, FAILED, TIMEOUT); the connection is
// closed whatever the detach gave.
int wpa_session_event_close();

// Counts of live resources, for tests: event sessions not yet freed.
int wpa_session_event_live();
