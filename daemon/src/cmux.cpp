#include "cmux.h"

#include "muxctl.h"
#include "serport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sys/ioctl.h>

namespace
{

// data: a data channel's data is taken while the channel is being opened
// too (it waits for the UA in the channel's queue).
enum class op { send, data, connect, disconnect, handle };

bool check_port(cmux_ports *ports, int dlci, op what)
{
    if (dlci < 0 || dlci > MUX_MAX_DLCI) {
        mux_log(LOG_CRIT, "idx %d out of range", dlci);
        return false;
    }
    int state = ports->port[dlci].state;
    switch (what) {
    case op::send:
    case op::data:
        if (state != PORT_CONNECTED && !(what == op::data && dlci != 0 && state == PORT_CONNECTING)) {
            mux_log(LOG_CRIT, "port %d not connected", dlci);
            return false;
        }
        break;
    case op::disconnect:
        if (state == PORT_CONNECTING) {
            mux_log(LOG_CRIT, "port %d not connected", dlci);
            return false;
        }
        break;
    case op::connect:
        if (state == PORT_DISCONNECTING) {
            mux_log(LOG_CRIT, "port %d not disconnected", dlci);
            return false;
        }
        break;
    case op::handle:
        break;
    }
    return true;
}

int send_frame(cmux_ports *ports, int dlci, uint8_t control, size_t count, const msg_bufv *bufv)
{
    const uint8_t header[2] = {frame_address(dlci), control};
    return frame_send(ports->serport, header, count, bufv);
}

int send_ctl(cmux_ports *ports, uint8_t *info, size_t len)
{
    msg_bufv bufv{info, len};
    return send_frame(ports, 0, CONTROL_UIH, 1, &bufv);
}

// A response frame of ours (address C/R = 0): UA or DM, F as the modem's P.
int send_response(cmux_ports *ports, int dlci, uint8_t control, uint8_t pf)
{
    const uint8_t header[2] = {frame_address(dlci, false), static_cast<uint8_t>(control | (pf ? CONTROL_PF : 0))};
    return frame_send(ports->serport, header, 0, nullptr);
}

// The modem answers after what is queued before the frame has left.
void arm(cmux_ports *ports, cmux_channel &channel)
{
    int64_t line_ms = static_cast<int64_t>(serport_committed(ports->serport)) * SERPORT_OCTET_NS / 1000000;
    channel.deadline = serport_now_ms() + MUX_T1_MS + line_ms;
}

void disarm(cmux_channel &channel)
{
    channel.deadline = 0;
    channel.retries = 0;
}

// A data channel's data waits: the modem's FC, or no UA yet.
bool data_blocked(const cmux_ports *ports, const cmux_channel &channel)
{
    return ports->fc_all || channel.fc || channel.state != PORT_CONNECTED;
}

void notify(cmux_channel &channel, int dlci, int connected)
{
    if (dlci >= 1 && channel.notify)
        channel.notify(dlci - 1, connected, channel.notify_data);
}

// A SABM or DISC, counted until the modem answers it.
bool send_command(cmux_ports *ports, int dlci, uint8_t control)
{
    if (!send_frame(ports, dlci, control, 0, nullptr))
        return false;
    ++ports->port[dlci].unanswered;
    return true;
}

// An answer (UA or DM) came: false if none of our SABM or DISC frames was
// waiting for one.
bool answered(cmux_channel &channel)
{
    if (channel.unanswered == 0)
        return false;
    --channel.unanswered;
    return true;
}

void close_channel(cmux_ports *ports, int dlci)
{
    cmux_channel &channel = ports->port[dlci];
    disarm(channel);
    channel.after_dlci0 = 0;
    channel.abandoned = 0;
    channel.close_after_data = 0;
    channel.queued = channel.qhead = 0; // nobody takes it any more
    if (channel.state == PORT_CLOSED)
        return;
    channel.state = PORT_CLOSED;
    if (dlci == 0) {
        for (int i = 1; i <= MUX_MAX_DLCI; ++i)
            close_channel(ports, i);
    } else {
        notify(channel, dlci, 0);
    }
}

// DLCI 0 is open: the SABMs held back for it go out.
void open_held_channels(cmux_ports *ports)
{
    for (int dlci = 1; dlci <= MUX_MAX_DLCI; ++dlci) {
        cmux_channel &held = ports->port[dlci];
        if (!held.after_dlci0 || held.state != PORT_CONNECTING)
            continue;
        held.after_dlci0 = 0;
        if (send_command(ports, dlci, CONTROL_SABM))
            arm(ports, held);
        else
            held.state = PORT_CLOSED;
    }
}

int handle_test_response(cmux_ports *ports, const mux_frame *frame)
{
    static const uint8_t pattern[5] = {'t', 'e', 's', 't', '0'};
    if (frame->ctl_len != 5) {
        mux_log(LOG_ERR, "unexpected length %zd of TEST response", static_cast<ssize_t>(frame->ctl_len));
        return FRAME_REJECTED;
    }
    uint8_t answer[5];
    if (msg_bufv_copy(answer, sizeof answer, frame->win_num, &frame->win, 0) != answer + sizeof answer) {
        mux_log(LOG_ERR, "failed to copy TEST response");
        return FRAME_REJECTED;
    }
    if (memcmp(answer, pattern, sizeof pattern) != 0) {
        mux_log(LOG_ERR, "bad content of TEST response");
        return FRAME_REJECTED;
    }
    if (!ports->port[0].test_pending) {
        mux_log(LOG_ERR, "unexpected TEST response");
        return FRAME_REJECTED;
    }
    ports->port[0].test_pending = 0;
    return FRAME_CONSUMED;
}

// Answers a control message command with its response: the same message,
// C/R = 0.
int answer_ctl(cmux_ports *ports, const mux_frame *frame)
{
    uint8_t info[MUX_MAX_INFO];
    size_t len = msg_bufv_copy(info, sizeof info, 1, frame->bufv, 0) - info;
    info[0] &= static_cast<uint8_t>(~CTLMSG_CR);
    return send_ctl(ports, info, len);
}

int handle_control(cmux_ports *ports, const mux_frame *frame)
{
    switch (frame->num) {
    case CTLMSG_TEST:
        // The control message's own C/R tells command from response.
        if (!frame->ctl_cr)
            return handle_test_response(ports, frame);
        answer_ctl(ports, frame);
        return FRAME_CONSUMED;
    case CTLMSG_MSC: {
        cmux_channel &target = ports->port[frame->msc_dlci];
        if (!frame->ctl_cr && target.msc_pending) {
            // The answer to our own status: it echoes our signals.
            target.msc_pending = 0;
            return FRAME_CONSUMED;
        }
        if (frame->ctl_cr)
            answer_ctl(ports, frame);
        bool was_blocked = target.fc;
        target.fc = (frame->v24 & V24_FC) ? 1 : 0;
        if (was_blocked && !target.fc)
            cmux_pump(ports);
        return FRAME_FOR_LOOP; // the kernel port learns the modem's signals
    }
    case CTLMSG_FCON:
    case CTLMSG_FCOFF:
        if (frame->ctl_cr) {
            answer_ctl(ports, frame);
            ports->fc_all = frame->num == CTLMSG_FCOFF;
            if (!ports->fc_all)
                cmux_pump(ports);
        }
        return FRAME_CONSUMED;
    case CTLMSG_UNKNOWN: {
        // Not supported: say so with NSC carrying the command's type octet.
        uint8_t info[3] = {CTLMSG_NSC_RSP, 0x03, frame->value};
        send_ctl(ports, info, sizeof info);
        return FRAME_CONSUMED;
    }
    case CTLMSG_NSC:
        mux_log(LOG_ERR, "modem does not support control message 0x%02x", frame->value);
        return FRAME_CONSUMED;
    case CTLMSG_CLD:
        if (!frame->ctl_cr)
            return FRAME_CONSUMED; // the answer to our close-down
        return FRAME_FOR_LOOP;
    default:
        return FRAME_FOR_LOOP;
    }
}

} // namespace

