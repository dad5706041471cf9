// The serial stream from the modem: frames, garbage between them, and what
// the channel machine makes of every frame that decodes.
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
    static uint8_t storage[0x8000];
    while (line.pos < line.size) {
        size_t before = line.pos;
        msg_bufv buf{storage, sizeof storage};
        mux_frame frame;
        if (frame_recv(&frame, ports.serport, 1, &buf)) {
            if (frame.len < 0 || static_cast<size_t>(frame.len) > MUX_MAX_INFO)
                abort();
            frame_handle(&ports, &frame);
            frame_dump(LOG_ERR, "fuzz ", &frame);
        }
        if (line.pos == before)
            break;
    }
    return 0;
}
