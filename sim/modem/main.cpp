// vboard-modem: the simulated Telit modem on a serial line of the board
// (default ttySA0). Started by vboard or a test; driven while it runs with
// "vboard ctl modem <words>" (see README.md).
#include "telit.h"

#include "vboard/control.h"
#include "vboard/emulator.h"
#include "vboard/escape.h"
#include "vboard/loop.h"
#include "vboard/serial.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <vector>

namespace
{

struct Config {
    std::string line = "ttySA0";
    unsigned rate = 0; // octets per second, 0: unlimited
    int urc_ms = 0;    // a line of the modem's own this often in command mode
    std::string urc_text;
    unsigned noise = 0; // octets of line noise per second in multiplexer mode
};

void usage()
{
    std::cerr
        << "usage: vboard-modem [--line NAME] [--echo on|off] [--silent-first-at] [--silent] [--delay MS]\n"
           "                    [--error COMMAND]... [--mode DLCI=loopback|sink|at]... [--split N]\n"
           "                    [--baud N] [--msc-command|--msc-response] [--no-ua] [--refuse] [--no-test]\n"
           "                    [--late COMMAND=MS]... [--unsolicited COMMAND=TEXT]... [--no-swallow]\n"
           "                    [--no-msc] [--t2 MS] [--lose-sabm N] [--fc-after N] [--fc-hold MS]\n"
           "                    [--shared-flag] [--keep-reading] [--urc MS=TEXT] [--noise N]\n";
}

telitsim::DataMode parse_mode(const std::string &m)
{
    if (m == "loopback")
        return telitsim::DataMode::loopback;
    if (m == "sink")
        return telitsim::DataMode::sink;
    if (m == "at")
        return telitsim::DataMode::at;
    throw std::invalid_argument("unknown data mode '" + m + "'");
}

int parse_dlci(const std::string &s)
{
    int d = std::stoi(s);
    if (d < 1 || d > 4)
        throw std::invalid_argument("DLCI must be 1..4");
    return d;
}

std::vector<uint8_t> parse_hex(const std::string &hex)
{
    if (hex.size() % 2)
        throw std::invalid_argument("odd number of hex digits");
    std::vector<uint8_t> out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return out;
}

void parse_args(int argc, char **argv, Config &cfg, telitsim::Modem &m)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::invalid_argument(a + " needs a value");
            return argv[++i];
        };
        if (a == "--line")
            cfg.line = value();
        else if (a == "--echo")
            m.echo = value() == "on";
        else if (a == "--silent-first-at")
            m.silent_first_at = true;
        else if (a == "--silent")
            m.silent = true;
        else if (a == "--delay")
            m.answer_delay_ms = std::stoi(value());
        else if (a == "--error")
            m.failing.insert(value());
        else if (a == "--mode") {
            std::string v = value();
            auto eq = v.find('=');
            if (eq == std::string::npos)
                throw std::invalid_argument("--mode wants DLCI=MODE");
            m.modes[parse_dlci(v.substr(0, eq))] = parse_mode(v.substr(eq + 1));
        } else if (a == "--split")
            m.split = std::stoul(value());
        else if (a == "--baud")
            cfg.rate = static_cast<unsigned>(std::stoul(value()) / 10); // 8N1: ten bits per octet
        else if (a == "--msc-command")
            m.msc_as_command = true;
        else if (a == "--msc-response")
            m.msc_as_command = false;
        else if (a == "--late" || a == "--unsolicited") { // CMD=MS, CMD=TEXT
            std::string v = value();
            auto eq = v.rfind('=');
            if (eq == std::string::npos || eq == 0)
                throw std::invalid_argument(a + " wants COMMAND=VALUE");
            if (a == "--late")
                m.late[v.substr(0, eq)] = std::stoi(v.substr(eq + 1));
            else // (\\s for a space: emulator words are split at spaces)
                m.unsolicited[v.substr(0, eq)] = vboard::unescape(v.substr(eq + 1));
        } else if (a == "--no-swallow")
            m.swallow_after_cmux = false;
        else if (a == "--no-msc")
            m.msc_after_ua = m.msc_unopened = false;
        else if (a == "--t2")
            m.t2_ms = std::stoi(value());
        else if (a == "--lose-sabm")
            m.lose_sabm = std::stoi(value());
        else if (a == "--fc-after")
            m.fc_after = std::stoul(value());
        else if (a == "--fc-hold")
            m.fc_hold_ms = std::stoi(value());
        else if (a == "--shared-flag")
            m.shared_flag = true;
        else if (a == "--keep-reading")
            m.keep_reading = true;
        else if (a == "--urc") {
            std::string v = value();
            auto eq = v.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == v.size())
                throw std::invalid_argument("--urc wants MS=TEXT");
            cfg.urc_ms = std::stoi(v.substr(0, eq));
            cfg.urc_text = vboard::unescape(v.substr(eq + 1));
            if (cfg.urc_ms <= 0)
                throw std::invalid_argument("--urc wants a positive interval");
        } else if (a == "--noise")
            cfg.noise = static_cast<unsigned>(std::stoul(value()));
        else if (a == "--no-ua")
            m.faults.no_ua = true;
        else if (a == "--refuse")
            m.faults.refuse = true;
        else if (a == "--no-test")
            m.faults.no_test = true;
        else if (a == "--help") {
            usage();
            exit(0);
        } else
            throw std::invalid_argument("unknown option " + a);
    }
}

} // namespace

