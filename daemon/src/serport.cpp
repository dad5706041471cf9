#include "serport.h"

#include "log.h"
#include "ready.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

const serport_ops standard_ops = {
    serport_send,  serport_sendv,       serport_recv,        serport_readline,
    serport_flush, serport_has_pending, serport_nearly_full,
};

// What the line takes is sent at its rate from when it is free.
void account(serport *port, ssize_t n)
{
    if (n <= 0)
        return;
    int64_t now = serport_now_us();
    if (port->line_free_us < now)
        port->line_free_us = now;
    port->line_free_us += n * SERPORT_OCTET_NS / 1000;
}

// Writes out the ring until it is empty (1) or a write fails (0, errno set).
int write_out_ring(serport *port)
{
    while (port->head != port->tail) {
        size_t end = port->tail > port->head ? port->tail : SERPORT_RING_SIZE;
        ssize_t n = write(port->fd, port->ring + port->head, end - port->head);
        account(port, n);
        if (n == 0) {
            mux_log(LOG_CRIT, "serport closed while writing to it");
            errno = EPIPE;
            return 0;
        }
        if (n < 0)
            return 0;
        port->head = static_cast<uint16_t>(port->head + n);
    }
    return 1;
}

// Appends octets to the ring; the caller has made sure they fit.
void queue(serport *port, const uint8_t *octets, size_t len)
{
    size_t first = len;
    if (port->tail + first > SERPORT_RING_SIZE)
        first = SERPORT_RING_SIZE - port->tail;
    memcpy(port->ring + port->tail, octets, first);
    memcpy(port->ring, octets + first, len - first);
    port->tail = static_cast<uint16_t>(port->tail + len);
}

bool fits(const serport *port, size_t len)
{
    if (serport_queued(port) + len <= SERPORT_RING_SIZE - 1)
        return true;
    mux_log(LOG_CRIT, "overflow while writing to serport");
    mux_log(LOG_CRIT, "%s failed", "serport_send");
    return false;
}

// What is queued goes out before anything new; false when the line failed.
bool drain_first(serport *port)
{
    if (!write_out_ring(port) && errno != EAGAIN && errno != EINTR) {
        mux_log(LOG_CRIT, "%s failed", "serport_send");
        return false;
    }
    return true;
}

const char *direction(int for_read)
{
    return for_read ? "reading from " : "writing to ";
}

} // namespace

serport *serport_wrap(int fd)
{
    auto *port = static_cast<serport *>(malloc(sizeof(serport)));
    if (!port)
        return nullptr;
    memset(port, 0, sizeof *port);
    port->ops = &standard_ops;
    port->fd = fd;
    return port;
}

