// The serial stream from the modem: frames, garbage between them, and what
// the channel machine makes of every frame that decodes, taken as the line
// delivers it (every prefix is a partial frame or more).
#include "cmux.h"
#include "frame.h"
#include "memory_line.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    memory_line line{data, size, 0, 0};
    cmux_ports ports{};
    ports.serport = memory_port(line);
    // Some channels open, some in transition, so that every branch is hit.
    ports.port[0].state = PORT_CONNECTED;
    ports.port[0].test_pending = 1;
    ports.port[1].state = PORT_CONNECTED;
    ports.port[2].state = PORT_CONNECTING;
    ports.port[3].state = PORT_DISCONNECTING;
    frame_rx rx{};
    size_t pos = 0;
    while (pos < size) {
        msg_bufv info{};
        mux_frame frame;
        size_t used = 0;
        frame_result r = frame_recv(&rx, data + pos, size - pos, &frame, &info, &used);
        if (r == frame_result::partial) {
            if (used != 0)
                abort();
            used = frame_give_up(&rx, data + pos, size - pos);
        }
        if (used == 0 || used > size - pos)
            abort();
        if (r == frame_result::frame) {
            if (frame.len < 0 || static_cast<size_t>(frame.len) > MUX_MAX_INFO || info.data < data + pos ||
                info.data + info.len > data + pos + used)
                abort();
            frame_handle(&ports, &frame);
            frame_dump(LOG_ERR, "fuzz ", &frame);
        }
        pos += used;
    }
    for (cmux_channel &c : ports.port)
        free(c.queue);
    return 0;
}
