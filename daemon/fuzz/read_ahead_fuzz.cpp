// The read-ahead scan against the decoder: every data frame that the scan
// finds in place, frame_recv reads from the same octets, to the same end,
// with the same channel and information field; and the scan never waits for
// more octets than a frame can hold.
#include "frame.h"
#include "memory_line.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // A copy of exactly the input's size, so that any over-read is caught.
    auto *octets = static_cast<uint8_t *>(malloc(size));
    memcpy(octets, data, size);
    memory_line line{octets, size, 0, 0};
    serport *port = memory_port(line);
    // The first octet says whether a frame came before (its flag shared).
    bool shared = octets[0] & 0x01;
    const uint8_t *p = octets + 1;
    const uint8_t *const end = octets + size;
    static uint8_t storage[0x8000];
    mux_data_frame f;
    frame_ahead ahead;
    while ((ahead = frame_at(p, end, shared, &f)) == frame_ahead::data) {
        if (f.next > end || f.info <= p || f.info + f.len + 2 != f.next)
            abort();
        port->shared_flag = shared;
        port->quiet_hunt = 0;
        line.pos = static_cast<size_t>(p - octets);
        msg_bufv buf{storage, sizeof storage};
        mux_frame frame;
        if (!frame_recv(&frame, port, 1, &buf) || frame.type != MUX_UIH || frame.dlci != f.dlci ||
            static_cast<size_t>(frame.len) != f.len || memcmp(storage, f.info, f.len) != 0 ||
            line.pos != static_cast<size_t>(f.next - octets))
            abort();
        p = f.next;
        shared = true;
    }
    // Flag, address, control, two length octets, 127 octets, FCS, flag.
    if (ahead == frame_ahead::partial && end - p > 134)
        abort();
    free(octets);
    return 0;
}
