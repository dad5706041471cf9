#include "relay.h"

#include "cmux.h"
#include "log.h"
#include "muxctl.h"
#include "ready.h"
#include "serport.h"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <sys/ioctl.h>

volatile sig_atomic_t relay_signal_flags[NSIG];

namespace
{

// The keep-alive: a TEST after 60 s of silence, 5 s after a failed one, and
// the end after three failures in a row.
constexpr int KEEPALIVE_MS = 60000;
constexpr int KEEPALIVE_RETRY_MS = 5000;
constexpr unsigned KEEPALIVE_MAX_FAILURES = 3;
constexpr unsigned POLL_FAILED = 99;

// Kernel messages read at one wake-up at most: the modem's side gets its
// turn in between.
constexpr int KERNEL_BATCH = 16;

// A full frame's time on the line at 115200 (132 octets, 11.5 ms).
constexpr int RELAY_GATHER_MS = 12;

void handle_uih_data_frame(relay &r, const mux_frame &frame)
{
    assert(frame.num == 1 && "bufv->num == 1");
    // Frames are decoded only when nothing waits for the kernel device, so
    // the octets are taken; they go with the data read ahead behind them.
    mux_ctl_out_add(r.mux, frame.dlci - 1, frame.bufv->data, frame.bufv->len);
}

void send_modem_status(relay &r, const mux_frame &frame)
{
    mux_msg_hdr hdr{static_cast<uint8_t>(frame.msc_dlci - 1), MUX_MSG_MCTRL, 0,
                    cmux_modem_status(frame.v24, frame.has_break)};
    if (!mux_ctl_write_msg(r.mux, &hdr, 0))
        mux_log(LOG_CRIT, "failed to send mctrl msgbuf: %s", strerror(errno));
}

// A frame the decoder found, through the channel machine.
void handle_frame(relay &r, const mux_frame &frame)
{
    if (frame_handle(r.ports, &frame) != FRAME_FOR_LOOP)
        return;
    if (frame.type == MUX_UIH && frame.dlci != 0) {
        handle_uih_data_frame(r, frame);
    } else if (frame.type == MUX_UIH && frame.num == CTLMSG_MSC) {
        // (The command was answered by the channel machine.)
        send_modem_status(r, frame);
    } else {
        frame_dump(LOG_ERR, "unhandled CMUX frame ", &frame);
    }
}

// Takes the frames up to `next` off the read-ahead.
void take_frames(relay &r, const uint8_t *next)
{
    serport *port = r.ports->serport;
    serport_consume(port, static_cast<size_t>(next - serport_ahead(port)));
    r.rx.shared_flag = 1;
    r.rx.quiet = 0;
}

// Hands the data frames at the front of the read-ahead to the kernel from
// where they are, gathered into messages, while their channels are open
// and the device takes them. What comes after them: `data` when the next
// one could not go because the device is full.
frame_ahead forward_data_frames(relay &r)
{
    serport *port = r.ports->serport;
    const uint8_t *p = serport_ahead(port);
    const uint8_t *const end = p + serport_buffered(port);
    bool shared = r.rx.shared_flag;
    mux_data_frame f;
    frame_ahead ahead;
    while ((ahead = frame_at(p, end, shared, &f)) == frame_ahead::data) {
        if (!cmux_data_open(r.ports, f.dlci)) {
            ahead = frame_ahead::other; // the decoder says so
            break;
        }
        if (!mux_ctl_out_add(r.mux, f.dlci - 1, f.info, f.len))
            break;
        p = f.next;
        shared = true;
    }
    if (p != serport_ahead(port))
        take_frames(r, p);
    return ahead;
}

// The frame at the front of the read-ahead through the decoder: false when
// only part of it is in.
bool decode_frame(relay &r)
{
    serport *port = r.ports->serport;
    mux_frame frame;
    msg_bufv info{};
    size_t used = 0;
    frame_result got = frame_recv(&r.rx, serport_ahead(port), serport_buffered(port), &frame, &info, &used);
    if (got == frame_result::partial)
        return false;
    // The frame's octets stay where they are until it has been handled.
    if (got == frame_result::frame)
        handle_frame(r, frame);
    serport_consume(port, used);
    return true;
}

void handle_serial_input(relay &r)
{
    ssize_t n = serport_fill(r.ports->serport);
    if (n == 0)
        mux_log(LOG_CRIT, "unexpected EOF while reading from serport");
    if (n > 0)
        relay_read_ahead(&r);
}

// A message is read only when all of its frames fit into the ring and the
// channel queues: a message cut short would lose data.
bool kernel_message_fits(const relay &r, size_t whole_message)
{
    const serport *port = r.ports->serport;
    return serport_queued(port) <= SERPORT_NEARLY_FULL && serport_room(port) >= whole_message &&
           cmux_queue_room(r.ports) >= mux_ctl_payload_max(r.mux);
}

void handle_kernel_input(relay &r, size_t whole_message)
{
    for (int i = 0; i < KERNEL_BATCH && kernel_message_fits(r, whole_message); ++i) {
        if (i > 0 && !mux_ctl_readable(r.mux))
            break;
        mux_msg_dispatch(r.ports, r.mux);
    }
}

void handle_signals(relay &r)
{
    volatile sig_atomic_t *flags = relay_signal_flags;
    if (flags[SIGALRM]) {
        flags[SIGALRM] = 0;
        int dtr = TIOCM_DTR;
        ioctl(r.ports->serport->fd, TIOCMBIS, &dtr);
        // Give the modem time to wake up before traffic follows.
        timespec pause{0, 150000000};
        nanosleep(&pause, nullptr);
    }
    if (flags[SIGUSR1]) {
        flags[SIGUSR1] = 0;
        flags[SIGHUP] = 0;
        port_send_psc(r.ports, 0);
    }
    flags[SIGUSR2] = 0;
    flags[SIGHUP] = 0;
}

// The earlier of two waits in ms (-1: none).
int sooner(int a, int b)
{
    if (a < 0)
        return b;
    return b < 0 || a < b ? a : b;
}

// Milliseconds until something other than the keep-alive wants the loop:
// a SABM or DISC waiting for its answer, queued data the line has room
// for, the rest of a frame (-1: nothing).
int timers_ms(const relay &r, int pump_ms)
{
    int ms = sooner(cmux_timeout(r.ports), pump_ms);
    if (r.partial_since) {
        int64_t left = r.partial_since + RELAY_PARTIAL_FRAME_MS - serport_now_ms();
        ms = sooner(ms, left > 0 ? static_cast<int>(left) : 0);
    }
    return ms;
}

} // namespace

