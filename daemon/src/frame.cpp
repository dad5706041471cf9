#include "frame.h"

#include "serport.h"

#include <cstdio>
#include <cstring>

// TS 27.010 FCS: CRC-8, generator x^8 + x^2 + x + 1 processed least
// significant bit first (reflected polynomial 0xE0).
const uint8_t frame_crc_table[256] = {
    0x00, 0x91, 0xE3, 0x72, 0x07, 0x96, 0xE4, 0x75, 0x0E, 0x9F, 0xED, 0x7C, 0x09, 0x98, 0xEA, 0x7B,
    0x1C, 0x8D, 0xFF, 0x6E, 0x1B, 0x8A, 0xF8, 0x69, 0x12, 0x83, 0xF1, 0x60, 0x15, 0x84, 0xF6, 0x67,
    0x38, 0xA9, 0xDB, 0x4A, 0x3F, 0xAE, 0xDC, 0x4D, 0x36, 0xA7, 0xD5, 0x44, 0x31, 0xA0, 0xD2, 0x43,
    0x24, 0xB5, 0xC7, 0x56, 0x23, 0xB2, 0xC0, 0x51, 0x2A, 0xBB, 0xC9, 0x58, 0x2D, 0xBC, 0xCE, 0x5F,
    0x70, 0xE1, 0x93, 0x02, 0x77, 0xE6, 0x94, 0x05, 0x7E, 0xEF, 0x9D, 0x0C, 0x79, 0xE8, 0x9A, 0x0B,
    0x6C, 0xFD, 0x8F, 0x1E, 0x6B, 0xFA, 0x88, 0x19, 0x62, 0xF3, 0x81, 0x10, 0x65, 0xF4, 0x86, 0x17,
    0x48, 0xD9, 0xAB, 0x3A, 0x4F, 0xDE, 0xAC, 0x3D, 0x46, 0xD7, 0xA5, 0x34, 0x41, 0xD0, 0xA2, 0x33,
    0x54, 0xC5, 0xB7, 0x26, 0x53, 0xC2, 0xB0, 0x21, 0x5A, 0xCB, 0xB9, 0x28, 0x5D, 0xCC, 0xBE, 0x2F,
    0xE0, 0x71, 0x03, 0x92, 0xE7, 0x76, 0x04, 0x95, 0xEE, 0x7F, 0x0D, 0x9C, 0xE9, 0x78, 0x0A, 0x9B,
    0xFC, 0x6D, 0x1F, 0x8E, 0xFB, 0x6A, 0x18, 0x89, 0xF2, 0x63, 0x11, 0x80, 0xF5, 0x64, 0x16, 0x87,
    0xD8, 0x49, 0x3B, 0xAA, 0xDF, 0x4E, 0x3C, 0xAD, 0xD6, 0x47, 0x35, 0xA4, 0xD1, 0x40, 0x32, 0xA3,
    0xC4, 0x55, 0x27, 0xB6, 0xC3, 0x52, 0x20, 0xB1, 0xCA, 0x5B, 0x29, 0xB8, 0xCD, 0x5C, 0x2E, 0xBF,
    0x90, 0x01, 0x73, 0xE2, 0x97, 0x06, 0x74, 0xE5, 0x9E, 0x0F, 0x7D, 0xEC, 0x99, 0x08, 0x7A, 0xEB,
    0x8C, 0x1D, 0x6F, 0xFE, 0x8B, 0x1A, 0x68, 0xF9, 0x82, 0x13, 0x61, 0xF0, 0x85, 0x14, 0x66, 0xF7,
    0xA8, 0x39, 0x4B, 0xDA, 0xAF, 0x3E, 0x4C, 0xDD, 0xA6, 0x37, 0x45, 0xD4, 0xA1, 0x30, 0x42, 0xD3,
    0xB4, 0x25, 0x57, 0xC6, 0xB3, 0x22, 0x50, 0xC1, 0xBA, 0x2B, 0x59, 0xC8, 0xBD, 0x2C, 0x5E, 0xCF,
};

uint8_t frame_fcs(uint8_t fcs, const uint8_t *data, size_t len)
{
    for (size_t i = 0; i < len; ++i)
        fcs = frame_crc_table[fcs ^ data[i]];
    return fcs;
}

