#include "telit.h"

#include <algorithm>
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

void Modem::violation(const std::string &text)
{
    if (violations.size() < 1000)
        violations.push_back(text);
    report("violation: " + text);
}

void Modem::emit(std::span<const uint8_t> data)
{
    if (data.empty())
        return;
    last_out_ = data.back();
    if (send)
        send(data);
}

void Modem::receive(std::span<const uint8_t> data)
{
    // A frame before the OK of "AT+CMUX=0" is AT text to a modem in command
    // mode (a silent modem excepted: the DTE cannot tell it from one that
    // multiplexes already).
    bool told = false; // once a read
    auto frames_in_command_mode = [this, &told](std::span<const uint8_t> d) {
        if (!told && !mux_ && !silent && !closing_ && std::find(d.begin(), d.end(), FLAG) != d.end()) {
            told = true;
            violation("frame sent in command mode");
        }
    };
    if (busy_) {
        frames_in_command_mode(data);
        unread_.insert(unread_.end(), data.begin(), data.end());
        return;
    }
    for (size_t i = 0; i < data.size(); ++i) {
        uint8_t c = data[i];
        if (mux_) {
            mux_octet(c);
            continue;
        }
        if (c == FLAG) {
            frames_in_command_mode(data.subspan(i, 1));
            continue;
        }
        at_octet(c);
        if (cmux_switch_) {
            // Command mode reads whatever came with the command: the rest of
            // this read is AT text, and lost.
            cmux_switch_ = false;
            if (swallow_after_cmux) {
                frames_in_command_mode(data.subspan(i + 1));
                return;
            }
        }
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
    answer_for("", text, nullptr);
}

void Modem::answer_for(const std::string &command, const std::string &text, std::function<void()> then)
{
    int delay = answer_delay_ms;
    auto it = late.find(command);
    if (it != late.end()) {
        delay = it->second; // the first answer only: the modem was busy
        late.erase(it);
    }
    std::string extra;
    auto u = unsolicited.find(command);
    if (u != unsolicited.end())
        extra = u->second;
    auto out = [this, command, text, then, extra] {
        if (command == last_command_)
            last_answered_ = true;
        std::string s = "\r\n" + text + "\r\n";
        emit(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(s.data()), s.size()));
        if (then)
            then();
        if (!extra.empty()) {
            auto line = [this, extra] { say(extra); };
            if (later)
                later(30, line);
            else
                line();
        }
    };
    if (delay > 0 && later && keep_reading) {
        later(delay, out);
    } else if (delay > 0 && later) {
        busy_ = true;
        later(delay, [this, out] {
            out();
            busy_ = false;
            std::vector<uint8_t> next;
            next.swap(unread_);
            receive(next);
        });
    } else {
        out();
    }
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
    if (line != last_command_) {
        // Sent again, a command may wait; another one only after an answer.
        if (!last_answered_)
            violation("\"" + line + "\" before the answer to \"" + last_command_ + "\"");
        last_command_ = line;
        last_answered_ = false;
    }
    if (failing.count(line) || line.size() < 2 ||
        (line.compare(0, 2, "AT") != 0 && line.compare(0, 2, "at") != 0)) {
        answer_for(line, "ERROR", nullptr);
        return;
    }
    if (line.compare(0, 7, "AT+CMUX") == 0) {
        if (line != "AT+CMUX=0") {
            answer_for(line, "ERROR", nullptr);
            return;
        }
        cmux_switch_ = true;
        // The multiplexer starts once the OK is out; what comes before is
        // still read as AT text.
        answer_for(line, "OK", [this] {
            mux_ = true;
            rx_frame_.clear();
            report("mux on");
        });
        return;
    }
    // Basic commands after "AT": E0/E1 switch the echo; the rest is accepted.
    for (size_t i = 2; i + 1 < line.size(); ++i) {
        if (line[i] == '+' || line[i] == '#')
            break;
        if (line[i] == 'E' && (line[i + 1] == '0' || line[i + 1] == '1'))
            echo = line[i + 1] == '1';
    }
    answer_for(line, "OK", nullptr);
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
    bool share = shared_flag && last_out_ == FLAG;
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
    if (share)
        out.erase(out.begin()); // the last frame's closing flag opens this one
    emit(out);
}