int cmux_timeout(const cmux_ports *ports)
{
    int64_t next = 0;
    for (const cmux_channel &c : ports->port)
        if (c.deadline && (!next || c.deadline < next))
            next = c.deadline;
    if (!next)
        return -1;
    int64_t left = next - serport_now_ms();
    return left < 0 ? 0 : static_cast<int>(left);
}

int cmux_tick(cmux_ports *ports)
{
    if (cmux_timeout(ports) != 0)
        return 1; // nothing due (and no clock read while nothing is armed)
    int64_t now = serport_now_ms();
    for (int dlci = 0; dlci <= MUX_MAX_DLCI; ++dlci) {
        cmux_channel &channel = ports->port[dlci];
        if (!channel.deadline || channel.deadline > now)
            continue;
        bool sabm = channel.state == PORT_CONNECTING;
        if (channel.retries < MUX_N2) {
            ++channel.retries;
            send_command(ports, dlci, sabm ? CONTROL_SABM : CONTROL_DISC);
            arm(ports, channel);
            continue;
        }
        disarm(channel);
        if (sabm) {
            if (dlci == 0)
                return 0;
            mux_log(LOG_ERR, "modem did not open DLCI %d", dlci);
            channel.state = PORT_CLOSED;
            channel.abandoned = 1;
            channel.queued = channel.qhead = 0;
            notify(channel, dlci, 0);
        } else {
            // No answer to DISC: the channel counts as closed, so that the
            // port can be opened again.
            mux_log(LOG_ERR, "modem did not answer DISC on DLCI %d; closed", dlci);
            close_channel(ports, dlci);
        }
    }
    return 1;
}

