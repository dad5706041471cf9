// gpssim: a GPS receiver on the master side of a pseudo-terminal.
//
// Prints "pty <slave path>" and then takes commands on standard input, one
// per line:
//   eol crlf|lf|cr          line ending of the lines that follow (crlf)
//   line <text>             the text and the line ending
//   nmea <body>             "$<body>*<checksum>" and the line ending
//   raw <hex>               bytes as they are, e.g. "raw 0d0a24"
//   stray <n>               n bytes of line noise without '$'
//   long <n>                a line of n characters from '$' on, ended
//   join <a>|<b>            two sentences run together in one line
//   replay <file> <speedup> the log's sentences ('#' lines skipped) at the
//                           log's own rate times speedup (0: at once)
//   sync                    "synced <bytes>" once everything before is sent
//   hangup                  closes the line: the reader sees end of file
// Everything the other side writes is reported as "rx <text>" lines (bytes
// outside printable ASCII as \xNN) and, with --record FILE, appended there
// unchanged. End of standard input ends the receiver.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <sstream>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

struct Item {
    std::string bytes;
    Clock::time_point notBefore;
    bool syncMarker = false;
};

struct Receiver {
    int master = -1;
    int slave = -1;
    std::string eol = "\r\n";
    std::deque<Item> queue;
    Clock::time_point lastScheduled = Clock::now();
    unsigned long long sent = 0;
    std::ofstream record;
    unsigned noise = 12345;
};

void say(const std::string &line)
{
    std::cout << line << '\n' << std::flush;
}

std::string checksummed(const std::string &body)
{
    unsigned sum = 0;
    for (unsigned char c : body) {
        sum ^= c;
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", sum & 0xFFu);
    return "$" + body + "*" + digits;
}

void enqueue(Receiver &rx, std::string bytes, Clock::time_point at = Clock::time_point{})
{
    rx.queue.push_back(Item{std::move(bytes), at, false});
}

// Seconds of day of a hhmmss[.sss] field, negative when there is none.
double timeOfDay(const std::string &sentence)
{
    if (sentence.size() < 7 || (sentence.compare(3, 3, "RMC") != 0 && sentence.compare(3, 3, "GGA") != 0)) {
        return -1.0;
    }
    const size_t start = sentence.find(',');
    const size_t end = sentence.find(',', start + 1);
    const std::string field = sentence.substr(start + 1, end - start - 1);
    if (field.size() < 6) {
        return -1.0;
    }
    try {
        const int hh = std::stoi(field.substr(0, 2));
        const int mm = std::stoi(field.substr(2, 2));
        const double ss = std::stod(field.substr(4));
        return hh * 3600.0 + mm * 60.0 + ss;
    } catch (const std::exception &) {
        return -1.0;
    }
}

void replay(Receiver &rx, const std::string &path, double speedup)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        say("error cannot open " + path);
        return;
    }
    Clock::time_point at = std::max(Clock::now(), rx.lastScheduled);
    double lastTime = -1.0;
    std::string line;
    size_t count = 0;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const double t = timeOfDay(line);
        if (speedup > 0.0 && t >= 0.0) {
            if (lastTime >= 0.0 && t != lastTime) {
                double delta = t - lastTime;
                if (delta < 0.0) {
                    delta += 86400.0; // past midnight
                }
                // A gap in the log is not waited out in full.
                delta = std::min(delta, 10.0);
                at += std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(delta / speedup));
            }
            lastTime = t;
        }
        enqueue(rx, line + rx.eol, at);
        ++count;
    }
    rx.lastScheduled = at;
    say("replaying " + std::to_string(count));
}