void relay_read_ahead(relay *r)
{
    frame_ahead ahead;
    bool partial = false;
    while ((ahead = forward_data_frames(*r)) == frame_ahead::other) {
        // What this frame brings about comes after the data before it.
        if (!mux_ctl_out_flush(r->mux))
            break;
        if (!decode_frame(*r)) {
            partial = true;
            break;
        }
    }
    mux_ctl_out_flush(r->mux);
    const serport *port = r->ports->serport;
    partial = (partial || ahead == frame_ahead::partial) && serport_buffered(port) > 0;
    if (!partial) {
        r->partial_since = 0;
    } else if (r->partial_since == 0 || port->in_count != r->partial_mark) {
        r->partial_since = serport_now_ms();
        r->partial_mark = port->in_count;
    }
}

void relay_partial_deadline(relay *r, int64_t now_ms)
{
    if (!r->partial_since || now_ms - r->partial_since < RELAY_PARTIAL_FRAME_MS ||
        mux_ctl_out_waiting(r->mux))
        return;
    // What the line holds may not have been read yet (the kernel device was
    // full meanwhile).
    serport *port = r->ports->serport;
    if (serport_fill(port) > 0) {
        relay_read_ahead(r);
        return;
    }
    // The rest of the frame did not come: it is dropped, and what came
    // behind its start is searched for the next frame.
    r->partial_since = 0;
    serport_consume(port, frame_give_up(&r->rx, serport_ahead(port), serport_buffered(port)));
    relay_read_ahead(r);
}