namespace
{

// Whether the channel has data the modem takes now.
bool sendable(const cmux_ports *ports, int dlci)
{
    const cmux_channel &channel = ports->port[dlci];
    return channel.queued > 0 && !data_blocked(ports, channel);
}

// The payload of the frames the line has room for below the limit: whole
// pieces of at most len, and only while a full frame's room is free. Data
// that comes in small pieces while the line is busy collects in its queue
// and goes in full frames, not as many small ones.
size_t payload_for_line(size_t committed, size_t len)
{
    size_t n = 0;
    while (n < len && committed + MUX_DATA_PIECE + 6 <= CMUX_COMMIT_LIMIT) {
        size_t piece = len - n < MUX_DATA_PIECE ? len - n : MUX_DATA_PIECE;
        n += piece;
        committed += piece + 6;
    }
    return n;
}

size_t next_piece(const cmux_channel &channel)
{
    return channel.queued < MUX_DATA_PIECE ? channel.queued : MUX_DATA_PIECE;
}

// The next piece of the queue in one place: a piece that wraps is completed
// from the ring's start behind its end.
const uint8_t *piece_at_head(cmux_channel &channel, size_t piece)
{
    size_t over = channel.qhead + piece > CHANNEL_QUEUE_SIZE ? channel.qhead + piece - CHANNEL_QUEUE_SIZE : 0;
    memcpy(channel.queue + CHANNEL_QUEUE_SIZE, channel.queue, over);
    return channel.queue + channel.qhead;
}

} // namespace

int cmux_pump(cmux_ports *ports)
{
    // The channels with data the modem takes now, one bit each. (Most turns
    // of the loop have none: no clock, no ioctl.)
    unsigned ready = 0;
    for (int dlci = 1; dlci <= MUX_MAX_DLCI; ++dlci)
        if (sendable(ports, dlci))
            ready |= 1u << dlci;
    if (!ready)
        return -1;
    // The next frame goes when a full frame's room is free below the limit;
    // while the rate says the line is full, the driver is not asked.
    constexpr size_t room_at = CMUX_COMMIT_LIMIT - (MUX_DATA_PIECE + 6);
    size_t committed = serport_committed(ports->serport, room_at + 1);
    while (ready && committed <= room_at) {
        // One frame, so that the channels take turns.
        int dlci = ports->next_dlci;
        do
            dlci = dlci % MUX_MAX_DLCI + 1;
        while (!(ready & 1u << dlci));
        ports->next_dlci = dlci;
        cmux_channel &channel = ports->port[dlci];
        size_t piece = payload_for_line(committed, next_piece(channel));
        if (piece == 0 || !frame_send_data(ports->serport, dlci, piece_at_head(channel, piece), piece))
            break;
        committed += cmux_data_frames_size(piece);
        channel.qhead = (channel.qhead + piece) % CHANNEL_QUEUE_SIZE;
        channel.queued -= piece;
        if (channel.queued == 0) {
            ready &= ~(1u << dlci);
            channel.qhead = 0;
            if (channel.close_after_data && !port_disconnect(ports, dlci))
                mux_log(LOG_CRIT, "failed to send disconnect-async to port %d", dlci);
        }
    }
    if (!ready)
        return -1;
    if (serport_queued(ports->serport) > room_at)
        return -1; // the line's writability wakes the loop
    if (committed <= room_at)
        return 0;
    // (What the driver holds beyond the estimate counts too: a line stopped
    // by the modem's CTS is not polled in a busy loop.)
    int64_t us = static_cast<int64_t>(committed - room_at) * SERPORT_OCTET_NS / 1000;
    return static_cast<int>((us + 999) / 1000);
}