void Modem::frame(uint8_t address, uint8_t control, std::vector<uint8_t> info)
{
    int dlci = address >> 2;
    uint8_t type = control & ~PF;
    bool cr = address & 2;
    bool pf = control & PF;
    if (!(address & 1) || dlci > 63) {
        ++bad_frames_;
        violation("address without EA (" + hex2(address) + ")");
        return;
    }
    if (sleeping_) {
        report("asleep: frame dropped");
        return;
    }
    if (type == SABM || type == DISC) {
        bool sabm = type == SABM;
        report(std::string(sabm ? "sabm " : "disc ") + std::to_string(dlci));
        // The DTE is the initiator: its commands carry C/R = 1 and P = 1.
        if (!cr || !pf)
            violation(std::string(sabm ? "SABM" : "DISC") + " on DLCI " + std::to_string(dlci) +
                      " with C/R=" + (cr ? "1" : "0") + " P=" + (pf ? "1" : "0"));
        if (sabm && dlci != 0 && !open_[0])
            violation("SABM on DLCI " + std::to_string(dlci) + " before DLCI 0 is open");
        if (sabm && sabms_seen_++ < lose_sabm) {
            report("sabm " + std::to_string(dlci) + " lost");
            return;
        }
        if (faults.no_ua)
            return;
        bool known = dlci <= 4;
        if (sabm && (faults.refuse || !known || (dlci != 0 && !open_[0]))) {
            emit_frame(dlci, true, DM | PF, {});
            return;
        }
        if (!sabm && (!known || !open_[dlci])) {
            emit_frame(dlci, true, DM | PF, {});
            return;
        }
        emit_frame(dlci, true, UA | PF, {});
        if (sabm) {
            bool was_open = open_[dlci];
            open_[dlci] = true;
            fc_[dlci] = fc_acked_[dlci] = false;
            since_fc_[dlci] = 0;
            if (!was_open && msc_after_ua) {
                if (dlci == 0) {
                    if (msc_unopened)
                        for (int d = 1; d <= 4; ++d)
                            if (!open_[d])
                                msc_command(d, 0x01);
                } else {
                    msc_command(dlci, 0x01);
                    msc_command(dlci, 0x0D);
                }
            }
        } else if (dlci == 0) {
            close_down();
        } else {
            open_[dlci] = false;
        }
        return;
    }
    if (type == UA || type == DM) {
        // Responses of the initiator carry C/R = 0.
        if (cr)
            violation(std::string(type == UA ? "UA" : "DM") + " on DLCI " + std::to_string(dlci) + " with C/R=1");
        report(std::string(type == UA ? "ua " : "dm ") + std::to_string(dlci));
        if (dlci <= 4 && open_[dlci]) {
            if (dlci == 0)
                close_down();
            else
                open_[dlci] = false;
        }
        return;
    }
    if (type != UIH) {
        violation("frame type " + hex2(control));
        return;
    }
    if (!cr || pf)
        violation("UIH on DLCI " + std::to_string(dlci) + " with C/R=" + (cr ? "1" : "0") + " P=" + (pf ? "1" : "0"));
    if (dlci > 4 || !open_[dlci]) {
        report("uih on closed dlci " + std::to_string(dlci));
        violation("data on closed DLCI " + std::to_string(dlci));
        // 27.010: a frame for a DLCI that is not connected gets DM.
        emit_frame(dlci, true, DM, {});
        return;
    }
    if (dlci == 0)
        control_message(info);
    else
        data(dlci, info);
}

uint64_t Modem::command(const std::vector<uint8_t> &message)
{
    uint64_t id = next_id_++;
    pending_.push_back({id, message});
    emit_frame(0, false, UIH, message);
    if (later && t2_ms > 0)
        later(t2_ms, [this, id] { resend(id); });
    return id;
}

void Modem::resend(uint64_t id)
{
    for (Pending &p : pending_) {
        if (p.id != id)
            continue;
        if (!mux_ || !open_[0] || p.answered)
            return;
        ++p.repeats;
        report("repeat " + hex2(p.message[0]));
        emit_frame(0, false, UIH, p.message);
        later(t2_ms, [this, id] { resend(id); });
        return;
    }
}

uint64_t Modem::msc_command(int dlci, uint8_t v24)
{
    return command({static_cast<uint8_t>(msc_as_command ? 0xE3 : 0xE1), 0x05, static_cast<uint8_t>(dlci << 2 | 3), v24});
}

