// Control messages on DLCI 0 (the information field of a UIH frame).
#include "frame.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > MUX_MAX_INFO)
        return 0;
    // A copy of exactly the input's size, so that any over-read is caught.
    auto *info = static_cast<uint8_t *>(malloc(size ? size : 1));
    memcpy(info, data, size);
    msg_bufv buf{info, size};
    mux_frame frame{};
    frame.type = MUX_UIH;
    frame.ea = 1;
    frame.len = static_cast<int>(size);
    frame.bufv = &buf;
    if (frame_ctl_decode(&frame, &buf)) {
        if (frame.num == CTLMSG_TEST && frame.win.data + frame.win.len > info + size)
            abort();
        frame_dump(LOG_ERR, "fuzz ", &frame);
    }
    free(info);
    return 0;
}