cmux_ports *cmux_ports_open(const char *path)
{
    auto *ports = static_cast<cmux_ports *>(calloc(1, sizeof(cmux_ports)));
    if (!ports) {
        perror("malloc(<cmux_ports>)");
        return nullptr;
    }
    ports->serport = serport_open(path);
    if (!ports->serport) {
        free(ports);
        return nullptr;
    }
    return ports;
}

void cmux_ports_close(cmux_ports *ports)
{
    if (!ports)
        return;
    serport_close(ports->serport);
    for (cmux_channel &c : ports->port)
        free(c.queue);
    free(ports);
}

int port_connect(cmux_ports *ports, int dlci, port_notify_fn notify_fn, void *notify_data)
{
    if (!check_port(ports, dlci, op::connect))
        return 0;
    cmux_channel &channel = ports->port[dlci];
    channel.notify = notify_fn;
    channel.notify_data = notify_data;
    disarm(channel);
    channel.abandoned = 0;
    channel.close_after_data = 0;
    channel.fc = 0;
    channel.msc_pending = 0;
    if (dlci != 0 && ports->port[0].state != PORT_CONNECTED) {
        // The modem takes a data channel only once DLCI 0 is open.
        channel.after_dlci0 = 1;
        channel.state = PORT_CONNECTING;
        return 1;
    }
    if (!send_command(ports, dlci, CONTROL_SABM))
        return 0;
    channel.after_dlci0 = 0;
    channel.state = PORT_CONNECTING;
    arm(ports, channel);
    return 1;
}

int port_disconnect(cmux_ports *ports, int dlci)
{
    if (!check_port(ports, dlci, op::disconnect))
        return 0;
    cmux_channel &channel = ports->port[dlci];
    if (channel.state == PORT_CLOSED && dlci != 0) {
        // Nothing to close on the modem's side: the port learns it at once.
        notify(channel, dlci, 0);
        return 1;
    }
    if (channel.state == PORT_CONNECTED && channel.queued > 0) {
        // The port's data written before the close goes first.
        channel.close_after_data = 1;
        return 1;
    }
    channel.close_after_data = 0;
    if (!send_command(ports, dlci, CONTROL_DISC))
        return 0;
    channel.abandoned = 0;
    channel.state = PORT_DISCONNECTING;
    disarm(channel);
    arm(ports, channel);
    return 1;
}

int port_send_data(cmux_ports *ports, int dlci, const uint8_t *data, size_t len)
{
    if (!check_port(ports, dlci, op::data))
        return 0;
    cmux_channel &channel = ports->port[dlci];
    if (dlci != 0 && channel.queued == 0 && !data_blocked(ports, channel)) {
        // What the line has room for goes at once, from where it is.
        size_t now = payload_for_line(serport_committed(ports->serport), len);
        if (now > 0 && !frame_send_data(ports->serport, dlci, data, now))
            return 0;
        data += now;
        len -= now;
    }
    if (len == 0)
        return 1;
    if (dlci == 0)
        return frame_send_data(ports->serport, dlci, data, len);
    // The rest waits in order for the line (or for the modem's FC to end).
    if (len > CHANNEL_QUEUE_SIZE - channel.queued) {
        mux_log(LOG_CRIT, "flow-control queue of port %d full", dlci);
        return 0;
    }
    if (!channel.queue &&
        !(channel.queue = static_cast<uint8_t *>(malloc(CHANNEL_QUEUE_SIZE + MUX_DATA_PIECE)))) {
        mux_log(LOG_CRIT, "malloc(<flow-control queue>) failed");
        return 0;
    }
    // A ring: nothing queued moves when more comes (moving 32 KiB to make
    // room for each message cost more than the rest of the relay).
    size_t tail = (channel.qhead + channel.queued) % CHANNEL_QUEUE_SIZE;
    size_t first = CHANNEL_QUEUE_SIZE - tail < len ? CHANNEL_QUEUE_SIZE - tail : len;
    memcpy(channel.queue + tail, data, first);
    memcpy(channel.queue, data + first, len - first);
    channel.queued += len;
    return 1;
}

