// Supplicant datagrams through a request: the first byte picks the reply
// buffer's size, the rest is split into datagrams at each 0x1e byte, and
// "OK\n" closes the series so that the request ends at once. Replies and
// unsolicited messages then go through the sanitiser the binding uses
// before they become Java strings.
#include "base_internal.h"
#include "wpa_ctrl.h"

#include <cstdint>
#include <cstring>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace
{

void on_message(char *msg, size_t len)
{
    if (std::strlen(msg) > len) {
        __builtin_trap(); // the callback's text must end within its length
    }
    base_sanitize_utf(msg, std::strlen(msg));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const size_t buffer = 1 + data[0] * 8u; // 1 .. 2041 bytes
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) != 0) {
        return 0;
    }
    size_t start = 1;
    int datagrams = 0;
    for (size_t i = 1; i <= size && datagrams < 64; ++i) {
        if (i == size || data[i] == 0x1e) {
            send(sv[1], data + start, i - start, MSG_DONTWAIT);
            ++datagrams;
            start = i + 1;
        }
    }
    send(sv[1], "OK\n", 3, MSG_DONTWAIT);

    wpa_ctrl_conn conn{};
    conn.s = sv[0];
    std::vector<char> reply(buffer + 1);
    size_t len = buffer;
    if (wpa_ctrl_request(&conn, "STATUS", 6, reply.data(), &len, on_message) == 0) {
        if (len > buffer) {
            __builtin_trap();
        }
        reply[len] = '\0';
        base_sanitize_utf(reply.data(), std::strlen(reply.data()));
    }
    close(sv[0]);
    close(sv[1]);
    return 0;
}
