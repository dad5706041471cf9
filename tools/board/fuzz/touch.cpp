// Fuzz target: touch events and the calibration values of tapprobe and
// tapcal. Four NUL-separated texts are the calibration of one axis, the
// octets after them the events the device delivers. Events are taken whole
// (a partial one at the end never counts), a sample is due exactly by the
// sample rule, and calibration never overflows.
#include "touch.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0 || size > 8192)
        return 0;
    const char *p = reinterpret_cast<const char *>(data);
    const char *end = p + size;
    std::string texts[4];
    for (std::string &t : texts) {
        const char *nul = static_cast<const char *>(std::memchr(p, 0, static_cast<size_t>(end - p)));
        if (nul == nullptr)
            return 0;
        t.assign(p, nul);
        p = nul + 1;
    }
    TouchAxisCalibration cal;
    cal.exp0 = touch_integer(texts[0].c_str());
    cal.cur0 = touch_integer(texts[2].c_str());
    const int64_t e1 = touch_integer(texts[1].c_str());
    const int64_t c1 = touch_integer(texts[3].c_str());
    if (c1 != cal.cur0)
        cal.scale = static_cast<double>(e1 - cal.exp0) / static_cast<double>(c1 - cal.cur0);

    const size_t length = static_cast<size_t>(end - p);
    int fds[2];
    if (pipe(fds) != 0)
        std::abort();
    if (write(fds[1], p, length) != static_cast<ssize_t>(length))
        std::abort();
    close(fds[1]);
    TouchState state;
    size_t events = 0;
    for (;;) {
        TouchInputEvent ev;
        if (!touch_readEvent(fds[0], ev))
            break;
        if (std::memcmp(&ev, p + events * sizeof ev, sizeof ev) != 0)
            std::abort();
        ++events;
        const TouchState before = state;
        const TouchEventKind kind = touch_classify(ev);
        const bool due = touch_update(state, cal, cal, ev);
        const bool ours = kind == TouchEventKind::contact || kind == TouchEventKind::axis_x ||
                          kind == TouchEventKind::axis_y;
        if (!ours && (due || std::memcmp(&before.sample, &state.sample, sizeof state.sample) != 0))
            std::abort();
        if (ours && due != (state.sample.touch == 0 || (state.x_seen && state.y_seen)))
            std::abort();
        // Identity calibration gives the raw reading's low 16 bits.
        TouchAxisCalibration identity;
        if (touch_calibrate(identity, ev.value) != static_cast<int16_t>(static_cast<uint16_t>(ev.value)))
            std::abort();
    }
    close(fds[0]);
    if (events != length / sizeof(TouchInputEvent) || errno != 0)
        std::abort();
    return 0;
}