int port_set_mctrl(cmux_ports *ports, int dlci, uint32_t mctrl)
{
    if (!check_port(ports, dlci, op::send))
        return 0;
    bool brk = mctrl & MUX_MCTRL_BREAK;
    uint8_t v24 = V24_EA;
    if (mctrl & MUX_MCTRL_FC)
        v24 |= V24_FC;
    if (mctrl & MUX_MCTRL_DTR)
        v24 |= V24_RTC;
    if (mctrl & MUX_MCTRL_RTS)
        v24 |= V24_RTR;
    uint8_t info[5] = {CTLMSG_MSC_CMD, static_cast<uint8_t>(brk ? 0x07 : 0x05), frame_address(dlci), v24,
                       0x01};
    if (!send_ctl(ports, info, brk ? 5 : 4))
        return 0;
    ports->port[dlci].msc_pending = 1;
    return 1;
}

int port_send_test(cmux_ports *ports)
{
    if (!check_port(ports, 0, op::send))
        return 0;
    if (ports->port[0].test_pending) {
        mux_log(LOG_CRIT, "sending TEST although another test is pending for port %d", 0);
        return 0;
    }
    uint8_t info[7] = {CTLMSG_TEST_CMD, 0x0B, 't', 'e', 's', 't', '0'};
    if (!send_ctl(ports, info, sizeof info))
        return 0;
    ports->port[0].test_pending = 1;
    return 1;
}

int port_send_psc(cmux_ports *ports, uint8_t value)
{
    uint8_t info[2] = {CTLMSG_PSC_CMD, value};
    if (!send_ctl(ports, info, sizeof info))
        return 0;
    int dtr = TIOCM_DTR;
    return ioctl(ports->serport->fd, TIOCMBIC, &dtr) == 0;
}

int frame_handle(cmux_ports *ports, const mux_frame *frame)
{
    int dlci = frame->dlci;
    if (!check_port(ports, dlci, op::handle))
        return FRAME_REJECTED;
    cmux_channel &channel = ports->port[dlci];
    switch (frame->type) {
    case MUX_UA: {
        const bool owed = answered(channel);
        if (channel.state == PORT_CLOSED && channel.abandoned) {
            // The answer came after we gave up: the channel is open on the
            // modem's side, and the port, still open, takes it.
            mux_log(LOG_ERR, "modem opened DLCI %d late", dlci);
            channel.abandoned = 0;
            channel.state = PORT_CONNECTED;
            notify(channel, dlci, 1);
        } else if (channel.state == PORT_CONNECTING && !channel.after_dlci0) {
            channel.state = PORT_CONNECTED;
            disarm(channel);
            notify(channel, dlci, 1);
            if (dlci == 0)
                open_held_channels(ports);
        } else if (channel.state == PORT_DISCONNECTING) {
            close_channel(ports, dlci);
        } else if (!owed) {
            mux_log(LOG_ERR, "unexpected UA frame");
            return FRAME_REJECTED;
        }
        // else: a late answer to a SABM or DISC sent again
        return FRAME_CONSUMED;
    }
    case MUX_DISC:
        // The modem closes the channel: UA, and the port learns it.
        if (channel.state == PORT_CLOSED) {
            send_response(ports, dlci, CONTROL_DM, frame->pf);
            return FRAME_CONSUMED;
        }
        send_response(ports, dlci, CONTROL_UA, frame->pf);
        close_channel(ports, dlci);
        if (dlci == 0)
            ports->mux_down = 1;
        return FRAME_CONSUMED;
    case MUX_SABM:
        // We are the initiating station: the modem opens nothing.
        send_response(ports, dlci, CONTROL_DM, frame->pf);
        return FRAME_CONSUMED;
    case MUX_DM: {
        const bool owed = answered(channel);
        channel.abandoned = 0;
        if (channel.state == PORT_CONNECTED) {
            // The modem knows no such connection (any more).
            close_channel(ports, dlci);
            if (dlci == 0)
                ports->mux_down = 1;
        } else if (channel.state == PORT_CONNECTING) {
            channel.state = PORT_CLOSED;
            disarm(channel);
            channel.after_dlci0 = 0;
            if (dlci == 0)
                ports->mux_down = 1;
        } else if (channel.state == PORT_DISCONNECTING) {
            // The modem has no such connection: closed either way, and the
            // port may be opened again.
            close_channel(ports, dlci);
        } else if (!owed) {
            mux_log(LOG_ERR, "unexpected DM frame");
            return FRAME_REJECTED;
        }
        // else: the answer to a frame sent again after the first was answered
        return FRAME_CONSUMED;
    }
    case MUX_UIH:
        if (dlci != 0) {
            if (!cmux_data_open(ports, dlci)) {
                mux_log(LOG_ERR, "UIH frame for unconnected port %d", dlci);
                return FRAME_REJECTED;
            }
            return FRAME_FOR_LOOP;
        }
        return handle_control(ports, frame);
    default:
        mux_log(LOG_CRIT, "bad control type in this state");
        return FRAME_REJECTED;
    }
}