int main(int argc, char **argv)
{
    telitsim::Modem modem;
    Config cfg;
    try {
        parse_args(argc, argv, cfg, modem);
    } catch (const std::exception &e) {
        std::cerr << "vboard-modem: " << e.what() << "\n";
        usage();
        return 2;
    }
    try {
        std::string root = vboard::board_root();
        vboard::Loop loop;
        vboard::SerialLine line(loop, root, cfg.line);
        line.set_rate(cfg.rate);
        std::deque<std::string> events;
        std::vector<std::string> history;
        bool verbose = getenv("VBOARD_MODEM_VERBOSE") != nullptr;

        // pause MS: the next frame stops halfway for MS ms (a modem busy
        // elsewhere); trickle MS: the next frame goes out one octet every MS
        // ms. What the modem sends meanwhile follows the whole frame.
        int pause_ms = 0, trickle_ms = 0;
        bool pausing = false;
        std::vector<uint8_t> slow, held; // the rest of the slow frame, what waits behind it
        vboard::Loop::TimerId trickle_timer = 0;
        auto resume = [&] {
            pausing = false;
            std::vector<uint8_t> rest;
            rest.swap(held);
            line.send(rest);
        };
        modem.send = [&](std::span<const uint8_t> d) {
            if (pausing) {
                held.insert(held.end(), d.begin(), d.end());
                return;
            }
            if (pause_ms > 0 && d.size() > 1) {
                size_t half = d.size() / 2;
                line.send(d.first(half));
                held.assign(d.begin() + static_cast<std::ptrdiff_t>(half), d.end());
                pausing = true;
                loop.after(std::chrono::milliseconds(pause_ms), resume);
                pause_ms = 0;
                return;
            }
            if (trickle_ms > 0 && d.size() > 1) {
                line.send(d.first(1));
                slow.assign(d.begin() + 1, d.end());
                pausing = true;
                trickle_timer = loop.every(std::chrono::milliseconds(trickle_ms), [&] {
                    line.send(std::span<const uint8_t>(slow.data(), 1));
                    slow.erase(slow.begin());
                    if (slow.empty()) {
                        loop.cancel(trickle_timer);
                        resume();
                    }
                });
                trickle_ms = 0;
                return;
            }
            line.send(d);
        };
        modem.event = [&](const std::string &e) {
            if (history.size() >= 10000)
                history.erase(history.begin(), history.begin() + 5000);
            history.push_back(e);
            if (verbose)
                std::cerr << "modem: " << e << "\n";
        };
        modem.later = [&](int ms, std::function<void()> fn) {
            loop.after(std::chrono::milliseconds(ms), fn);
        };
        line.on_data = [&](std::span<const uint8_t> d) { modem.receive(d); };
        line.on_lines = [&](int lines) { modem.set_dtr(lines & TIOCM_DTR); };
        // A UART with a modem behind it: clear to send, data set ready.
        line.set_status(TIOCM_CTS | TIOCM_DSR);

        auto handler = [&](const std::vector<std::string> &w) -> vboard::ControlReply {
            try {
                if (w.empty())
                    return {2, "no command\n"};
                const std::string &cmd = w[0];
                auto need = [&](size_t n) {
                    if (w.size() < n + 1)
                        throw std::invalid_argument(cmd + " needs " + std::to_string(n) + " arguments");
                };
                if (cmd == "stats")
                    return {0, modem.stats() + "\n"};
                if (cmd == "events") {
                    std::string out;
                    for (auto &e : history)
                        out += e + "\n";
                    return {0, out};
                }
                if (cmd == "clear") {
                    history.clear();
                    return {0, ""};
                }
                if (cmd == "has") { // has TEXT: status 0 when an event contains it
                    need(1);
                    for (auto &e : history)
                        if (e.find(w[1]) != std::string::npos)
                            return {0, e + "\n"};
                    return {1, ""};
                }
                if (cmd == "send" || cmd == "sendhex" || cmd == "fill") {
                    need(2);
                    int d = parse_dlci(w[1]);
                    std::vector<uint8_t> data;
                    if (cmd == "send") {
                        std::string text = w[2];
                        for (size_t i = 3; i < w.size(); ++i)
                            text += " " + w[i];
                        data.assign(text.begin(), text.end());
                    } else if (cmd == "sendhex") {
                        data = parse_hex(w[2]);
                    } else {
                        // fill D N [SEED]: N pseudo-random octets (xorshift)
                        size_t n = std::stoul(w[2]);
                        uint32_t x = w.size() > 3 ? static_cast<uint32_t>(std::stoul(w[3])) : 1u;
                        data.resize(n);
                        for (auto &o : data) {
                            x ^= x << 13;
                            x ^= x >> 17;
                            x ^= x << 5;
                            o = static_cast<uint8_t>(x);
                        }
                    }
                    if (!modem.send_data(d, data))
                        return {1, "dlci " + w[1] + " is not open\n"};
                    return {0, ""};
                }
                if (cmd == "msc") { // msc D V24HEX [break]
                    need(2);
                    if (!modem.send_status(parse_dlci(w[1]),
                                           static_cast<uint8_t>(std::stoul(w[2], nullptr, 16)),
                                           w.size() > 3 && w[3] == "break"))
                        return {1, "multiplexer not up\n"};
                    return {0, ""};
                }
                if (cmd == "violations") {
                    std::string out;
                    for (auto &v : modem.violations)
                        out += v + "\n";
                    return {0, out};
                }
                if (cmd == "disc" || cmd == "dm") { // disc D, dm D [0|1]
                    need(1);
                    int d = std::stoi(w[1]);
                    bool ok = cmd == "disc" ? modem.send_disc(d) : modem.send_dm(d, w.size() < 3 || w[2] != "0");
                    return ok ? vboard::ControlReply{0, ""} : vboard::ControlReply{1, "multiplexer not up\n"};
                }
                if (cmd == "test") { // test TEXT: a TEST command of the modem
                    need(1);
                    std::vector<uint8_t> p(w[1].begin(), w[1].end());
                    return modem.send_test(p) ? vboard::ControlReply{0, ""}
                                              : vboard::ControlReply{1, "multiplexer not up\n"};
                }
                if (cmd == "fcoff" || cmd == "fcon")
                    return modem.send_flow(cmd == "fcon") ? vboard::ControlReply{0, ""}
                                                          : vboard::ControlReply{1, "multiplexer not up\n"};
                if (cmd == "fc") { // fc D on|off
                    need(2);
                    return modem.set_fc(parse_dlci(w[1]), w[2] == "on")
                               ? vboard::ControlReply{0, ""}
                               : vboard::ControlReply{1, "multiplexer not up\n"};
                }
                if (cmd == "uihcr") { // uihcr D TEXT: data in a UIH with address C/R = 1
                    need(2);
                    std::vector<uint8_t> p(w[2].begin(), w[2].end());
                    return modem.send_uih_cr(parse_dlci(w[1]), p) ? vboard::ControlReply{0, ""}
                                                                  : vboard::ControlReply{1, "dlci not open\n"};
                }
                if (cmd == "shared-flag") {
                    need(1);
                    modem.shared_flag = w[1] == "on";
                    return {0, ""};
                }
                if (cmd == "raw") { // raw HEX: octets as they are, e.g. garbage
                    need(1);
                    modem.send_raw(parse_hex(w[1]));
                    return {0, ""};
                }
                if (cmd == "oversize") {
                    modem.send_oversize();
                    return {0, ""};
                }
                if (cmd == "fault") { // fault NAME [on|off|N]
                    need(1);
                    std::string v = w.size() > 2 ? w[2] : "on";
                    bool on = v != "off";
                    if (w[1] == "no-ua")
                        modem.faults.no_ua = on;
                    else if (w[1] == "refuse")
                        modem.faults.refuse = on;
                    else if (w[1] == "no-test")
                        modem.faults.no_test = on;
                    else if (w[1] == "bad-fcs")
                        modem.faults.bad_fcs = v == "on" ? 1 : v == "off" ? 0 : std::stoi(v);
                    else if (w[1] == "bad-flag")
                        modem.faults.bad_flag = v == "on" ? 1 : v == "off" ? 0 : std::stoi(v);
                    else if (w[1] == "silent")
                        modem.silent = on;
                    else
                        return {2, "unknown fault " + w[1] + "\n"};
                    return {0, ""};
                }
                if (cmd == "hangup") {
                    // The modem goes away: status lines drop, nothing answers.
                    line.set_status(0);
                    line.flush_output();
                    modem.faults.no_ua = modem.faults.no_test = true;
                    modem.silent = true;
                    modem.send = [](std::span<const uint8_t>) {};
                    return {0, ""};
                }
                if (cmd == "rate") {
                    need(1);
                    line.set_rate(static_cast<unsigned>(std::stoul(w[1])));
                    return {0, ""};
                }
                if (cmd == "mode") {
                    need(2);
                    modem.modes[parse_dlci(w[1])] = parse_mode(w[2]);
                    return {0, ""};
                }
                if (cmd == "pause" || cmd == "trickle") {
                    need(1);
                    (cmd == "pause" ? pause_ms : trickle_ms) = std::stoi(w[1]);
                    return {0, ""};
                }
                if (cmd == "noise") { // noise N: octets of noise per second
                    need(1);
                    cfg.noise = static_cast<unsigned>(std::stoul(w[1]));
                    return {0, ""};
                }
                if (cmd == "split") {
                    need(1);
                    modem.split = std::stoul(w[1]);
                    return {0, ""};
                }
                if (cmd == "dte") { // dte D: the V.24 octet the DTE last sent for D
                    need(1);
                    char b[8];
                    snprintf(b, sizeof b, "0x%02x\n", modem.dte_status(std::stoi(w[1])));
                    return {0, b};
                }
                if (cmd == "lines") {
                    return {0, std::to_string(line.lines()) + "\n"};
                }
                return {2, "unknown command " + cmd + "\n"};
            } catch (const std::exception &e) {
                return {2, std::string(e.what()) + "\n"};
            }
        };
        if (cfg.urc_ms > 0)
            loop.every(std::chrono::milliseconds(cfg.urc_ms), [&] { modem.say(cfg.urc_text); });
        // Noise in tenths of a second, once the control channel is open.
        loop.every(std::chrono::milliseconds(100), [&] {
            if (cfg.noise > 0 && modem.open(0))
                modem.send_noise((cfg.noise + 9) / 10);
        });
        vboard::ControlServer control(loop, root, "modem", handler);
        vboard::announce_ready();
        loop.run();
    } catch (const std::exception &e) {
        std::cerr << "vboard-modem: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
