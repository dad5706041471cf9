// A serial port whose operations work on memory: what is sent is recorded,
// what is received comes from a prepared byte stream.
#pragma once

#include "serport.h"

#include <cstdint>
#include <cstring>
#include <vector>

struct fake_line {
    std::vector<uint8_t> sent;
    std::vector<uint8_t> input;
    size_t pos = 0;
    size_t send_calls = 0;
    int fail_send_after = -1; // fail the n-th send (0-based), -1: never
};

inline fake_line &fake_of(serport *port)
{
    return *static_cast<fake_line *>(port->user);
}

inline int fake_send(serport *port, const void *data, size_t len)
{
    fake_line &f = fake_of(port);
    if (f.fail_send_after >= 0 && f.send_calls == static_cast<size_t>(f.fail_send_after)) {
        ++f.send_calls;
        return 0;
    }
    ++f.send_calls;
    auto *p = static_cast<const uint8_t *>(data);
    f.sent.insert(f.sent.end(), p, p + len);
    return 1;
}

// One call, failing or recording as a whole, like a single send.
inline int fake_sendv(serport *port, const iovec *iov, int count, size_t)
{
    fake_line &f = fake_of(port);
    if (f.fail_send_after >= 0 && f.send_calls == static_cast<size_t>(f.fail_send_after)) {
        ++f.send_calls;
        return 0;
    }
    ++f.send_calls;
    for (int i = 0; i < count; ++i) {
        auto *p = static_cast<const uint8_t *>(iov[i].iov_base);
        f.sent.insert(f.sent.end(), p, p + iov[i].iov_len);
    }
    return 1;
}

inline int fake_recv(serport *port, void *buf, size_t len, int)
{
    fake_line &f = fake_of(port);
    if (f.input.size() - f.pos < len)
        return 0;
    memcpy(buf, f.input.data() + f.pos, len);
    f.pos += len;
    return 1;
}

inline ssize_t fake_readline(serport *port, char *buf, size_t size, int)
{
    fake_line &f = fake_of(port);
    size_t n = 0;
    while (n < size && f.pos < f.input.size()) {
        buf[n++] = static_cast<char>(f.input[f.pos++]);
        if (buf[n - 1] == '\n')
            break;
    }
    return n == 0 ? -1 : static_cast<ssize_t>(n);
}

inline int fake_flush(serport *, int)
{
    return 1;
}

inline int fake_zero(const serport *)
{
    return 0;
}

inline const serport_ops fake_ops = {fake_send, fake_sendv, fake_recv, fake_readline, fake_flush, fake_zero, fake_zero};

// A port on a fake line; the object is large (ring), so it lives on the heap.
struct fake_port {
    fake_line line;
    serport *port;
    fake_port() : port(serport_wrap(-1))
    {
        port->ops = &fake_ops;
        port->user = &line;
    }
    ~fake_port() { serport_close(port); }
    fake_port(const fake_port &) = delete;
    fake_port &operator=(const fake_port &) = delete;
};
