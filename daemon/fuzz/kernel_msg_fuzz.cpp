// Messages read from the kernel device. The first octet sets the message
// size; the rest is a sequence of messages of that size.
#include "cmux.h"
#include "memory_line.h"
#include "muxctl.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    mux_ctl mux{};
    mux.fd = -1; // notifications go nowhere
    mux.info.msg_size = static_cast<uint32_t>(sizeof(mux_msg_hdr) + 1 + data[0] * 4);
    mux.info.msg_count = 1;
    memory_line line{nullptr, 0, 0, 0};
    cmux_ports ports{};
    ports.serport = memory_port(line);
    ports.port[0].state = PORT_CONNECTED;
    ports.port[2].state = PORT_CONNECTED;
    ports.port[3].state = PORT_CONNECTING;
    std::vector<uint8_t> msg(mux.info.msg_size);
    for (size_t pos = 1; pos < size; pos += msg.size()) {
        size_t n = size - pos < msg.size() ? size - pos : msg.size();
        memset(msg.data(), 0, msg.size());
        memcpy(msg.data(), data + pos, n);
        cmux_msg_dispatch(&ports, &mux, msg.data(), msg.size());
    }
    for (cmux_channel &c : ports.port)
        free(c.queue); // data the line had no room for
    return 0;
}
