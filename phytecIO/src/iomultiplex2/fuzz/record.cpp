// The record reader against arbitrary service output: the input is what the
// service wrote before closing the connection. Every record returned must be
// exactly the bytes of the stream at its place; nothing may be read past a
// refused header.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "iomultiplex-private.h"

namespace
{

uint32_t word(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool quiet = [] {
        // The reader's diagnostic lines would drown the fuzzer's output.
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
        return true;
    }();
    (void)quiet;
    if (size > 65536) {
        size = 65536; // stays within the socket buffer: the write cannot block
    }
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        std::abort();
    }
    int buf = 1 << 18;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &buf, sizeof(buf));
    if (size > 0 && write(sv[0], data, size) != static_cast<ssize_t>(size)) {
        std::abort();
    }
    close(sv[0]);

    size_t at = 0;
    for (;;) {
        IOMXEvent *event = iomx_readIOEventData(sv[1], 0);
        if (event == nullptr) {
            break;
        }
        if (size - at < IOMX_WIRE_HEADER || word(data + at + 12) != event->data_len ||
            word(data + at) != event->timestamp.sec || word(data + at + 4) != event->timestamp.usec ||
            word(data + at + 8) != event->seqnr || event->data_len > IOMX_MAX_DATA_LEN ||
            size - at - IOMX_WIRE_HEADER < event->data_len ||
            std::memcmp(event->data, data + at + IOMX_WIRE_HEADER, event->data_len) != 0) {
            std::abort();
        }
        at += IOMX_WIRE_HEADER + event->data_len;
        std::free(event);
    }
    // After the last record: a short header, a short payload, or a refused
    // length (whose payload stays unread).
    if (size - at >= IOMX_WIRE_HEADER) {
        const uint32_t len = word(data + at + 12);
        if (len <= IOMX_MAX_DATA_LEN && size - at - IOMX_WIRE_HEADER >= len) {
            std::abort(); // a whole record was refused
        }
        if (len > IOMX_MAX_DATA_LEN) {
            char probe[1];
            const size_t rest = size - at - IOMX_WIRE_HEADER;
            if (recv(sv[1], probe, 1, MSG_DONTWAIT) != (rest > 0 ? 1 : 0)) {
                std::abort(); // the payload of a refused record was consumed
            }
        }
    }
    close(sv[1]);
    return 0;
}
