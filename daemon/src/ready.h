// Readiness of the daemon's descriptors: the one place it waits for them or
// asks about them (the loop, the bring-up's exchange, the kernel device's
// probes).
#pragma once

#include <csignal>
#include <poll.h>

// The events of fd among `events` that are ready within ms (0 for a probe
// that does not wait): 0 when none came in time, -1 on an error (errno).
int ready_within(int fd, short events, int ms);

// Waits up to ms (-1: no limit) for any of fds with `mask` as the signal
// mask meanwhile: ppoll's result.
int ready_wait(pollfd *fds, nfds_t count, int ms, const sigset_t *mask);