uint32_t cmux_modem_status(uint8_t v24, bool has_break)
{
    uint32_t mctrl = 0;
    if (v24 & V24_RTR)
        mctrl |= MUX_MCTRL_CTS;
    if (v24 & V24_DV)
        mctrl |= MUX_MCTRL_DCD;
    if (v24 & V24_IC)
        mctrl |= MUX_MCTRL_RI;
    if (v24 & V24_RTC)
        mctrl |= MUX_MCTRL_DSR;
    if (has_break)
        mctrl |= MUX_MCTRL_BREAK;
    if (v24 & V24_FC)
        mctrl |= MUX_MCTRL_FC;
    return mctrl;
}

void cmux_kernel_notify(int port, int connected, void *mux)
{
    mux_ctl_notify(static_cast<mux_ctl *>(mux), port, connected);
}

void cmux_msg_dispatch(cmux_ports *ports, mux_ctl *mux, const uint8_t *msg, size_t msg_len)
{
    mux_msg_hdr hdr;
    if (msg_len < sizeof hdr) {
        mux_log(LOG_ERR, "kernel message too small (%zd bytes)", static_cast<ssize_t>(msg_len));
        return;
    }
    memcpy(&hdr, msg, sizeof hdr);
    int dlci = hdr.port + 1;
    switch (hdr.type) {
    case MUX_MSG_DATA:
        // The driver must not announce more than the message holds.
        if (hdr.len > msg_len - sizeof hdr) {
            mux_log(LOG_ERR, "bad length %u of DATA message for port %d", hdr.len, dlci);
            return;
        }
        if (!port_send_data(ports, dlci, msg + sizeof hdr, hdr.len))
            mux_log(LOG_CRIT, "failed to send data with len %zd to port %d", static_cast<ssize_t>(hdr.len),
                    dlci);
        break;
    case MUX_MSG_MCTRL:
        if (!port_set_mctrl(ports, dlci, hdr.len))
            mux_log(LOG_CRIT, "failed to set mctrl %02x on port %d", hdr.len, dlci);
        break;
    case MUX_MSG_CLOSE:
        if (!port_disconnect(ports, dlci))
            mux_log(LOG_CRIT, "failed to send disconnect-async to port %d", dlci);
        break;
    case MUX_MSG_OPEN:
        if (!port_connect(ports, dlci, cmux_kernel_notify, mux))
            mux_log(LOG_CRIT, "failed to send connect-async to port %d", dlci);
        break;
    default:
        mux_log(LOG_ERR, "unhandled hdr %d", hdr.type);
        break;
    }
}

void mux_msg_dispatch(cmux_ports *ports, mux_ctl *mux)
{
    alignas(mux_msg_hdr) uint8_t message[MUX_MSG_SIZE_MAX + 1];
    if (!mux_ctl_read_msg(mux, message))
        return;
    cmux_msg_dispatch(ports, mux, message, mux->info.msg_size);
}