void Modem::control_message(const std::vector<uint8_t> &info)
{
    bool fcoff_pending = false;
    for (const Pending &p : pending_)
        fcoff_pending = fcoff_pending || p.message[0] == 0x63;
    if (info.size() == 2 && info[0] == 0x61 && !(info[1] == 0x01 && fcoff_pending)) {
        // The unit's power-saving request: 0x61 and a value octet (the
        // same octets as an FCoff response with the value 0x01).
        report("psc " + hex2(info[1]));
        sleeping_ = true;
        return;
    }
    if (info.size() < 2 || !(info[0] & 1)) {
        violation("control message without EA in its type octet");
        return;
    }
    uint8_t type = info[0] & 0xFC;
    bool command_ = info[0] & 2;
    size_t len = info[1] >> 1;
    size_t start = 2;
    if (!(info[1] & 1) && info.size() > 2) {
        len |= static_cast<size_t>(info[2]) << 7;
        start = 3;
    }
    if (start + len != info.size()) {
        violation("control message length " + std::to_string(len) + " in " + std::to_string(info.size()) +
                  " octets");
        return;
    }
    std::vector<uint8_t> value(info.begin() + static_cast<long>(start), info.end());
    if (!command_) {
        // A response must answer a command of ours that is still open.
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            const std::vector<uint8_t> &m = it->message;
            if ((m[0] & 0xFC) != type)
                continue;
            if (type == 0xE0 && (value.size() < 2 || value[0] != m[2] || value[1] != m[3]))
                continue;
            if (it->answered) {
                // The answer to a copy sent again before the first answer
                // arrived.
                if (--it->repeats <= 0)
                    pending_.erase(it);
                return;
            }
            if (type == 0xE0) {
                int d = m[2] >> 2;
                report("msc " + std::to_string(d) + " answered");
                if (d >= 1 && d <= 4 && fc_[d] && it->id == fc_command_[d])
                    fc_acked_[d] = true;
            } else if (type == 0x60) {
                fc_all_acked_ = true;
                report("fcoff answered");
            } else {
                report("response " + hex2(info[0]));
            }
            if (it->repeats > 0)
                it->answered = true;
            else
                pending_.erase(it);
            return;
        }
        violation("response " + hex2(info[0]) + " answers no command");
        return;
    }
    auto respond = [this](uint8_t t, const std::vector<uint8_t> &v) {
        std::vector<uint8_t> m = {static_cast<uint8_t>(t | 1), static_cast<uint8_t>(v.size() << 1 | 1)};
        m.insert(m.end(), v.begin(), v.end());
        emit_frame(0, false, UIH, m);
    };
    switch (type) {
    case 0x20: // TEST
        report("test " + std::string(value.begin(), value.end()));
        if (!faults.no_test)
            respond(0x20, value);
        return;
    case 0xE0: { // MSC
        if (value.size() != 2 && value.size() != 3) {
            violation("MSC length " + std::to_string(value.size()));
            return;
        }
        if ((value[0] & 3) != 3)
            violation("MSC DLCI octet " + hex2(value[0]));
        bool last_ea = value.back() & 1;
        if (!last_ea || (value.size() == 3 && !(value[2] & 1)))
            violation("MSC without EA (" + hex2(value[1]) + ")");
        if (value[1] & 0x30)
            violation("MSC with reserved V.24 bits " + hex2(value[1]));
        int d = value[0] >> 2;
        if (d >= 0 && d <= 4)
            dte_v24_[d] = value[1];
        report("msc " + std::to_string(d) + " " + hex2(value[1]) + (value.size() > 2 ? " break" : ""));
        respond(0xE0, value);
        return;
    }
    case 0x40: // PSC
        if (value.size() > 1)
            violation("PSC length " + std::to_string(value.size()));
        report("psc");
        respond(0x40, {});
        sleeping_ = true;
        return;
    case 0xC0: // CLD
        report("cld");
        respond(0xC0, {});
        close_down();
        return;
    default:
        report("control " + hex2(info[0]) + " not supported");
        respond(0x10, {info[0]}); // NSC
        return;
    }
}

void Modem::data(int dlci, const std::vector<uint8_t> &info)
{
    rx_[dlci] += info.size();
    report("rx " + std::to_string(dlci) + " " + std::to_string(info.size()));
    // Frames the DTE queued before it saw our FC may still come; once it
    // has answered the MSC (or the FCoff), nothing may.
    if ((fc_[dlci] && fc_acked_[dlci]) || (fc_all_ && fc_all_acked_))
        violation("data on DLCI " + std::to_string(dlci) + " while FC is set");
    if (fc_after > 0 && !fc_[dlci] && (since_fc_[dlci] += info.size()) >= fc_after) {
        since_fc_[dlci] = 0;
        set_fc(dlci, true);
        if (later)
            later(fc_hold_ms, [this, dlci] { set_fc(dlci, false); });
    }
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
    if (msc_as_command)
        command(m); // answered, or sent again every T2
    else
        emit_frame(0, false, UIH, m);
    return true;
}

