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
    // The pieces in order, as one send: one system call while the ring is
    // empty.
    int (*sendv)(serport *port, const iovec *iov, int count);
    int (*recv)(serport *port, void *buf, size_t len, int ms);
    ssize_t (*readline)(serport *port, char *buf, size_t size, int ms);
    int (*flush)(serport *port, int ms);
    int (*has_pending)(const serport *port);
    int (*nearly_full)(const serport *port);
};

constexpr size_t SERPORT_RING_SIZE = 65536;
// Fewer than 256 octets free: stop taking data that will go to the modem.
constexpr size_t SERPORT_NEARLY_FULL = 65280;

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
    uint8_t ring[SERPORT_RING_SIZE];
};

// Opens and configures the line; the caller releases it with serport_close.
serport *serport_open(const char *path);
// Closes the descriptor (if any) and frees the object.
void serport_close(serport *port);

int serport_wait(serport *port, int ms, int for_read);
int serport_send(serport *port, const void *data, size_t len);
int serport_sendv(serport *port, const iovec *iov, int count);
int serport_recv(serport *port, void *buf, size_t len, int ms);
ssize_t serport_readline(serport *port, char *buf, size_t size, int ms);
int serport_flush(serport *port, int ms);
int serport_has_pending(const serport *port);
int serport_nearly_full(const serport *port);
size_t portweaver_serport_queued(const serport *port);
// Octets the ring can still take.
size_t portweaver_serport_room(const serport *port);

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
// Reads and drops whatever the line holds now (late or unsolicited answers);
// the number of octets dropped.
size_t portweaver_serport_discard_input(serport *port);
