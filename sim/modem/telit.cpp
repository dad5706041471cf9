#include "telit.h"

#include <cstdio>
#include <sstream>

namespace telitsim
{

namespace
{

constexpr uint8_t FLAG = 0xF9;
constexpr uint8_t SABM = 0x2F, UA = 0x63, DM = 0x0F, DISC = 0x43, UIH = 0xEF, PF = 0x10;
constexpr size_t MAX_INFO = 127;

std::string hex2(unsigned v)
{
    char b[8];
    snprintf(b, sizeof b, "0x%02x", v & 0xFF);
    return b;
}

} // namespace

uint8_t fcs(std::span<const uint8_t> covered)
{
    // x^8 + x^2 + x + 1, least significant bit first, register preset to
    // all ones, the complement is transmitted (TS 27.010, 5.2.1.6).
    uint8_t reg = 0xFF;
    for (uint8_t octet : covered) {
        for (int bit = 0; bit < 8; ++bit) {
            bool in = ((octet >> bit) & 1) ^ (reg & 1);
            reg >>= 1;
            if (in)
                reg ^= 0xE0;
        }
    }
    return static_cast<uint8_t>(~reg);
}

void Modem::report(const std::string &text)
{
    if (event)
        event(text);
}

void Modem::emit(std::span<const uint8_t> data)
{
    if (send)
        send(data);
}

void Modem::receive(std::span<const uint8_t> data)
{
    for (uint8_t c : data) {
        if (mux_)
            mux_octet(c);
        else
            at_octet(c);
    }
}

void Modem::set_dtr(bool on)
{
    if (on == dtr_)
        return;
    dtr_ = on;
    report(std::string("dtr ") + (on ? "1" : "0"));
    if (on && sleeping_) {
        sleeping_ = false;
        report("wake");
    }
}

// AT phase ---------------------------------------------------------------

void Modem::at_octet(uint8_t c)
{
    if (silent)
        return;
    if (echo) {
        uint8_t e = c;
        emit(std::span<const uint8_t>(&e, 1));
    }
    if (c == '\n')
        return;
    if (c != '\r') {
        if (line_.size() < 256)
            line_ += static_cast<char>(c);
        return;
    }
    std::string line;
    line.swap(line_);
    at_line(line);
}

void Modem::answer(const std::string &text)
{
    auto out = [this, text] {
        std::string s = "\r\n" + text + "\r\n";
        emit(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(s.data()), s.size()));
    };
    if (answer_delay_ms > 0 && later)
        later(answer_delay_ms, out);
    else
        out();
}

void Modem::at_line(const std::string &line)
{
    if (line.empty())
        return;
    if (silent_first_at && !at_seen_ && line == "AT") {
        at_seen_ = true;
        report("at AT (ignored)");
        return;
    }
    at_seen_ = true;
    report("at " + line);
    if (failing.count(line) || line.size() < 2 ||
        (line.compare(0, 2, "AT") != 0 && line.compare(0, 2, "at") != 0)) {
        answer("ERROR");
        return;
    }
    if (line.compare(0, 7, "AT+CMUX") == 0) {
        if (line != "AT+CMUX=0") {
            answer("ERROR");
            return;
        }
        answer("OK");
        auto enter = [this] {
            mux_ = true;
            rx_frame_.clear();
            report("mux on");
        };
        if (answer_delay_ms > 0 && later)
            later(answer_delay_ms, enter);
        else
            enter();
        return;
    }
    // Basic commands after "AT": E0/E1 switch the echo; the rest is accepted.
    for (size_t i = 2; i + 1 < line.size(); ++i) {
        if (line[i] == '+' || line[i] == '#')
            break;
        if (line[i] == 'E' && (line[i + 1] == '0' || line[i + 1] == '1'))
            echo = line[i + 1] == '1';
    }
    answer("OK");
}

// Multiplexer --------------------------------------------------------------

