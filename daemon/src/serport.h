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
    void *user;    // free for other implementations of the operations
    // Receive side of the frame codec: the last frame's closing flag may be
    // this one's opening flag; octets before the first frame are skipped
    // without a word (the modem's command-mode leftovers).
    uint8_t shared_flag;
    uint8_t quiet_hunt;
    uint16_t head; // indices wrap modulo the ring size by their width
    uint16_t tail;
    // Input read ahead of its use: in[in_head, in_tail).
    uint16_t in_head;
    uint16_t in_tail;
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
inline size_t portweaver_serport_queued(const serport *port)
{
    return static_cast<uint16_t>(port->tail - port->head);
}
// Octets the ring can still take.
inline size_t portweaver_serport_room(const serport *port)
{
    return SERPORT_RING_SIZE - 1 - portweaver_serport_queued(port);
}

// The read-ahead: exact reads and lines are served from it, and the frame
// codec looks at whole frames in place.
inline size_t portweaver_serport_buffered(const serport *port)
{
    return static_cast<size_t>(port->in_tail - port->in_head);
}
inline const uint8_t *portweaver_serport_ahead(const serport *port)
{
    return port->in + port->in_head;
}
inline void portweaver_serport_consume(serport *port, size_t len)
{
    port->in_head = static_cast<uint16_t>(port->in_head + len);
}
// One read of what the line holds into the read-ahead: the octets read, 0 at
// the end of the line, -1 on an error (errno; EAGAIN: nothing there).
ssize_t portweaver_serport_fill(serport *port);

// Wraps an already open descriptor (used as is) into a port with the
// standard operations; the port owns the descriptor. None on allocation
// failure.
serport *portweaver_serport_wrap(int fd);

// Monotonic clock in milliseconds.
int64_t portweaver_now_ms();

int at_command(serport *port, const char *command, const char *expected, int ms);
// at_command that tells a wrong answer from none within ms. Lines the
// modem sends on its own meanwhile (RING, +CREG: ...) are passed over: only
// a final result code answers a command.
enum class at_reply { expected, other, none };
at_reply at_exchange(serport *port, const char *command, const char *expected, int ms);
// Reads and drops whatever the line and the read-ahead hold now (late or
// unsolicited answers); the number of octets dropped.
size_t portweaver_serport_discard_input(serport *port);