serport *serport_open(const char *path)
{
    serport *port = serport_wrap(-1);
    if (!port) {
        perror("malloc(<serport>)");
        return nullptr;
    }
    port->fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (port->fd < 0) {
        perror("open(<serport>)");
        serport_close(port);
        return nullptr;
    }
    // Not inherited by the preparation script's children or anything else
    // the daemon starts (O_CLOEXEC is ignored by older kernels).
    fcntl(port->fd, F_SETFD, FD_CLOEXEC);
    termios tio{};
    if (tcgetattr(port->fd, &tio) < 0) {
        perror("tcgetattr()");
        serport_close(port);
        return nullptr;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CRTSCTS | CREAD | HUPCL;
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tio.c_iflag |= BRKINT;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    if (tcsetattr(port->fd, TCSANOW, &tio) < 0) {
        perror("tcsetattr()");
        serport_close(port);
        return nullptr;
    }
    tcflush(port->fd, TCIOFLUSH);
    return port;
}

void serport_close(serport *port)
{
    if (!port)
        return;
    if (port->fd >= 0)
        close(port->fd);
    free(port);
}

int serport_wait(serport *port, int ms, int for_read)
{
    int rc = ready_within(port->fd, for_read ? POLLIN : POLLOUT, ms);
    if (rc < 0) {
        mux_log(LOG_CRIT, "%s serport: %s", direction(for_read), strerror(errno));
        return 0;
    }
    if (rc == 0) {
        mux_log(LOG_CRIT, "timeout while %s serport", direction(for_read));
        return 0;
    }
    return 1;
}

int serport_has_pending(const serport *port)
{
    return port->head != port->tail;
}

int serport_nearly_full(const serport *port)
{
    return serport_queued(port) > SERPORT_NEARLY_FULL;
}

int serport_send(serport *port, const void *data, size_t len)
{
    if (!drain_first(port))
        return 0;
    auto *octets = static_cast<const uint8_t *>(data);
    if (port->head == port->tail && len > 0) {
        ssize_t n = write(port->fd, octets, len);
        account(port, n);
        if (n > 0) {
            octets += n;
            len -= static_cast<size_t>(n);
        }
    }
    if (len == 0)
        return 1;
    if (!fits(port, len))
        return 0;
    queue(port, octets, len);
    return 1;
}

int serport_sendv(serport *port, const iovec *iov, int count, size_t len)
{
    if (port->head != port->tail && !drain_first(port))
        return 0;
    size_t written = 0;
    if (port->head == port->tail && len > 0) {
        ssize_t n = writev(port->fd, iov, count);
        account(port, n);
        if (n > 0)
            written = static_cast<size_t>(n);
    }
    if (written == len)
        return 1;
    if (!fits(port, len - written))
        return 0;
    // What the line did not take goes into the ring, in order.
    for (int i = 0; i < count; ++i) {
        size_t piece = iov[i].iov_len;
        if (written >= piece) {
            written -= piece;
            continue;
        }
        queue(port, static_cast<const uint8_t *>(iov[i].iov_base) + written, piece - written);
        written = 0;
    }
    return 1;
}

int serport_flush(serport *port, int ms)
{
    if (ms == 0)
        return write_out_ring(port) || errno == EAGAIN;
    for (;;) {
        if (write_out_ring(port))
            return 1;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return 0;
        if (!serport_wait(port, ms, 0))
            return port->head == port->tail;
    }
}

ssize_t serport_fill(serport *port)
{
    // What is left is at most part of a frame or a line: move it to the
    // front so that the read can bring in as much as possible.
    size_t kept = serport_buffered(port);
    if (port->in_head != 0) {
        memmove(port->in, port->in + port->in_head, kept);
        port->in_head = 0;
        port->in_tail = static_cast<uint16_t>(kept);
    }
    if (kept == SERPORT_INPUT_SIZE) {
        errno = ENOBUFS;
        return -1;
    }
    ssize_t n = read(port->fd, port->in + kept, SERPORT_INPUT_SIZE - kept);
    if (n > 0) {
        port->in_tail = static_cast<uint16_t>(kept + static_cast<size_t>(n));
        port->in_count += static_cast<uint32_t>(n);
    }
    return n;
}

namespace
{

size_t take_buffered(serport *port, uint8_t *octets, size_t len)
{
    size_t n = serport_buffered(port);
    if (n > len)
        n = len;
    memcpy(octets, serport_ahead(port), n);
    serport_consume(port, n);
    return n;
}

} // namespace

int serport_recv(serport *port, void *buf, size_t len, int ms)
{
    auto *octets = static_cast<uint8_t *>(buf);
    size_t got = take_buffered(port, octets, len);
    while (got < len) {
        ssize_t n = serport_fill(port);
        if (n == 0) {
            mux_log(LOG_CRIT, "unexpected EOF while reading from serport");
            return 0;
        }
        if (n > 0) {
            got += take_buffered(port, octets + got, len - got);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return 0;
        if (!serport_flush(port, ms) || !serport_wait(port, ms, 1))
            return 0;
    }
    return 1;
}

ssize_t serport_readline(serport *port, char *buf, size_t size, int ms)
{
    size_t stored = 0;
    while (stored < size) {
        if (serport_buffered(port) == 0) {
            ssize_t n = serport_fill(port);
            if (n == 0)
                return -1;
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno != EAGAIN || !serport_wait(port, ms, 1))
                    return -1;
            }
            continue;
        }
        // Up to and with the line end, as far as the buffer goes.
        size_t n = serport_buffered(port);
        if (n > size - stored)
            n = size - stored;
        const auto *end = static_cast<const uint8_t *>(memchr(serport_ahead(port), '\n', n));
        if (end)
            n = static_cast<size_t>(end - serport_ahead(port)) + 1;
        stored += take_buffered(port, reinterpret_cast<uint8_t *>(buf) + stored, n);
        if (end)
            break;
    }
    return static_cast<ssize_t>(stored);
}