void Modem::mux_octet(uint8_t c)
{
    std::vector<uint8_t> &f = rx_frame_;
    if (f.empty()) {
        if (c != FLAG)
            ++discarded_;
        else
            f.push_back(c);
        return;
    }
    if (f.size() == 1 && c == FLAG)
        return; // repeated flags
    f.push_back(c);
    if (f.size() < 4)
        return;
    // flag, address, control, length (one or two octets)
    size_t header = (f[3] & 1) ? 4 : 5;
    if (f.size() < header)
        return;
    size_t len = f[3] >> 1;
    if (header == 5)
        len |= static_cast<size_t>(f[4]) << 7;
    if (len > MAX_INFO) {
        ++bad_frames_;
        report("bad frame: length " + std::to_string(len));
        f.clear();
        return;
    }
    if (f.size() < header + len + 2)
        return;
    uint8_t address = f[1], control = f[2];
    std::vector<uint8_t> info(f.begin() + static_cast<long>(header),
                              f.begin() + static_cast<long>(header + len));
    std::vector<uint8_t> covered(f.begin() + 1, f.begin() + static_cast<long>(header));
    if ((control & ~PF) != UIH)
        covered.insert(covered.end(), info.begin(), info.end());
    bool good = f[header + len] == fcs(covered) && f[header + len + 1] == FLAG;
    if (!good) {
        ++bad_frames_;
        std::string dump;
        for (size_t i = 0; i < f.size() && i < 24; ++i)
            dump += " " + hex2(f[i]).substr(2);
        report("bad frame:" + dump);
        f.clear();
        return;
    }
    f.clear();
    frame(address, control, std::move(info));
}

void Modem::emit_frame(int dlci, bool cr, uint8_t control, std::span<const uint8_t> info)
{
    std::vector<uint8_t> out;
    out.reserve(info.size() + 6);
    out.push_back(FLAG);
    out.push_back(static_cast<uint8_t>(dlci << 2 | (cr ? 2 : 0) | 1));
    out.push_back(control);
    out.push_back(static_cast<uint8_t>(info.size() << 1 | 1));
    std::vector<uint8_t> covered(out.begin() + 1, out.end());
    if ((control & ~PF) != UIH)
        covered.insert(covered.end(), info.begin(), info.end());
    out.insert(out.end(), info.begin(), info.end());
    uint8_t sum = fcs(covered);
    if (faults.bad_fcs > 0) {
        --faults.bad_fcs;
        sum ^= 0x5A;
    }
    if (faults.bad_flag > 0) {
        --faults.bad_flag;
        out[0] = 0x7E;
    }
    out.push_back(sum);
    out.push_back(FLAG);
    emit(out);
}

void Modem::frame(uint8_t address, uint8_t control, std::vector<uint8_t> info)
{
    int dlci = address >> 2;
    uint8_t type = control & ~PF;
    if (!(address & 1) || dlci > 63) {
        ++bad_frames_;
        return;
    }
    if (sleeping_) {
        report("asleep: frame dropped");
        return;
    }
    if (type == SABM || type == DISC) {
        bool sabm = type == SABM;
        report(std::string(sabm ? "sabm " : "disc ") + std::to_string(dlci));
        if (faults.no_ua)
            return;
        bool known = dlci <= 4;
        if (sabm && (faults.refuse || !known)) {
            emit_frame(dlci, true, DM | PF, {});
            return;
        }
        if (!sabm && (!known || !open_[dlci])) {
            emit_frame(dlci, true, DM | PF, {});
            return;
        }
        emit_frame(dlci, true, UA | PF, {});
        if (sabm) {
            open_[dlci] = true;
        } else if (dlci == 0) {
            close_down();
        } else {
            open_[dlci] = false;
        }
        return;
    }
    if (type != UIH) {
        report("frame type " + hex2(control) + " ignored");
        return;
    }
    if (dlci > 4 || !open_[dlci]) {
        report("uih on closed dlci " + std::to_string(dlci));
        return;
    }
    if (dlci == 0)
        control_message(info);
    else
        data(dlci, info);
}