int relay_run(relay *r)
{
    serport *port = r->ports->serport;
    sigset_t wait_mask;
    sigfillset(&wait_mask);
    for (int s : {SIGALRM, SIGUSR1, SIGUSR2, SIGHUP, SIGTERM, SIGINT})
        sigdelset(&wait_mask, s);
    unsigned keepalive_failures = 0;
    const size_t whole_message = cmux_data_frames_size(mux_ctl_payload_max(r->mux));
    int pump_ms = -1; // when the channel queues can send more
    while (keepalive_failures < KEEPALIVE_MAX_FAILURES) {
        bool backlog = mux_ctl_out_waiting(r->mux);
        bool mux_writable = !backlog && mux_ctl_writable(r->mux);
        const short line_in = mux_writable ? POLLIN : 0;
        const short kernel_in = kernel_message_fits(*r, whole_message) ? POLLIN : 0;
        // While data waits for the line and its next frame is due within a
        // frame's time, what the line and the device bring waits for that
        // wake-up: one wake-up a frame instead of one each way. An answer
        // leaves no later for it (it would wait behind the frame on the
        // line), nor does data stop sooner for the modem's FC.
        const bool gather = pump_ms >= 0 && pump_ms <= RELAY_GATHER_MS;
        pollfd fds[2] = {};
        fds[0].fd = port->fd;
        fds[0].events =
            static_cast<short>((gather ? 0 : line_in) | (port->ops->has_pending(port) ? POLLOUT : 0));
        fds[1].fd = r->mux->fd;
        fds[1].events = static_cast<short>((gather ? 0 : kernel_in) |
                                           (backlog || r->mux->writable != MUX_WRITABLE_YES ? POLLOUT : 0));
        int ms = keepalive_failures == 0 ? KEEPALIVE_MS : KEEPALIVE_RETRY_MS;
        int timer_ms = timers_ms(*r, pump_ms);
        bool for_timer = timer_ms >= 0 && timer_ms < ms;
        if (for_timer)
            ms = timer_ms;
        int rc = ready_wait(fds, 2, ms, &wait_mask);
        if (rc >= 0 && gather) {
            // The line does not block: a read that finds nothing costs what
            // the wait would have. The device is asked first (its read
            // request is meant for a device that has a message).
            fds[0].revents = static_cast<short>(fds[0].revents | line_in);
            if (kernel_in && mux_ctl_readable(r->mux))
                fds[1].revents = static_cast<short>(fds[1].revents | POLLIN);
        }
        if (rc < 0) {
            if (errno != EINTR) {
                mux_log(LOG_CRIT, "poll() failed: %s", strerror(errno));
                keepalive_failures = POLL_FAILED;
            }
        } else if (rc == 0 && !for_timer) {
            if (port_send_test(r->ports))
                keepalive_failures = 0;
            else
                ++keepalive_failures;
        } else {
            if (fds[0].revents & POLLOUT) {
                if (!port->ops->flush(port, 0))
                    mux_log(LOG_ERR, "failed to send pending data");
            }
            // The device takes messages again: first what waited, then the
            // frames read ahead behind it.
            if (fds[1].revents & POLLOUT && backlog && mux_ctl_out_flush(r->mux))
                relay_read_ahead(r);
            if (fds[0].revents & POLLIN)
                handle_serial_input(*r);
            if (fds[1].revents & POLLIN)
                handle_kernel_input(*r, whole_message);
            // A line or device that has gone away reports this at once on
            // every wait: end instead of spinning.
            if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                mux_log(LOG_CRIT, "serial line hung up; aborted");
                return 1;
            }
            if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                mux_log(LOG_CRIT, "multiplexer device hung up; aborted");
                return 1;
            }
        }
        if (r->partial_since)
            relay_partial_deadline(r, serport_now_ms());
        handle_signals(*r);
        if (!cmux_tick(r->ports)) {
            // The supervisor starts us again: the modem may need a new
            // bring-up.
            mux_log(LOG_CRIT, "modem did not open DLCI 0 (no UA after %d SABMs); aborted", MUX_N2 + 1);
            return 1;
        }
        if (r->ports->mux_down) {
            mux_log(LOG_CRIT, "modem closed DLCI 0; aborted");
            return 1;
        }
        pump_ms = cmux_pump(r->ports);
    }
    mux_log(LOG_CRIT, "too much errors during TEST commands; aborted");
    // The modem stopped answering: that is a failure for whoever restarts us.
    return 1;
}
