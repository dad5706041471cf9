// The five data link connections: kernel requests to frames, the modem's
// answers to state changes and kernel notifications.
#pragma once

#include "frame.h"

#include <cstddef>
#include <cstdint>

struct serport;
struct mux_ctl;

constexpr int PORT_CLOSED = 0;
constexpr int PORT_CONNECTING = 1;
constexpr int PORT_DISCONNECTING = 2;
constexpr int PORT_CONNECTED = 3;

constexpr int CMUX_CHANNELS = MUX_MAX_DLCI + 1;

using port_notify_fn = void (*)(int port, int connected, void *user);

struct cmux_channel {
    int state;
    int test_pending; // DLCI 0 only
    port_notify_fn notify;
    void *notify_data;
    // SABM or DISC waiting for the modem's answer: sent again at the
    // deadline (monotonic ms, 0: none) up to MUX_N2 times.
    int64_t deadline;
    int retries;
    // SABM and DISC frames sent and not answered yet: an answer beyond the
    // one that settles the exchange (to a frame sent again) is no news.
    int unanswered;
    uint8_t abandoned;        // no UA came to our SABMs: a late one means the modem opened it after all
    uint8_t after_dlci0;      // SABM held back until DLCI 0 is open
    uint8_t fc;               // the modem's FC for this channel: it takes no data now
    uint8_t msc_pending;      // our MSC command is not answered yet
    uint8_t close_after_data; // the port was closed: DISC once its queue is out
    // The kernel's data for this channel waiting for the line, in order: a
    // ring of CHANNEL_QUEUE_SIZE from queue[qhead], queued octets long. It
    // goes a frame at a time while the modem takes data on the channel (no
    // FC, no FCoff). A frame's piece that wraps is completed behind the end
    // (the buffer has a piece's room more) so that it goes from one place.
    uint8_t *queue;
    size_t qhead;
    size_t queued;
};

struct cmux_ports {
    cmux_channel port[CMUX_CHANNELS];
    struct serport *serport;
    int next_dlci;    // the channel whose data goes next (round robin)
    uint8_t fc_all;   // FCoff from the modem: no data on any channel
    uint8_t mux_down; // the modem closed DLCI 0 (DISC or DM): the service is over
};

// 27.010 defaults: answer time T1 and the number of retransmissions N2.
constexpr int MUX_T1_MS = 100;
constexpr int MUX_N2 = 3;
// Data waiting per channel (while the modem has set FC, about 3 s of the line).
constexpr size_t CHANNEL_QUEUE_SIZE = 32768;
// Data frames committed to the line at most: answers and commands go out
// behind no more than this (two full frames, 23 ms at 115200), and FC
// stops a channel within it. The rest of the data waits in the channel
// queues. The next frame goes when one is left: the loop has 11 ms to come
// round before the line would fall idle.
constexpr size_t CMUX_COMMIT_LIMIT = 2 * (MUX_DATA_PIECE + 6);

// Allocates the table and opens its serial port; release with
// cmux_ports_close (which closes the port too).
cmux_ports *cmux_ports_open(const char *path);
void cmux_ports_close(cmux_ports *ports);

int port_connect(cmux_ports *ports, int dlci, port_notify_fn notify, void *notify_data);
int port_disconnect(cmux_ports *ports, int dlci);
int port_send_data(cmux_ports *ports, int dlci, const uint8_t *data, size_t len);
int port_set_mctrl(cmux_ports *ports, int dlci, uint32_t mctrl);
int port_send_test(cmux_ports *ports);
int port_send_psc(cmux_ports *ports, uint8_t value);

// Octets on the line for a payload sent with port_send_data: flag, address,
// control, length, FCS and flag around each piece.
inline size_t cmux_data_frames_size(size_t payload)
{
    return payload + 6 * ((payload + MUX_DATA_PIECE - 1) / MUX_DATA_PIECE);
}

// 0 rejected, 1 consumed, 2 for the main loop.
constexpr int FRAME_REJECTED = 0;
constexpr int FRAME_CONSUMED = 1;
constexpr int FRAME_FOR_LOOP = 2;
int frame_handle(cmux_ports *ports, const mux_frame *frame);

// Retransmission timers: milliseconds until the next deadline (-1: none);
// the tick sends again what is due and gives up after MUX_N2 tries. The
// tick returns 0 when DLCI 0 could not be opened (the service is over).
int cmux_timeout(const cmux_ports *ports);
int cmux_tick(cmux_ports *ports);
// Sends queued data, a frame per channel in turn, while the line has room
// below CMUX_COMMIT_LIMIT. Returns the milliseconds until it can send more
// (-1: nothing waits, or the line's writability will tell).
int cmux_pump(cmux_ports *ports);
// The smallest room left in a channel's queue.
inline size_t cmux_queue_room(const cmux_ports *ports)
{
    size_t most = 0;
    for (int dlci = 1; dlci <= MUX_MAX_DLCI; ++dlci)
        most = ports->port[dlci].queued > most ? ports->port[dlci].queued : most;
    return CHANNEL_QUEUE_SIZE - most;
}
// Whether data on the channel goes to its kernel port: it is open.
inline bool cmux_data_open(const cmux_ports *ports, int dlci)
{
    return ports->port[dlci].state == PORT_CONNECTED;
}

// The kernel mctrl word for a modem status received in an MSC.
uint32_t cmux_modem_status(uint8_t v24, bool has_break);

// Reads one kernel message and carries it out.
void mux_msg_dispatch(cmux_ports *ports, mux_ctl *mux);
// Carries out one kernel message of msg_len octets (header included).
void cmux_msg_dispatch(cmux_ports *ports, mux_ctl *mux, const uint8_t *msg, size_t msg_len);

// The kernel-side notification bound to a mux_ctl.
void cmux_kernel_notify(int port, int connected, void *mux);
