// Client library of the IO multiplexer service.
//
// The service offers two Unix-domain stream sockets in one directory:
// "event", on which it pushes event records to every connected client, and
// "command", which takes raw command bytes and answers each command with
// one result record. Records on both sockets have the same layout on the
// wire: four big-endian 32-bit words (seconds, microseconds, sequence
// number, payload length) followed by the payload.
//
// Functions report failure by -1 or null with a diagnostic line on standard
// output; none of them ends the process.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The client handle. Created closed by iomx_new, released by iomx_free.
typedef struct IOMultiplex {
    int fd_event;               // connected to "<fifo_path>/event"; -1 while closed
    int fd_command;             // connected to "<fifo_path>/command"; -1 while closed
    char *fifo_path;            // directory of the two sockets (owned copy)
    unsigned int timeout_cmd;   // ms per wait while sending a command or reading its result
    unsigned int timeout_event; // ms per wait while reading an event; 0xFFFFFFFF: no limit
} IOMultiplex;

// One record as handed to the caller: a single block of 16 + data_len
// bytes, header in host byte order, payload not NUL-terminated. The caller
// releases it with free().
typedef struct IOMXEvent {
    struct {
        uint32_t sec;
        uint32_t usec;
    } timestamp;
    uint32_t seqnr;
    uint32_t data_len;
    uint8_t data[];
} IOMXEvent;

// State of one socket as iomx_wait reports it.
typedef enum IOMXSocketStatus {
    stUNKNOWN = 0, // not asked for
    stCLOSED = 1,
    stOPEN = 2,
    stERROR = 3,
} IOMXSocketStatus;

typedef struct IOMXStatus {
    IOMXSocketStatus status_cmd;
    IOMXSocketStatus status_event;
    bool event_pending; // an event record can be read
    bool cmd_rts;       // the command socket can take data
    bool cmd_pending;   // a command result can be read
} IOMXStatus;

// Mask bits of iomx_wait.
enum {
    IOMX_WAIT_EVENT = 1,     // event socket readable
    IOMX_WAIT_CMD_READ = 2,  // command socket readable
    IOMX_WAIT_CMD_WRITE = 4, // command socket writable
};

// Records whose payload length exceeds this are refused unread: no result
// or event of the service comes near it, and a length word from a stream
// that lost its place must not size an allocation.
enum { IOMX_MAX_DATA_LEN = 1024 * 1024 };

// A new closed handle for the sockets in fifo_path, or null when out of
// memory. Release with iomx_free.
IOMultiplex *iomx_new(const char *fifo_path);
// Connects "event", then "command": 0, or -1 (both closed again, errno set;
// ENAMETOOLONG when the directory does not fit a socket address).
int iomx_open(IOMultiplex *iomx);
// Closes both sockets: 0, or -1 when a close failed.
int iomx_close(IOMultiplex *iomx);
// Closes and releases the handle; null is ignored.
void iomx_free(IOMultiplex *iomx);

// The next event record (caller frees), or null.
IOMXEvent *iomx_readEvent(IOMultiplex *iomx);
// One record from fd, each wait limited to timeout ms (caller frees), or null.
IOMXEvent *iomx_readIOEventData(int fd, unsigned int timeout);

// Sends the command bytes unchanged: 0 or -1.
int iomx_sendCommandAsync(IOMultiplex *iomx, const void *command, size_t len);
// The result record of a command sent earlier (caller frees), or null.
IOMXEvent *iomx_recvCommandResult(IOMultiplex *iomx);
// Sends a command and reads its result (caller frees), or null.
IOMXEvent *iomx_sendCommand(IOMultiplex *iomx, const void *command, size_t len);

// Waits at most timeout ms for what mask asks; fills status and returns 1
// when event_pending, cmd_rts or cmd_pending is set, else 0.
int iomx_wait(IOMultiplex *iomx, int mask, IOMXStatus *status, int timeout);

#ifdef __cplusplus
}

static_assert(sizeof(IOMXEvent) == 16, "IOMXEvent header is 16 bytes without gaps");
static_assert(offsetof(IOMXEvent, timestamp.sec) == 0);
static_assert(offsetof(IOMXEvent, timestamp.usec) == 4);
static_assert(offsetof(IOMXEvent, seqnr) == 8);
static_assert(offsetof(IOMXEvent, data_len) == 12);
static_assert(offsetof(IOMXEvent, data) == 16);
static_assert(sizeof(IOMXSocketStatus) == 4);
static_assert(sizeof(bool) == 1);
static_assert(offsetof(IOMXStatus, status_cmd) == 0);
static_assert(offsetof(IOMXStatus, status_event) == 4);
static_assert(offsetof(IOMXStatus, event_pending) == 8);
static_assert(offsetof(IOMXStatus, cmd_rts) == 9);
static_assert(offsetof(IOMXStatus, cmd_pending) == 10);
#endif
