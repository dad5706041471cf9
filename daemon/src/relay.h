// The multiplexer service: the one event loop that relays the modem's
// channels and the kernel device's ports, answers the modem and keeps the
// channel alive.
#pragma once

#include "frame.h"

#include <csignal>
#include <cstdint>

struct cmux_ports;
struct mux_ctl;

struct relay {
    cmux_ports *ports;
    mux_ctl *mux;
    frame_rx rx;
    // When octets last came while the read-ahead held only part of a frame
    // (0: it does not), and the line's count of octets then: a frame whose
    // rest stops coming for RELAY_PARTIAL_FRAME_MS is dropped. (The count,
    // not what the read-ahead holds: a frame taken off at the front and as
    // much of the next one read behind it leave the amount unchanged.)
    int64_t partial_since;
    uint32_t partial_mark;
};

// How long a frame's octets may pause (a modem under load pauses inside a
// frame); the loop serves everything else meanwhile.
constexpr int RELAY_PARTIAL_FRAME_MS = 1000;

// Written by the signal handler (SIGALRM, SIGUSR1, SIGUSR2, SIGHUP), read and
// cleared by the loop.
extern volatile sig_atomic_t relay_signal_flags[NSIG];

// Runs the loop until the service ends; the exit status.
int relay_run(relay *r);

// One pass over the read-ahead: data frames of open channels to the kernel
// in place, everything else through the decoder and the channel machine.
// Stops at the kernel device's back-pressure or a partial frame.
void relay_read_ahead(relay *r);
// The partial frame's deadline, checked by the loop: when it has passed,
// the frame is dropped and the octets behind it taken up.
void relay_partial_deadline(relay *r, int64_t now_ms);