namespace
{

// Pieces of one send of a frame (header and trailer included).
constexpr int SEND_PIECES = 8;

bool is_uih(uint8_t control)
{
    return (control & 0xEF) == CONTROL_UIH;
}

int frame_type(uint8_t control)
{
    switch (control & 0xEF) {
    case 0x2F:
        return MUX_SABM;
    case 0x63:
        return MUX_UA;
    case 0x0F:
        return MUX_DM;
    case 0x43:
        return MUX_DISC;
    case 0xEF:
        return MUX_UIH;
    default:
        return -1;
    }
}

int ctl_number(uint8_t type_octet)
{
    switch (type_octet & 0xFC) {
    case 0xC0:
        return CTLMSG_CLD;
    case 0x20:
        return CTLMSG_TEST;
    case 0x60:
        return CTLMSG_PSC;
    case 0xE0:
        return CTLMSG_MSC;
    case 0x10:
        return CTLMSG_NSC;
    case 0xA0:
        return CTLMSG_FCON;
    default:
        return -1;
    }
}

const char *type_name(int type)
{
    static const char *const names[] = {"SABM", "UA", "DM", "DISC", "UIH"};
    return type >= 0 && type <= MUX_UIH ? names[type] : nullptr;
}

const char *ctl_name(size_t num)
{
    switch (num) {
    case CTLMSG_CLD:
        return "CLD";
    case CTLMSG_TEST:
        return "TEST";
    case CTLMSG_PSC:
        return "PSC";
    case CTLMSG_MSC:
        return "MSC";
    case CTLMSG_NSC:
        return "NSC";
    case CTLMSG_FCON:
        return "FCon";
    case CTLMSG_FCOFF:
        return "FCoff";
    default:
        return nullptr;
    }
}

int recv_failed()
{
    mux_log(LOG_ERR, "failed to receive CMUX frame");
    return 0;
}

// After garbage, a frame start must look like one: the flag, then an
// address with EA set and a DLCI we serve, then a known control octet.
// Idle flags, the closing flag of a lost frame and a flag inside garbage
// fail this and are skipped.
bool plausible_start(const uint8_t hdr[4])
{
    return hdr[0] == MUX_FLAG && (hdr[1] & 0x01) && (hdr[1] >> 2) <= MUX_MAX_DLCI && frame_type(hdr[2]) >= 0;
}

// The opening flag, address, control and length octets of a frame, and the
// FCS register over them.
uint8_t frame_head(uint8_t head[4], uint8_t address, uint8_t control, size_t len)
{
    head[0] = MUX_FLAG;
    head[1] = address;
    head[2] = control;
    head[3] = static_cast<uint8_t>(len << 1 | 1);
    return frame_fcs3(head[1], head[2], head[3]);
}

// Data frames of one send.
constexpr size_t DATA_FRAMES_PER_SEND = 16;

} // namespace

int frame_send_data(serport *port, int dlci, const uint8_t *data, size_t len)
{
    const uint8_t address = frame_address(dlci);
    // Between two frames, the trailer of a full piece and the header of the
    // next piece go out as one piece of 6 octets; a send begins with a
    // header alone (the last 4 of them) and ends with a trailer alone.
    uint8_t to_full[6];
    to_full[0] = static_cast<uint8_t>(~frame_head(to_full + 2, address, CONTROL_UIH, MUX_DATA_PIECE));
    to_full[1] = MUX_FLAG;
    uint8_t to_short[6] = {to_full[0], MUX_FLAG};
    uint8_t short_tail[2] = {0, MUX_FLAG};
    if (len % MUX_DATA_PIECE)
        short_tail[0] =
            static_cast<uint8_t>(~frame_head(to_short + 2, address, CONTROL_UIH, len % MUX_DATA_PIECE));
    iovec iov[2 * DATA_FRAMES_PER_SEND + 1];
    while (len > 0) {
        int n = 0;
        size_t octets = 0;
        size_t piece = 0;
        for (size_t f = 0; f < DATA_FRAMES_PER_SEND && len > 0; ++f) {
            piece = len < MUX_DATA_PIECE ? len : MUX_DATA_PIECE; // only the last piece is shorter
            uint8_t *before = piece == MUX_DATA_PIECE ? to_full : to_short;
            iov[n++] = f == 0 ? iovec{before + 2, 4} : iovec{before, 6};
            iov[n++] = {const_cast<uint8_t *>(data), piece};
            data += piece;
            len -= piece;
            octets += piece + 6;
        }
        iov[n++] = {piece == MUX_DATA_PIECE ? to_full : short_tail, 2};
        if (!port->ops->sendv(port, iov, n, octets)) {
            mux_log(LOG_CRIT, "%s failed", "portweaver_frame_send");
            return 0;
        }
    }
    return 1;
}

