// Control interface of the virtual system clock (libquilmarclock.so).
//
// Preloaded into a process, the library answers gettimeofday, time and
// clock_gettime(CLOCK_REALTIME) from a virtual clock while it is armed, and
// settimeofday always: a process under it can never step this machine's
// clock. All other clocks and calls pass through untouched.
#pragma once

#include <stdint.h>

#define QUILMAR_CLOCK_API __attribute__((visibility("default")))

extern "C" {

enum { QUILMAR_CLOCK_FROZEN = 0, QUILMAR_CLOCK_RUNNING = 1 };
enum { QUILMAR_CLOCK_THIS_THREAD = 0, QUILMAR_CLOCK_PROCESS = 1 };

// Arms the virtual clock at (sec, usec). FROZEN keeps that time until it is
// set; RUNNING lets it advance with the real clock (a virtual offset).
// THIS_THREAD confines the virtual clock to the calling thread (the rest
// of a JVM keeps the real clock); PROCESS applies it to every thread.
// Clears injected failures and the record of sets. 0, or -1 for a bad usec.
QUILMAR_CLOCK_API int quilmar_clock_arm(int64_t sec, int32_t usec, int mode, int scope);

// Back to the real clock for reading; settimeofday keeps being refused.
QUILMAR_CLOCK_API void quilmar_clock_disarm(void);

// Makes `call` ("gettimeofday", "settimeofday", "clock_gettime", "time")
// fail with `err` while armed; err 0 removes the failure. 0, or -1 for an
// unknown call.
QUILMAR_CLOCK_API int quilmar_clock_fail(const char *call, int err);

// The virtual time now. 0, or -1 when not armed.
QUILMAR_CLOCK_API int quilmar_clock_now(int64_t *sec, int32_t *usec);

// The settimeofday calls seen since arming: their number, and the value
// and resulting errno (0 success) of the last one.
QUILMAR_CLOCK_API void quilmar_clock_last_set(int64_t *count, int64_t *sec, int64_t *usec, int *err);

} // extern "C"