void Modem::control_message(const std::vector<uint8_t> &info)
{
    if (info.size() == 2 && info[0] == 0x61) {
        // The unit's power-saving request: 0x61 and a value octet.
        report("psc " + hex2(info[1]));
        sleeping_ = true;
        return;
    }
    if (info.size() < 2 || !(info[0] & 1)) {
        report("bad control message");
        return;
    }
    uint8_t type = info[0] & 0xFC;
    bool command = info[0] & 2;
    size_t len = info[1] >> 1;
    size_t start = 2;
    if (!(info[1] & 1) && info.size() > 2) {
        len |= static_cast<size_t>(info[2]) << 7;
        start = 3;
    }
    if (start + len != info.size()) {
        report("bad control message length");
        return;
    }
    std::vector<uint8_t> value(info.begin() + static_cast<long>(start), info.end());
    auto respond = [this, &info](uint8_t t, const std::vector<uint8_t> &v) {
        std::vector<uint8_t> m = {static_cast<uint8_t>(t | 1), static_cast<uint8_t>(v.size() << 1 | 1)};
        m.insert(m.end(), v.begin(), v.end());
        (void)info;
        emit_frame(0, false, UIH, m);
    };
    switch (type) {
    case 0x20: // TEST
        if (!command)
            return;
        report("test " + std::string(value.begin(), value.end()));
        if (!faults.no_test)
            respond(0x20, value);
        return;
    case 0xE0: { // MSC
        if (value.size() < 2) {
            report("bad msc");
            return;
        }
        int d = value[0] >> 2;
        if (d >= 0 && d <= 4)
            dte_v24_[d] = value[1];
        report("msc " + std::to_string(d) + " " + hex2(value[1]) + (value.size() > 2 ? " break" : ""));
        if (command)
            respond(0xE0, value);
        return;
    }
    case 0x40: // PSC
        report("psc");
        if (command)
            respond(0x40, {});
        sleeping_ = true;
        return;
    case 0xC0: // CLD
        report("cld");
        if (command)
            respond(0xC0, {});
        close_down();
        return;
    default:
        report("control " + hex2(info[0]) + " not supported");
        if (command)
            respond(0x10, {info[0]}); // NSC
        return;
    }
}

void Modem::data(int dlci, const std::vector<uint8_t> &info)
{
    rx_[dlci] += info.size();
    report("rx " + std::to_string(dlci) + " " + std::to_string(info.size()));
    switch (modes[dlci]) {
    case DataMode::sink:
        return;
    case DataMode::loopback:
        send_data(dlci, info);
        return;
    case DataMode::at:
        for (uint8_t c : info) {
            if (c == '\r') {
                std::string line;
                line.swap(at_buffers_[dlci]);
                std::string reply = line.find("ERR") != std::string::npos ? "\r\nERROR\r\n" : "\r\nOK\r\n";
                report("dlci " + std::to_string(dlci) + " at " + line);
                send_data(dlci, std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(reply.data()),
                                                         reply.size()));
            } else if (c != '\n' && at_buffers_[dlci].size() < 256) {
                at_buffers_[dlci] += static_cast<char>(c);
            }
        }
        return;
    }
}

bool Modem::send_data(int dlci, std::span<const uint8_t> data)
{
    if (!mux_ || dlci < 1 || dlci > 4 || !open_[dlci])
        return false;
    size_t piece_max = split > 0 && split <= MAX_INFO ? split : MAX_INFO;
    for (size_t off = 0; off < data.size(); off += piece_max) {
        size_t n = std::min(piece_max, data.size() - off);
        emit_frame(dlci, false, UIH, data.subspan(off, n));
    }
    tx_[dlci] += data.size();
    return true;
}

bool Modem::send_status(int dlci, uint8_t v24, bool with_break)
{
    if (!mux_ || !open_[0] || dlci < 1 || dlci > 4)
        return false;
    std::vector<uint8_t> m = {static_cast<uint8_t>(msc_as_command ? 0xE3 : 0xE1),
                              static_cast<uint8_t>(with_break ? 0x07 : 0x05),
                              static_cast<uint8_t>(dlci << 2 | 3), v24};
    if (with_break)
        m.push_back(0x01);
    emit_frame(0, false, UIH, m);
    return true;
}

void Modem::send_oversize()
{
    // Two-octet length of 200: more than the basic option's frames carry.
    std::vector<uint8_t> out = {FLAG, 0x05, UIH, static_cast<uint8_t>((200 & 0x7F) << 1), 200 >> 7};
    out.insert(out.end(), 200, 0x55);
    std::vector<uint8_t> covered(out.begin() + 1, out.begin() + 5);
    out.push_back(fcs(covered));
    out.push_back(FLAG);
    emit(out);
}

void Modem::close_down()
{
    for (bool &o : open_)
        o = false;
    mux_ = false;
    sleeping_ = false;
    rx_frame_.clear();
    report("mux off");
}

std::string Modem::stats() const
{
    std::ostringstream s;
    s << "mux " << (mux_ ? "on" : "off") << (sleeping_ ? " asleep" : "") << " dtr " << (dtr_ ? 1 : 0);
    for (int d = 0; d <= 4; ++d)
        s << " | " << d << (open_[d] ? " open" : " closed") << " rx " << rx_[d] << " tx " << tx_[d] << " v24 "
          << hex2(dte_v24_[d]);
    s << " | bad " << bad_frames_ << " discarded " << discarded_;
    return s.str();
}

} // namespace telitsim