int frame_send(serport *port, const uint8_t header[2], size_t count, const msg_bufv *bufv)
{
    size_t total = msg_bufv_len(count, bufv);
    if (total > MUX_MAX_INFO) {
        mux_log(LOG_ERR, "buf_len too large (%zd bytes)", static_cast<ssize_t>(total));
        mux_log(LOG_CRIT, "%s failed", "portweaver_frame_send");
        return 0;
    }
    // A frame that cannot be queued whole is not started: half a frame on
    // the line would corrupt the next one as well.
    if (total + 6 > serport_room(port)) {
        mux_log(LOG_CRIT, "overflow while writing to serport");
        mux_log(LOG_CRIT, "%s failed", "portweaver_frame_send");
        return 0;
    }
    uint8_t head[4];
    uint8_t fcs = frame_head(head, header[0], header[1], total);
    if (!is_uih(header[1])) {
        for (size_t i = 0; i < count; ++i)
            fcs = frame_fcs(fcs, bufv[i].data, bufv[i].len);
    }
    const uint8_t tail[2] = {static_cast<uint8_t>(~fcs), MUX_FLAG};
    // Header, information (not copied) and trailer in one send; a frame of
    // many pieces goes out in several, the ring keeping them in order.
    iovec iov[SEND_PIECES];
    int n = 0;
    iov[n++] = {head, sizeof head};
    size_t octets = sizeof head;
    bool ok = true;
    for (size_t i = 0; ok && i < count; ++i) {
        if (bufv[i].len == 0)
            continue;
        if (n == SEND_PIECES - 1) {
            ok = port->ops->sendv(port, iov, n, octets);
            n = 0;
            octets = 0;
        }
        iov[n++] = {bufv[i].data, bufv[i].len};
        octets += bufv[i].len;
    }
    if (ok) {
        iov[n++] = {const_cast<uint8_t *>(tail), sizeof tail};
        ok = port->ops->sendv(port, iov, n, octets + sizeof tail);
    }
    if (!ok) {
        mux_log(LOG_CRIT, "%s failed", "portweaver_frame_send");
        return 0;
    }
    return 1;
}

int frame_ctl_decode(mux_frame *frame, msg_bufv *info)
{
    size_t info_len = info->len;
    if (info_len < 2) {
        mux_log(LOG_ERR, "UIH CTL frame too small (%zd bytes)", static_cast<ssize_t>(info_len));
        return 0;
    }
    uint8_t type_octet = info->data[0];
    if (!(type_octet & 0x01)) {
        mux_log(LOG_ERR, "EA bit missing in UIH type 0x%02x", type_octet);
        return 0;
    }
    int num = ctl_number(type_octet);
    frame->ctl_ea = type_octet & 0x01;
    frame->ctl_cr = (type_octet >> 1) & 0x01;
    size_t value_len = info->data[1] >> 1;
    if (num < 0) {
        mux_log(LOG_ERR, "unsupported UIH type 0x%02x", type_octet & 0xFC);
        // A command still wants its NSC; a response is dropped.
        if (!frame->ctl_cr)
            return 0;
        frame->num = CTLMSG_UNKNOWN;
        frame->value = type_octet;
        frame->ctl_len = static_cast<int>(value_len);
        return 1;
    }
    if (num == CTLMSG_PSC && value_len == 0)
        num = CTLMSG_FCOFF;
    frame->num = static_cast<size_t>(num);
    frame->ctl_len = static_cast<int>(value_len);
    if (value_len + 2 != info_len) {
        mux_log(LOG_ERR, "bad UIH CTL length (%zd instead of %zd)", static_cast<ssize_t>(value_len),
                static_cast<ssize_t>(info_len - 2));
        return 0;
    }
    const uint8_t *value = info->data + 2;
    switch (num) {
    case CTLMSG_FCON:
    case CTLMSG_FCOFF:
    case CTLMSG_CLD:
        if (value_len != 0) {
            mux_log(LOG_ERR, "bad UIH %s length (%zd instead of 0)", ctl_name(frame->num),
                    static_cast<ssize_t>(value_len));
            return 0;
        }
        break;
    case CTLMSG_TEST:
        frame->win_num = 1;
        frame->win.data = info->data + 2;
        frame->win.len = value_len;
        break;
    case CTLMSG_PSC:
    case CTLMSG_NSC:
        if (value_len != 1) {
            mux_log(LOG_ERR, "bad UIH %s length (%zd instead of 1)", ctl_name(frame->num),
                    static_cast<ssize_t>(value_len));
            return 0;
        }
        frame->value = msg_bufv_get_char(1, info, 2);
        break;
    case CTLMSG_MSC: {
        if (value_len != 2 && value_len != 3) {
            mux_log(LOG_ERR, "bad UIH MSC length (%zd instead of 2 or 3)", static_cast<ssize_t>(value_len));
            return 0;
        }
        if ((value[0] & 0x03) != 0x03) {
            mux_log(LOG_ERR, "bad bits in UIH MSC DLCI octet (0x%02x)", value[0]);
            return 0;
        }
        int dlci = value[0] >> 2;
        if (dlci == 0 || dlci > MUX_MAX_DLCI) {
            mux_log(LOG_ERR, "bad DLCI %d in UIH MSC frame", dlci);
            return 0;
        }
        if (value[1] & V24_RESERVED) {
            mux_log(LOG_ERR, "bad bits set in V24 octet 0x%02x of UIH MSC frame", value[1]);
            return 0;
        }
        if (value_len == 3 && value[2] != 0x01) {
            mux_log(LOG_ERR, "bad break octet 0x%02x in UIH MSC frame", value[2]);
            return 0;
        }
        frame->msc_dlci = dlci;
        frame->v24 = value[1];
        frame->has_break = value_len == 3;
        break;
    }
    }
    return 1;
}