size_t serport_discard_input(serport *port)
{
    size_t dropped = serport_buffered(port);
    port->in_head = port->in_tail = 0;
    if (port->fd < 0)
        return dropped;
    uint8_t scratch[256];
    for (;;) {
        ssize_t n = read(port->fd, scratch, sizeof scratch);
        if (n > 0) {
            dropped += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return dropped;
    }
}

int64_t serport_now_us()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

namespace
{

size_t on_the_line(const serport *port, int64_t now)
{
    if (port->line_free_us <= now)
        return 0;
    return static_cast<size_t>((port->line_free_us - now) * 1000 / SERPORT_OCTET_NS);
}

} // namespace

size_t serport_committed(const serport *port, size_t enough)
{
    size_t committed = serport_queued(port) + on_the_line(port, serport_now_us());
    int outq = 0;
    if (committed < enough && port->fd >= 0 && ioctl(port->fd, TIOCOUTQ, &outq) == 0 &&
        static_cast<size_t>(outq) > committed - serport_queued(port))
        committed = serport_queued(port) + static_cast<size_t>(outq);
    return committed;
}

int64_t serport_now_ms()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

namespace
{

bool starts_with(const char *line, size_t len, const char *prefix)
{
    size_t n = strlen(prefix);
    return len >= n && memcmp(line, prefix, n) == 0;
}

// A line the modem sends on its own at any time: RING, or "+NAME: ..." and
// "#NAME: ..." reports (the error results excepted, which answer a command).
bool unsolicited(const char *line, size_t len)
{
    if (len == 4 && starts_with(line, len, "RING"))
        return true;
    if (len == 0 || (line[0] != '+' && line[0] != '#'))
        return false;
    return !starts_with(line, len, "+CME ERROR") && !starts_with(line, len, "+CMS ERROR");
}

} // namespace

int at_command(serport *port, const char *command, const char *expected, int ms)
{
    return at_exchange(port, command, expected, ms) == at_reply::expected;
}

at_reply at_exchange(serport *port, const char *command, const char *expected, int ms)
{
    if (command) {
        // A late answer to an earlier command, or a line the modem sent on
        // its own, must not be taken for the answer to this one.
        serport_discard_input(port);
        if (!port->ops->send(port, command, strlen(command)) || !port->ops->send(port, "\r", 1) ||
            !port->ops->flush(port, 100))
            return at_reply::other;
    }
    const int64_t deadline = serport_now_ms() + ms;
    for (;;) {
        char line[64];
        const int64_t left = deadline - serport_now_ms();
        ssize_t n = left > 0 ? port->ops->readline(port, line, sizeof line, static_cast<int>(left)) : -1;
        if (n < 0)
            return at_reply::none;
        size_t len = static_cast<size_t>(n);
        while (len > 0 && (line[len - 1] == '\r' || line[len - 1] == '\n'))
            --len;
        if (len == strlen(expected) && memcmp(line, expected, len) == 0)
            return at_reply::expected;
        // An empty line, or the modem's echo of the command (skipped once).
        if (len == 0 || (command && len == strlen(command) && memcmp(line, command, len) == 0)) {
            command = nullptr;
            continue;
        }
        if (!unsolicited(line, len))
            return at_reply::other;
        // else: the wait for the answer goes on
    }
}

at_line at_classify(const char *line, size_t len)
{
    // The final result codes of V.25ter in verbose form, and the extended
    // error results; everything else (echo, reports, RING) is not an answer.
    static const char *const finals[] = {"OK",        "ERROR",       "NO CARRIER", "BUSY",
                                         "NO ANSWER", "NO DIALTONE", "CONNECT"};
    for (const char *f : finals) {
        size_t n = strlen(f);
        if (len == n && memcmp(line, f, n) == 0)
            return at_line::final_result;
    }
    if (starts_with(line, len, "CONNECT ") || starts_with(line, len, "+CME ERROR") ||
        starts_with(line, len, "+CMS ERROR"))
        return at_line::final_result;
    return at_line::other;
}

int at_link_send(at_link *link, const char *command)
{
    serport *port = link->port;
    if (!port->ops->send(port, command, strlen(command)) || !port->ops->send(port, "\r", 1) ||
        !port->ops->flush(port, 100))
        return 0;
    ++link->current;
    return 1;
}

namespace
{

// The next final result within the deadline (its text in line, its length
// returned), -1 when none came.
ssize_t next_final_result(at_link *link, char *line, size_t size, int64_t deadline)
{
    for (;;) {
        const int64_t left = deadline - serport_now_ms();
        ssize_t n = left > 0 ? link->port->ops->readline(link->port, line, size, static_cast<int>(left)) : -1;
        if (n < 0)
            return -1;
        size_t len = static_cast<size_t>(n);
        while (len > 0 && (line[len - 1] == '\r' || line[len - 1] == '\n'))
            --len;
        if (at_classify(line, len) == at_line::final_result)
            return static_cast<ssize_t>(len);
    }
}

} // namespace

at_reply at_link_await(at_link *link, const char *expected, int ms)
{
    const int64_t deadline = serport_now_ms() + ms;
    char line[64];
    ssize_t len;
    while ((len = next_final_result(link, line, sizeof line, deadline)) >= 0) {
        if (link->earlier > 0) {
            --link->earlier; // the late answer to an earlier step
            continue;
        }
        if (link->current > 0)
            --link->current;
        size_t n = static_cast<size_t>(len);
        return n == strlen(expected) && memcmp(line, expected, n) == 0 ? at_reply::expected : at_reply::other;
    }
    return at_reply::none;
}

int at_link_settle(at_link *link, int ms)
{
    link->earlier += link->current;
    link->current = 0;
    const int64_t deadline = serport_now_ms() + ms;
    char line[64];
    while (link->earlier > 0 && next_final_result(link, line, sizeof line, deadline) >= 0)
        --link->earlier;
    bool all = link->earlier == 0;
    link->earlier = 0;
    return all;
}
