// The read-ahead scan against the decoder: every data frame that the scan
// finds in place, frame_recv decodes from the same octets, to the same end,
// with the same channel and information field; and the scan never waits for
// more octets than a frame can hold.
#include "frame.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // A copy of exactly the input's size, so that any over-read is caught.
    auto *octets = static_cast<uint8_t *>(malloc(size));
    memcpy(octets, data, size);
    // The first octet says whether a frame came before (its flag shared).
    frame_rx rx{};
    rx.shared_flag = octets[0] & 0x01;
    const uint8_t *p = octets + 1;
    const uint8_t *const end = octets + size;
    mux_data_frame f;
    frame_ahead ahead;
    while ((ahead = frame_at(p, end, rx.shared_flag, &f)) == frame_ahead::data) {
        if (f.next > end || f.info <= p || f.info + f.len + 2 != f.next)
            abort();
        msg_bufv info{};
        mux_frame frame;
        size_t used = 0;
        if (frame_recv(&rx, p, static_cast<size_t>(end - p), &frame, &info, &used) != frame_result::frame ||
            frame.type != MUX_UIH || frame.dlci != f.dlci || info.data != f.info || info.len != f.len ||
            p + used != f.next)
            abort();
        p = f.next;
    }
    // Flag, address, control, two length octets, 127 octets, FCS, flag.
    if (ahead == frame_ahead::partial && end - p > 134)
        abort();
    free(octets);
    return 0;
}