namespace
{

// Skips what precedes the next plausible frame start in [p, p + avail):
// the octets to drop (all but a flag at the very end that may open one).
size_t hunt(const uint8_t *p, size_t avail, size_t from)
{
    for (size_t k = from; k < avail; ++k) {
        if (p[k] != MUX_FLAG)
            continue;
        if (avail - k < 4)
            return k; // judged when more has come
        if (plausible_start(p + k))
            return k;
    }
    return avail;
}

frame_result dropped(size_t *used, size_t n)
{
    *used = n;
    return frame_result::dropped;
}

frame_result rejected(size_t *used, size_t n)
{
    recv_failed();
    return dropped(used, n);
}

} // namespace

frame_result frame_recv(frame_rx *rx, const uint8_t *p, size_t avail, mux_frame *frame, msg_bufv *bufv,
                        size_t *used)
{
    *used = 0;
    if (avail == 0)
        return frame_result::partial;
    // Where the address octet is: behind the opening flag (idle flags
    // skipped), or at the front when the last frame's closing flag opens
    // this one as well (some modems send one flag between frames).
    size_t a = 0;
    if (p[0] == MUX_FLAG) {
        while (a < avail && p[a] == MUX_FLAG)
            ++a;
        if (a == avail)
            return a > 1 ? dropped(used, a - 1) : frame_result::partial;
    }
    bool start_ok = a > 0 || rx->shared_flag;
    if (a > 1) {
        // After idle flags a start must look like one (the closing flag of
        // a lost frame is no opening flag).
        if (avail - a < 2)
            return frame_result::partial;
        start_ok = plausible_start(p + a - 1);
    }
    if (!start_ok) {
        // Garbage before the frame: dropped up to the next plausible start.
        // Right after the switch into the multiplexer the modem's command-
        // mode leftovers are expected and skipped without a word.
        size_t n = hunt(p, avail, a > 0 ? a : 1);
        rx->shared_flag = 0;
        if (rx->quiet)
            return dropped(used, n);
        if (p[0] != MUX_FLAG)
            mux_log(LOG_CRIT, "bad frame flag %02x", p[0]);
        return rejected(used, n);
    }
    const uint8_t *hdr = p + a; // address, control, length octet(s)
    if (avail - a < 3)
        return frame_result::partial;
    size_t hdr_len = 4;
    if (!(hdr[2] & 0x01)) {
        if (avail - a < 4)
            return frame_result::partial;
        hdr_len = 5;
    }
    const size_t head_end = a + hdr_len - 1; // octets up to the information field
    size_t len = hdr[2] >> 1;
    if (hdr_len == 5)
        len |= static_cast<size_t>(hdr[3]) << 7;
    if (len > MUX_MAX_INFO) {
        mux_log(LOG_CRIT, "data len %zd out-of-bound", static_cast<ssize_t>(len));
        rx->shared_flag = 0;
        return rejected(used, head_end);
    }
    const size_t total = head_end + len + 2;
    if (avail < total)
        return frame_result::partial;
    const uint8_t *info = p + head_end;
    const uint8_t address = hdr[0];
    const uint8_t control = hdr[1];
    uint8_t fcs = frame_fcs(0xFF, hdr, hdr_len - 1);
    if (!is_uih(control))
        fcs = frame_fcs(fcs, info, len);
    const uint8_t *trailer = info + len;
    const auto expected = static_cast<uint8_t>(~fcs);
    if (trailer[0] != expected || trailer[1] != MUX_FLAG) {
        mux_log(LOG_ERR, "frame flag (%02x) or CRC mismatch (%02x vs. %02x)", trailer[1], trailer[0],
                expected);
        rx->shared_flag = trailer[1] == MUX_FLAG;
        return rejected(used, total);
    }
    *used = total;
    rx->shared_flag = 1;
    rx->quiet = 0;
    bufv->data = const_cast<uint8_t *>(info);
    bufv->len = len;
    return frame_check(frame, address, control, bufv) ? frame_result::frame : frame_result::dropped;
}

