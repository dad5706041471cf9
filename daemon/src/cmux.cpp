#include "cmux.h"

#include "muxctl.h"
#include "serport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>

namespace
{

enum class op { send, connect, disconnect, handle };

bool check_port(cmux_ports *ports, int dlci, op what)
{
    if (dlci < 0 || dlci > MUX_MAX_DLCI) {
        mux_log(LOG_CRIT, "idx %d out of range", dlci);
        return false;
    }
    int state = ports->port[dlci].state;
    switch (what) {
    case op::send:
        if (state != PORT_CONNECTED) {
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

uint8_t address(int dlci)
{
    return static_cast<uint8_t>(dlci << 2 | 0x03);
}

int send_frame(cmux_ports *ports, int dlci, uint8_t control, size_t count, const msg_bufv *bufv)
{
    const uint8_t header[2] = {address(dlci), control};
    return portweaver_frame_send(ports->serport, header, count, bufv);
}

int send_ctl(cmux_ports *ports, uint8_t *info, size_t len)
{
    msg_bufv bufv{info, len};
    return send_frame(ports, 0, MUX_CTL_UIH, 1, &bufv);
}

void notify(cmux_channel &channel, int dlci, int connected)
{
    if (dlci >= 1 && channel.notify)
        channel.notify(dlci - 1, connected, channel.notify_data);
}

void close_channel(cmux_ports *ports, int dlci)
{
    cmux_channel &channel = ports->port[dlci];
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

} // namespace

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
    free(ports);
}

int port_connect(cmux_ports *ports, int dlci, port_notify_fn notify_fn, void *notify_data)
{
    if (!check_port(ports, dlci, op::connect))
        return 0;
    cmux_channel &channel = ports->port[dlci];
    channel.notify = notify_fn;
    channel.notify_data = notify_data;
    if (!send_frame(ports, dlci, MUX_CTL_SABM, 0, nullptr))
        return 0;
    channel.state = PORT_CONNECTING;
    return 1;
}

int port_disconnect(cmux_ports *ports, int dlci)
{
    if (!check_port(ports, dlci, op::disconnect))
        return 0;
    if (!send_frame(ports, dlci, MUX_CTL_DISC, 0, nullptr))
        return 0;
    cmux_channel &channel = ports->port[dlci];
    if (channel.state != PORT_DISCONNECTING)
        channel.disc_from = channel.state;
    channel.state = PORT_DISCONNECTING;
    return 1;
}

int port_send_data(cmux_ports *ports, int dlci, const uint8_t *data, size_t len)
{
    if (!check_port(ports, dlci, op::send))
        return 0;
    while (len > 0) {
        size_t piece = len < MUX_DATA_PIECE ? len : MUX_DATA_PIECE;
        msg_bufv bufv{const_cast<uint8_t *>(data), piece};
        if (!send_frame(ports, dlci, MUX_CTL_UIH, 1, &bufv))
            return 0;
        data += piece;
        len -= piece;
    }
    return 1;
}

size_t portweaver_data_frames_size(size_t payload)
{
    // Flag, address, control, length, FCS and flag around each piece.
    return payload + 6 * ((payload + MUX_DATA_PIECE - 1) / MUX_DATA_PIECE);
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
    uint8_t info[5] = {MUX_MSG_MSC_CMD, static_cast<uint8_t>(brk ? 0x07 : 0x05), address(dlci), v24, 0x01};
    return send_ctl(ports, info, brk ? 5 : 4);
}

int port_send_test(cmux_ports *ports)
{
    if (!check_port(ports, 0, op::send))
        return 0;
    if (ports->port[0].test_pending) {
        mux_log(LOG_CRIT, "sending TEST although another test is pending for port %d", 0);
        return 0;
    }
    uint8_t info[7] = {MUX_MSG_TEST_CMD, 0x0B, 't', 'e', 's', 't', '0'};
    if (!send_ctl(ports, info, sizeof info))
        return 0;
    ports->port[0].test_pending = 1;
    return 1;
}

int port_send_psc(cmux_ports *ports, uint8_t value)
{
    uint8_t info[2] = {MUX_MSG_PSC_CMD, value};
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
    case MUX_UA:
        if (channel.state == PORT_CONNECTING) {
            channel.state = PORT_CONNECTED;
            notify(channel, dlci, 1);
        } else if (channel.state == PORT_DISCONNECTING) {
            close_channel(ports, dlci);
        } else {
            mux_log(LOG_ERR, "unexpected UA frame");
            return FRAME_REJECTED;
        }
        return FRAME_CONSUMED;
    case MUX_DM:
        if (channel.state == PORT_CONNECTING) {
            channel.state = PORT_CLOSED;
        } else if (channel.state == PORT_DISCONNECTING) {
            // The modem refused the disconnect: the channel stays as it was,
            // and one that was never open does not become connected.
            channel.state = channel.disc_from == PORT_CLOSED ? PORT_CLOSED : PORT_CONNECTED;
        } else {
            mux_log(LOG_ERR, "unexpected DM frame");
            return FRAME_REJECTED;
        }
        return FRAME_CONSUMED;
    case MUX_UIH:
        if (dlci != 0) {
            if (channel.state != PORT_CONNECTED) {
                mux_log(LOG_ERR, "UIH frame for unconnected port %d", dlci);
                return FRAME_REJECTED;
            }
            return FRAME_FOR_LOOP;
        }
        if (frame->num == MUX_CTL_TEST && frame->pf == 0 && frame->cr == 0)
            return handle_test_response(ports, frame);
        return FRAME_FOR_LOOP;
    default:
        mux_log(LOG_CRIT, "bad control type in this state");
        return FRAME_REJECTED;
    }
}

uint32_t portweaver_modem_status(uint8_t v24, bool has_break)
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

void portweaver_kernel_notify(int port, int connected, void *mux)
{
    mux_ctl_notify(static_cast<mux_ctl *>(mux), port, connected);
}

void portweaver_msg_dispatch(cmux_ports *ports, mux_ctl *mux, const uint8_t *msg, size_t msg_len)
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
        if (!port_connect(ports, dlci, portweaver_kernel_notify, mux))
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
    portweaver_msg_dispatch(ports, mux, message, mux->info.msg_size);
}