std::string fromHex(const std::string &hex)
{
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

void hangup(Receiver &rx)
{
    rx.queue.clear();
    if (rx.master >= 0) {
        close(rx.master);
        rx.master = -1;
    }
    if (rx.slave >= 0) {
        close(rx.slave);
        rx.slave = -1;
    }
    say("hung up");
}

void command(Receiver &rx, const std::string &line)
{
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    const std::string arg = space == std::string::npos ? "" : line.substr(space + 1);
    if (verb == "eol") {
        rx.eol = arg == "lf" ? "\n" : arg == "cr" ? "\r" : "\r\n";
    } else if (verb == "line") {
        enqueue(rx, arg + rx.eol);
    } else if (verb == "nmea") {
        enqueue(rx, checksummed(arg) + rx.eol);
    } else if (verb == "raw") {
        enqueue(rx, fromHex(arg));
    } else if (verb == "stray") {
        std::string noise;
        for (int i = std::atoi(arg.c_str()); i > 0; --i) {
            rx.noise = rx.noise * 1103515245u + 12345u;
            char c = static_cast<char>((rx.noise >> 16) & 0xFF);
            noise.push_back(c == '$' ? '#' : c);
        }
        enqueue(rx, noise);
    } else if (verb == "long") {
        const int n = std::max(1, std::atoi(arg.c_str()));
        enqueue(rx, "$" + std::string(static_cast<size_t>(n - 1), 'L') + rx.eol);
    } else if (verb == "join") {
        const size_t bar = arg.find('|');
        enqueue(rx, arg.substr(0, bar) + (bar == std::string::npos ? "" : arg.substr(bar + 1)) + rx.eol);
    } else if (verb == "replay") {
        std::istringstream words(arg);
        std::string path;
        double speedup = 0.0;
        words >> path >> speedup;
        replay(rx, path, speedup);
    } else if (verb == "sync") {
        rx.queue.push_back(Item{"", Clock::time_point{}, true});
    } else if (verb == "hangup") {
        hangup(rx);
    } else if (!verb.empty()) {
        say("error unknown command " + verb);
    }
}

void report(Receiver &rx, const char *bytes, size_t n)
{
    if (rx.record.is_open()) {
        rx.record.write(bytes, static_cast<std::streamsize>(n));
        rx.record.flush();
    }
    std::string text = "rx ";
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text.push_back(static_cast<char>(c));
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
        }
    }
    say(text);
}

int openLine(Receiver &rx)
{
    rx.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (rx.master < 0 || grantpt(rx.master) < 0 || unlockpt(rx.master) < 0) {
        std::perror("posix_openpt");
        return -1;
    }
    const char *path = ptsname(rx.master);
    // Held open so that the line stays up while the reader closes and opens
    // it; raw from the start, so nothing sent early is echoed back.
    rx.slave = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (rx.slave < 0) {
        std::perror("open(slave)");
        return -1;
    }
    termios tio{};
    tcgetattr(rx.slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(rx.slave, TCSANOW, &tio);
    fcntl(rx.master, F_SETFL, fcntl(rx.master, F_GETFL) | O_NONBLOCK);
    say(std::string("pty ") + path);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    Receiver rx;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--record") == 0 && i + 1 < argc) {
            rx.record.open(argv[++i], std::ios::binary | std::ios::app);
        } else {
            std::fprintf(stderr, "usage: gpssim [--record FILE]\n");
            return 2;
        }
    }
    if (openLine(rx) < 0) {
        return 1;
    }
    std::string input;
    bool stdinOpen = true;
    while (stdinOpen) {
        const Clock::time_point now = Clock::now();
        // Sync markers and due bytes first.
        while (!rx.queue.empty() && rx.queue.front().syncMarker) {
            rx.queue.pop_front();
            say("synced " + std::to_string(rx.sent));
        }
        int timeout = -1;
        bool wantWrite = false;
        if (!rx.queue.empty()) {
            if (rx.queue.front().notBefore <= now) {
                wantWrite = true;
            } else {
                timeout = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(rx.queue.front().notBefore - now)
                        .count() +
                    1);
            }
        }
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0},
                         {rx.master, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0}};
        const int ready = poll(fds, rx.master >= 0 ? 2 : 1, timeout);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            std::perror("poll");
            return 1;
        }
        if (rx.master >= 0 && (fds[1].revents & POLLIN) != 0) {
            char bytes[256];
            const ssize_t n = read(rx.master, bytes, sizeof bytes);
            if (n > 0) {
                report(rx, bytes, static_cast<size_t>(n));
            }
        }
        if (rx.master >= 0 && (fds[1].revents & POLLOUT) != 0 && !rx.queue.empty()) {
            Item &item = rx.queue.front();
            const ssize_t n = write(rx.master, item.bytes.data(), item.bytes.size());
            if (n > 0) {
                rx.sent += static_cast<unsigned long long>(n);
                item.bytes.erase(0, static_cast<size_t>(n));
                if (item.bytes.empty()) {
                    rx.queue.pop_front();
                }
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            char bytes[4096];
            const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
            if (n <= 0) {
                stdinOpen = false;
                break;
            }
            input.append(bytes, static_cast<size_t>(n));
            size_t end;
            while ((end = input.find('\n')) != std::string::npos) {
                std::string line = input.substr(0, end);
                input.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                command(rx, line);
            }
        }
    }
    hangup(rx);
    return 0;
}