size_t frame_give_up(frame_rx *rx, const uint8_t *p, size_t avail)
{
    recv_failed();
    rx->shared_flag = 0;
    return hunt(p, avail, 1);
}

int frame_check(mux_frame *frame, uint8_t address, uint8_t control, msg_bufv *bufv)
{
    memset(frame, 0, sizeof *frame);
    frame->dlci = address >> 2;
    frame->ea = address & 0x01;
    frame->cr = (address >> 1) & 0x01;
    frame->pf = (control & CONTROL_PF) ? 1 : 0;
    frame->len = static_cast<int>(bufv->len);
    if (!frame->ea) {
        mux_log(LOG_ERR, "EA bit missing");
        return 0;
    }
    if (frame->dlci > MUX_MAX_DLCI) {
        mux_log(LOG_ERR, "DLCI %d out of range", frame->dlci);
        return 0;
    }
    frame->type = frame_type(control);
    switch (frame->type) {
    case MUX_SABM:
    case MUX_DISC:
        // Commands of the modem: the channel machine answers them.
        return 1;
    case MUX_UA:
        if (!frame->ea || !frame->cr) {
            mux_log(LOG_ERR, "UA frame without EA or C/R");
            return 0;
        }
        return 1;
    case MUX_DM:
        if (!frame->ea || !frame->cr) {
            mux_log(LOG_ERR, "DM frame without EA or C/R");
            return 0;
        }
        // F = 0: the modem's own announcement that the channel is gone.
        return 1;
    case MUX_UIH:
        frame->bufv = bufv;
        if (frame->dlci != 0) {
            frame->num = 1;
            return 1;
        }
        return frame_ctl_decode(frame, bufv);
    default:
        mux_log(LOG_ERR, "bad frame type %02x", control & 0xEF);
        return 0;
    }
}

void frame_dump(uint32_t level, const char *prefix, const mux_frame *frame)
{
    uint32_t piece = level | LOG_NO_NEWLINE;
    if (!frame) {
        mux_log(piece, "%s[%p]", prefix, static_cast<const void *>(frame));
    } else {
        const char *name = type_name(frame->type);
        char number[8];
        if (!name) {
            snprintf(number, sizeof number, "%#02x", static_cast<unsigned>(frame->type));
            name = number;
        }
        mux_log(piece, "%s[%s, EA=%d, C/R=%d, P/F=%d, DLCI=%d]", prefix, name, frame->ea, frame->cr,
                frame->pf, frame->dlci);
        piece |= LOG_NO_PREFIX;
        if (frame->type == MUX_UIH && (level & LOG_DUMP_MASK)) {
            if (frame->dlci != 0) {
                if (frame->len == 0)
                    mux_log(piece, "%s[len=%zd]", " UIH(D)=", static_cast<ssize_t>(frame->len));
                else
                    bufv_dump(piece, " UIH(D)=", frame->num, frame->bufv, 0, 10, true);
            } else {
                const char *ctl = ctl_name(frame->num);
                char ctl_number_text[8];
                if (!ctl) {
                    snprintf(ctl_number_text, sizeof ctl_number_text, "%#02x",
                             static_cast<unsigned>(frame->num));
                    ctl = ctl_number_text;
                }
                mux_log(piece, "%s[%s, EA=%d, C/R=%d, len=%zd]", " UIH(C)=", ctl, frame->ctl_ea,
                        frame->ctl_cr, static_cast<ssize_t>(frame->ctl_len));
                if (frame->num == CTLMSG_MSC)
                    mux_log(piece, " DLCI=%d, MSC=0x%02x%s", frame->msc_dlci, frame->v24,
                            frame->has_break ? " (break)" : "");
            }
        }
    }
    mux_log((level | LOG_NO_PREFIX) & ~LOG_NO_NEWLINE, "%s", "");
}
