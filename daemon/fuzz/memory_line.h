// A serial port over a byte string for the fuzz targets: receives come from
// the input, sends are counted and dropped.
#pragma once

#include "serport.h"

#include <cstdint>
#include <cstring>

struct memory_line {
    const uint8_t *data;
    size_t size;
    size_t pos;
    size_t sent;
};

inline memory_line &line_of(serport *port)
{
    return *static_cast<memory_line *>(port->user);
}

inline int line_send(serport *port, const void *, size_t len)
{
    line_of(port).sent += len;
    return 1;
}

inline int line_sendv(serport *port, const iovec *, int, size_t len)
{
    line_of(port).sent += len;
    return 1;
}

inline int line_recv(serport *port, void *buf, size_t len, int)
{
    memory_line &l = line_of(port);
    if (l.size - l.pos < len)
        return 0;
    memcpy(buf, l.data + l.pos, len);
    l.pos += len;
    return 1;
}

inline ssize_t line_readline(serport *port, char *buf, size_t size, int)
{
    memory_line &l = line_of(port);
    size_t n = 0;
    while (n < size && l.pos < l.size) {
        buf[n++] = static_cast<char>(l.data[l.pos++]);
        if (buf[n - 1] == '\n')
            break;
    }
    return n == 0 ? -1 : static_cast<ssize_t>(n);
}

inline int line_flush(serport *, int)
{
    return 1;
}

inline int line_zero(const serport *)
{
    return 0;
}

inline const serport_ops memory_ops = {line_send, line_sendv, line_recv, line_readline, line_flush, line_zero, line_zero};

// One port for the whole run (the object holds the 64 KiB ring).
inline serport *memory_port(memory_line &line)
{
    static serport *port = serport_wrap(-1);
    port->ops = &memory_ops;
    port->user = &line;
    return port;
}
