// The record one read of a digital input device ("/dev/gpio/in0" ..
// "/dev/gpio/inF") returns: one edge of one input. Shared by the IO
// library, pinprobe and the board's GPIO emulation; the asserts hold the
// host and the target build to the driver's 28-octet layout.
#pragma once

#include <cstddef>
#include <cstdint>

struct GpioEventRecord {
    int32_t event_sec;    // time of the edge
    int32_t event_nsec;   // 0..999999999
    int32_t report_sec;   // time the driver notified it
    int32_t report_nsec;
    uint32_t sequence;
    uint32_t address;     // the input's number, 0..15
    uint32_t value;       // 0 low, anything else high
};

static_assert(sizeof(GpioEventRecord) == 28, "GpioEventRecord is 28 octets");
static_assert(offsetof(GpioEventRecord, event_nsec) == 4);
static_assert(offsetof(GpioEventRecord, report_sec) == 8);
static_assert(offsetof(GpioEventRecord, report_nsec) == 12);
static_assert(offsetof(GpioEventRecord, sequence) == 16);
static_assert(offsetof(GpioEventRecord, address) == 20);
static_assert(offsetof(GpioEventRecord, value) == 24);
