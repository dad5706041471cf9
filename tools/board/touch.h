// The touch pipeline shared by tapprobe (verbose) and tapcal (silent): the
// input event as the target's kernel delivers it, the per-axis calibration
// from the environment, the rule that decides when a sample goes out, and
// the loop that reads the touch device and feeds the output.
#pragma once

#include <cstddef>
#include <cstdint>

// One input event in the board's layout: the 32-bit kernel puts the time in
// two 32-bit words, so a record is 16 octets. This is not the build
// machine's struct input_event (24 octets on a 64-bit host): the tools read
// what the target delivers, on every build.
struct TouchInputEvent {
    uint32_t sec;
    uint32_t usec;
    uint16_t type;
    uint16_t code;
    int32_t value;
};
static_assert(sizeof(TouchInputEvent) == 16, "the target's input event is 16 octets");
static_assert(offsetof(TouchInputEvent, usec) == 4);
static_assert(offsetof(TouchInputEvent, type) == 8);
static_assert(offsetof(TouchInputEvent, code) == 10);
static_assert(offsetof(TouchInputEvent, value) == 12);

inline constexpr uint16_t kEvKey = 1;
inline constexpr uint16_t kEvAbs = 3;
inline constexpr uint16_t kBtnTouch = 330;

// What goes to the output for each complete reading.
struct TouchSample {
    int16_t touch; // last contact value
    int16_t x;     // calibrated
    int16_t y;     // calibrated
    int16_t zero;
};
static_assert(sizeof(TouchSample) == 8, "a touch sample is 8 octets");
static_assert(offsetof(TouchSample, x) == 2);
static_assert(offsetof(TouchSample, y) == 4);

struct TouchAxisCalibration {
    int32_t exp0 = 0;
    int32_t cur0 = 0;
    double scale = 1.0;
};

// A calibration value: a decimal integer pinned to 32 bits; null or no
// number: 0.
int32_t touch_integer(const char *text);
// Reads one whole event, however the device hands it over; false at end of
// file (errno 0) or on a read error, a partial event then dropped.
bool touch_readEvent(int fd, TouchInputEvent &ev);

// Reads TOUCHCAL_<axis>0_EXP, ..1_EXP, ..0_CUR, ..1_CUR (missing: 0).
TouchAxisCalibration touch_calibration(char axis);
// The calibrated value of a raw reading, as the 16 bits that are stored.
int16_t touch_calibrate(const TouchAxisCalibration &cal, int32_t raw);

enum class TouchEventKind { contact, axis_x, axis_y, other_key, other_abs, other_type };
TouchEventKind touch_classify(const TouchInputEvent &ev);

// The sample under construction and the marks of the axes seen since the
// last contact.
struct TouchState {
    TouchSample sample{};
    bool x_seen = false;
    bool y_seen = false;
};

// Applies a contact or axis event (other kinds are the caller's) and says
// whether a sample is due now.
bool touch_update(TouchState &state, const TouchAxisCalibration &cx, const TouchAxisCalibration &cy,
                  const TouchInputEvent &ev);

// The whole program: arguments [input device] [output pipe]. Never returns
// except for an output that cannot be opened (status 1).
int touch_main(int argc, char **argv, bool verbose);