void Modem::send_noise(size_t n)
{
    auto next = [this] {
        noise_seed_ ^= noise_seed_ << 13;
        noise_seed_ ^= noise_seed_ >> 17;
        noise_seed_ ^= noise_seed_ << 5;
        return static_cast<uint8_t>(noise_seed_);
    };
    // Mostly frames of 60 octets whose FCS is wrong, then junk.
    std::vector<uint8_t> out;
    while (n - out.size() >= 66 + 16) {
        size_t at = out.size();
        out.insert(out.end(), {FLAG, 0x05, UIH, 60 << 1 | 1});
        for (size_t i = 0; i < 60; ++i)
            out.push_back(next());
        out.push_back(static_cast<uint8_t>(fcs(std::span<const uint8_t>(&out[at + 1], 3)) ^ 0x5A));
        out.push_back(FLAG);
    }
    while (out.size() < n)
        out.push_back(next());
    emit(out);
}

void Modem::say(const std::string &text)
{
    if (mux_ || silent)
        return;
    report("unsolicited " + text);
    std::string t = "\r\n" + text + "\r\n";
    emit(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(t.data()), t.size()));
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

bool Modem::set_fc(int dlci, bool on)
{
    if (!mux_ || !open_[0] || dlci < 1 || dlci > 4)
        return false;
    fc_[dlci] = on;
    fc_acked_[dlci] = false;
    fc_set_ += on;
    report(std::string("fc ") + std::to_string(dlci) + (on ? " on" : " off"));
    uint64_t id = msc_command(dlci, static_cast<uint8_t>(0x0D | (on ? 0x02 : 0)));
    if (on)
        fc_command_[dlci] = id;
    return true;
}

bool Modem::send_disc(int dlci)
{
    if (!mux_ || dlci < 0 || dlci > 4)
        return false;
    emit_frame(dlci, false, DISC | PF, {});
    return true;
}

bool Modem::send_dm(int dlci, bool final)
{
    if (!mux_ || dlci < 0 || dlci > 4)
        return false;
    emit_frame(dlci, true, static_cast<uint8_t>(DM | (final ? PF : 0)), {});
    if (dlci == 0)
        close_down();
    else
        open_[dlci] = false;
    return true;
}

bool Modem::send_test(std::span<const uint8_t> pattern)
{
    if (!mux_ || !open_[0] || pattern.size() > 100)
        return false;
    std::vector<uint8_t> m = {0x23, static_cast<uint8_t>(pattern.size() << 1 | 1)};
    m.insert(m.end(), pattern.begin(), pattern.end());
    command(m);
    return true;
}

bool Modem::send_flow(bool on)
{
    if (!mux_ || !open_[0])
        return false;
    fc_all_ = !on;
    fc_all_acked_ = false;
    command({static_cast<uint8_t>(on ? 0xA3 : 0x63), 0x01});
    return true;
}

bool Modem::send_uih_cr(int dlci, std::span<const uint8_t> data)
{
    if (!mux_ || dlci < 1 || dlci > 4 || !open_[dlci] || data.size() > MAX_INFO)
        return false;
    emit_frame(dlci, true, UIH, data);
    tx_[dlci] += data.size();
    return true;
}

void Modem::close_down()
{
    pending_.clear();
    for (bool &o : open_)
        o = false;
    mux_ = false;
    sleeping_ = false;
    rx_frame_.clear();
    report("mux off");
    // A DTE closing down sends CLD and DISC on DLCI 0 back to back: what
    // follows the first for a moment is the rest of the close-down.
    if (later) {
        closing_ = true;
        later(500, [this] { closing_ = false; });
    }
}

std::string Modem::stats() const
{
    std::ostringstream s;
    s << "mux " << (mux_ ? "on" : "off") << (sleeping_ ? " asleep" : "") << " dtr " << (dtr_ ? 1 : 0);
    for (int d = 0; d <= 4; ++d)
        s << " | " << d << (open_[d] ? " open" : " closed") << " rx " << rx_[d] << " tx " << tx_[d] << " v24 "
          << hex2(dte_v24_[d]);
    s << " | bad " << bad_frames_ << " discarded " << discarded_ << " violations " << violations.size()
      << " unanswered " << unanswered() << " fc-set " << fc_set_;
    return s.str();
}

} // namespace telitsim
