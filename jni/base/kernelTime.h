// Stepping the system clock by a signed offset, without the JVM.
#pragma once

#include <cstdint>
#include <cstdio>

// The time-of-day pair as the adjustment computes it: 32-bit signed
// seconds and microseconds on every platform.
struct kernel_time_value {
    int32_t sec;
    int32_t usec;
};

// Which single normalisation step the addition needed.
enum class kernel_time_step { none, carry, borrow };

// Adds the offset to `t` in 32-bit signed arithmetic (wrapping as the
// target's registers do) and normalises once: a carry when the
// microseconds exceed 999999, a borrow when they are negative. A value still
// outside 0..999999 afterwards is left for the kernel to refuse.
kernel_time_step kernel_time_apply(kernel_time_value &t, int32_t offset_sec, int32_t offset_usec);

// Result of kernel_time_adjust.
struct kernel_time_result {
    bool read_failed; // gettimeofday failed: the clock is untouched
    int set_errno;    // 0, or the error of settimeofday
};

// Reads the time of day, applies the offset and sets the result. With
// `debug` non-null the before/corrected/after lines are written to it.
kernel_time_result kernel_time_adjust(int32_t offset_sec, int32_t offset_usec, FILE *debug);
