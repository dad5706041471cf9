// The non-blocking serial port to the modem, its output ring and the AT
// command exchange of the bring-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <sys/uio.h>

struct serport;

// Operations of a serial port, called through the object so that the codec
// can be fed from other sources (tests, fuzzing).
struct serport_ops {
    int (*send)(serport *port, const void *data, size_t len);
    // The pieces in order, as one send of len octets (all pieces together):
    // one system call while the ring is empty.
    int (*sendv)(serport *port, const iovec *iov, int count, size_t len);
    int (*recv)(serport *port, void *buf, size_t len, int ms);
    ssize_t (*readline)(serport *port, char *buf, size_t size, int ms);
    int (*flush)(serport *port, int ms);
    int (*has_pending)(const serport *port);
    int (*nearly_full)(const serport *port);
};

constexpr size_t SERPORT_RING_SIZE = 65536;
// Fewer than 256 octets free: stop taking data that will go to the modem.
constexpr size_t SERPORT_NEARLY_FULL = 65280;
// What one read of the line may bring in ahead of its use.
constexpr size_t SERPORT_INPUT_SIZE = 8192;
static_assert(SERPORT_INPUT_SIZE < 65536, "read-ahead indices are 16 bits wide");

struct serport {
    const serport_ops *ops;
    int fd;
    void *user; // free for other implementations of the operations
    // When what was written so far has left the line at its rate (monotonic
    // microseconds): a pseudo-terminal or a driver buffer takes far more
    // than the line sends, and the modem's answers must not wait behind it.
    int64_t line_free_us;
    uint16_t head; // indices wrap modulo the ring size by their width
    uint16_t tail;
    // Input read ahead of its use: in[in_head, in_tail).
    uint16_t in_head;
    uint16_t in_tail;
    // Octets read into it since the start (wraps): that more came.
    uint32_t in_count;
    uint8_t in[SERPORT_INPUT_SIZE];
    uint8_t ring[SERPORT_RING_SIZE];
};

// Opens and configures the line; the caller releases it with serport_close.
serport *serport_open(const char *path);
// Closes the descriptor (if any) and frees the object.
void serport_close(serport *port);

int serport_wait(serport *port, int ms, int for_read);
int serport_send(serport *port, const void *data, size_t len);
int serport_sendv(serport *port, const iovec *iov, int count, size_t len);
int serport_recv(serport *port, void *buf, size_t len, int ms);
ssize_t serport_readline(serport *port, char *buf, size_t size, int ms);
int serport_flush(serport *port, int ms);
int serport_has_pending(const serport *port);
int serport_nearly_full(const serport *port);
inline size_t serport_queued(const serport *port)
{
    return static_cast<uint16_t>(port->tail - port->head);
}
// Octets the ring can still take.
inline size_t serport_room(const serport *port)
{
    return SERPORT_RING_SIZE - 1 - serport_queued(port);
}

// The read-ahead: exact reads and lines are served from it, and the frame
// codec looks at whole frames in place.
inline size_t serport_buffered(const serport *port)
{
    return static_cast<size_t>(port->in_tail - port->in_head);
}
inline const uint8_t *serport_ahead(const serport *port)
{
    return port->in + port->in_head;
}
inline void serport_consume(serport *port, size_t len)
{
    port->in_head = static_cast<uint16_t>(port->in_head + len);
}
// One read of what the line holds into the read-ahead: the octets read, 0 at
// the end of the line, -1 on an error (errno; EAGAIN: nothing there).
ssize_t serport_fill(serport *port);

// Wraps an already open descriptor (used as is) into a port with the
// standard operations; the port owns the descriptor. None on allocation
// failure.
serport *serport_wrap(int fd);

// Monotonic clock in milliseconds and microseconds.
int64_t serport_now_ms();
int64_t serport_now_us();

// One octet on the line at 115200 baud, 8N1 (ten bits), in nanoseconds.
constexpr int64_t SERPORT_OCTET_NS = 86806;
// Octets on their way to the modem: queued in the ring, and written but
// still to be sent by the line (at its rate, or as the driver reports).
// The driver is asked only while the ring and the rate say fewer than
// `enough`: beyond that its answer changes nothing for the caller.
size_t serport_committed(const serport *port, size_t enough = SIZE_MAX);

int at_command(serport *port, const char *command, const char *expected, int ms);
// at_command that tells a wrong answer from none within ms. Lines the
// modem sends on its own meanwhile (RING, +CREG: ...) are passed over: only
// a final result code answers a command.
enum class at_reply { expected, other, none };
at_reply at_exchange(serport *port, const char *command, const char *expected, int ms);
// Reads and drops whatever the line and the read-ahead hold now (late or
// unsolicited answers); the number of octets dropped.
size_t serport_discard_input(serport *port);

// The bring-up's count of commands sent and not answered yet. A command that
// timed out is still outstanding: the modem may answer it later, and that
// answer must not be taken for the answer to a later command. Every final
// result code (OK, ERROR, ...) answers the oldest outstanding command.
struct at_link {
    serport *port;
    unsigned earlier; // outstanding commands of earlier steps
    unsigned current; // outstanding commands of the step under way
};
// Sends command and "\r": one more outstanding command of the current step.
int at_link_send(at_link *link, const char *command);
// Waits up to ms for the current step's answer: expected, another final
// result (ERROR, ...), or none in time. Late answers to earlier steps,
// echoes, empty lines and unsolicited reports are passed over.
at_reply at_link_await(at_link *link, const char *expected, int ms);
// A new step begins: what is still outstanding belongs to earlier steps.
// Waits up to ms for those answers (so that none lands in the new step's
// exchange); a modem that swallowed a command never answers it, so after
// ms the count is forgotten. 1 when every answer came.
int at_link_settle(at_link *link, int ms);
// The kind of a line from the modem in command mode.
enum class at_line { final_result, other };
at_line at_classify(const char *line, size_t len);
