// vboard-iomx: a stand-in for the IO multiplexer service, from the service's
// side of its client protocol.
//
//   vboard-iomx [--dir DIR] [--without event|command]
//
// Listens on the stream sockets DIR/event and DIR/command (DIR defaults to
// <root>/iomx). Every record it sends, on either socket, is four big-endian
// 32-bit words (seconds, microseconds, sequence number, payload length n)
// and n payload octets. Commands are lines ending in CR LF; each complete
// command is answered with one result record, by default its own text (CR
// LF removed) with sequence numbers counting the commands from 1.
//
// Control words ("vboard ctl iomx ..."); TEXT takes the escapes \r \n \t
// \s (space) \\ \xNN:
//   show                          clients and counters
//   commands                      every command received, escaped, one a line
//   violations                    protocol violations of the clients, one a line
//   event [sec=S] [usec=U] [seq=N] [len=L] [data=TEXT]
//                                 push a record to every event client (time
//                                 stamp now and the next event number unless
//                                 given; len= overrides the length word)
//   answer [cmd=TEXT] ([sec=] [usec=] [seq=] [len=] [data=TEXT] | silent)
//                                 how to answer the command TEXT (without
//                                 cmd=: every command without a rule of its own)
//   fault event|command|all off|silent|partial=N|split=N|cut=N
//       silent     send nothing (events dropped, commands unanswered)
//       partial=N  send only the first N octets of each record, then nothing
//       split=N    write each record in pieces of N octets, 2 ms apart
//       cut=N      send the first N octets of the next record, then close
//   close event|command|all       close the client connections now
//   unlink event|command          remove the socket: connecting gives ENOENT
//   listen event|command          create it again
//   reset                         rules, faults, logs and counters back to start
//
// Violations: any octet a client sends on the event socket; a command with a
// bare CR or LF inside it; a command longer than 8193 octets; a connection
// closed in the middle of a command.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "vboard/control.h"
#include "vboard/emulator.h"
#include "vboard/escape.h"
#include "vboard/loop.h"

namespace
{

using vboard::escape;
using vboard::unescape;

// The longest command a client can send: 8191 characters and CR LF.
constexpr size_t kMaxCommand = 8193;

enum Side { kEvent = 0, kCommand = 1 };
const char *const kSideName[2] = {"event", "command"};

uint32_t number(const std::string &text)
{
    size_t used = 0;
    const unsigned long long v = std::stoull(text, &used, 0);
    if (used != text.size() || v > 0xFFFFFFFFull) {
        throw std::runtime_error("not a 32-bit number: " + text);
    }
    return static_cast<uint32_t>(v);
}

// A record as the service sends it; fields left empty take their defaults.
struct RecordFields {
    std::optional<uint32_t> sec, usec, seq, len;
    std::string data;
    bool silent = false;
};

std::string encode(uint32_t sec, uint32_t usec, uint32_t seq, uint32_t len, const std::string &data)
{
    std::string out;
    for (uint32_t w : {sec, usec, seq, len}) {
        out += static_cast<char>(w >> 24);
        out += static_cast<char>(w >> 16);
        out += static_cast<char>(w >> 8);
        out += static_cast<char>(w);
    }
    return out + data;
}

struct Fault {
    enum Kind { off, silent, partial, split, cut } kind = off;
    size_t n = 0;
};

struct Piece {
    std::string bytes;
    bool close_after = false;
    int pause_ms = 0; // before the next piece
};

struct Client {
    int fd = -1;
    Side side = kEvent;
    std::string in;
    std::deque<Piece> out;
    bool paused = false;
};

class Service
{
  public:
    Service(vboard::Loop &loop, std::string dir, const bool without[2]) : loop_(loop), dir_(std::move(dir))
    {
        mkdir(dir_.c_str(), 0755);
        for (int s = 0; s < 2; ++s) {
            if (!without[s]) {
                listen_on(static_cast<Side>(s));
            }
        }
    }
    ~Service()
    {
        for (int s = 0; s < 2; ++s) {
            stop_listening(static_cast<Side>(s));
        }
        while (!clients_.empty()) {
            drop(clients_.begin()->first);
        }
        rmdir(dir_.c_str());
    }
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    vboard::ControlReply control(const std::vector<std::string> &w)
    {
        try {
            return {0, handle(w)};
        } catch (const std::exception &e) {
            return {2, std::string("error ") + e.what() + "\n"};
        }
    }

  private:
    std::string path(Side s) const { return dir_ + "/" + kSideName[s]; }

    void listen_on(Side s)
    {
        if (listen_fd_[s] >= 0) {
            return;
        }
        const std::string p = path(s);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (p.size() >= sizeof(addr.sun_path)) {
            throw std::runtime_error("socket path too long: " + p);
        }
        std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
        struct stat st {
        };
        if (lstat(p.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            unlink(p.c_str());
        }
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
            listen(fd, 16) != 0) {
            const std::string why = std::strerror(errno);
            if (fd >= 0) {
                close(fd);
            }
            throw std::runtime_error("listen(" + p + "): " + why);
        }
        listen_fd_[s] = fd;
        loop_.watch(fd, POLLIN, [this, s](short) { accept_on(s); });
    }

    void stop_listening(Side s)
    {
        if (listen_fd_[s] < 0) {
            return;
        }
        unlink(path(s).c_str());
        loop_.unwatch(listen_fd_[s]);
        close(listen_fd_[s]);
        listen_fd_[s] = -1;
    }

    void accept_on(Side s)
    {
        const int fd = accept4(listen_fd_[s], nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        const int id = next_id_++;
        clients_[id] = Client{fd, s, {}, {}, false};
        ++accepted_[s];
        loop_.watch(fd, POLLIN, [this, id](short revents) { ready(id, revents); });
    }

    void ready(int id, short revents)
    {
        auto it = clients_.find(id);
        if (it == clients_.end()) {
            return;
        }
        if (revents & POLLOUT) {
            flush(id);
            it = clients_.find(id);
            if (it == clients_.end()) {
                return;
            }
        }
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
            char buf[4096];
            const ssize_t n = recv(it->second.fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0) {
                received(id, std::string(buf, static_cast<size_t>(n)));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                Client &c = it->second;
                if (c.side == kCommand && !c.in.empty()) {
                    violation("command: connection closed inside a command: " + escape(c.in));
                }
                drop(id);
            }
        }
    }

    void received(int id, const std::string &bytes)
    {
        Client &c = clients_[id];
        if (c.side == kEvent) {
            violation("event: client sent " + std::to_string(bytes.size()) + " octets: " + escape(bytes));
            return;
        }
        c.in += bytes;
        size_t end;
        while ((end = c.in.find("\r\n")) != std::string::npos) {
            const std::string command = c.in.substr(0, end);
            c.in.erase(0, end + 2);
            if (command.find_first_of("\r\n") != std::string::npos) {
                violation("command: bare CR or LF inside a command: " + escape(command));
            }
            commands_.push_back(command + "\r\n");
            answer(id, command);
            if (clients_.find(id) == clients_.end()) {
                return;
            }
        }
        if (c.in.size() > kMaxCommand) {
            violation("command: longer than 8193 octets without CR LF");
            c.in.clear();
        }
    }

    void answer(int id, const std::string &command)
    {
        ++answered_;
        auto rule = rules_.find(command);
        const RecordFields &fields = rule != rules_.end() ? rule->second : default_rule_;
        if (fields.silent) {
            return;
        }
        const std::string data =
            fields.data.empty() && rule == rules_.end() && !default_set_ ? command : fields.data;
        send_record(id, fields, data, static_cast<uint32_t>(answered_));
    }

    void send_record(int id, const RecordFields &fields, const std::string &data, uint32_t seq)
    {
        Client &c = clients_[id];
        const Fault &f = fault_[c.side];
        if (f.kind == Fault::silent) {
            return;
        }
        timeval now{};
        gettimeofday(&now, nullptr);
        const std::string rec =
            encode(fields.sec.value_or(static_cast<uint32_t>(now.tv_sec)),
                   fields.usec.value_or(static_cast<uint32_t>(now.tv_usec)), fields.seq.value_or(seq),
                   fields.len.value_or(static_cast<uint32_t>(data.size())), data);
        ++sent_[c.side];
        switch (f.kind) {
        case Fault::partial:
            c.out.push_back({rec.substr(0, f.n)});
            break;
        case Fault::cut:
            c.out.push_back({rec.substr(0, f.n), true});
            break;
        case Fault::split:
            for (size_t at = 0; at < rec.size(); at += f.n) {
                c.out.push_back({rec.substr(at, f.n), false, 2});
            }
            break;
        default:
            c.out.push_back({rec});
            break;
        }
        flush(id);
    }

    void flush(int id)
    {
        auto it = clients_.find(id);
        if (it == clients_.end()) {
            return;
        }
        Client &c = it->second;
        while (!c.out.empty() && !c.paused) {
            Piece &p = c.out.front();
            if (!p.bytes.empty()) {
                const ssize_t n = send(c.fd, p.bytes.data(), p.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                    loop_.set_events(c.fd, POLLIN | POLLOUT);
                    return;
                }
                if (n < 0) {
                    drop(id);
                    return;
                }
                p.bytes.erase(0, static_cast<size_t>(n));
                if (!p.bytes.empty()) {
                    continue;
                }
            }
            const Piece done = p;
            c.out.pop_front();
            if (done.close_after) {
                drop(id);
                return;
            }
            if (done.pause_ms > 0 && !c.out.empty()) {
                c.paused = true;
                loop_.after(std::chrono::milliseconds(done.pause_ms), [this, id] {
                    auto again = clients_.find(id);
                    if (again != clients_.end()) {
                        again->second.paused = false;
                        flush(id);
                    }
                });
            }
        }
        loop_.set_events(c.fd, POLLIN);
    }

    void drop(int id)
    {
        auto it = clients_.find(id);
        if (it == clients_.end()) {
            return;
        }
        loop_.unwatch(it->second.fd);
        close(it->second.fd);
        clients_.erase(it);
    }

    void violation(const std::string &what) { violations_.push_back(what); }

    static RecordFields parse_fields(const std::vector<std::string> &w, size_t from, std::string *cmd)
    {
        RecordFields fields;
        for (size_t i = from; i < w.size(); ++i) {
            const std::string &word = w[i];
            const size_t eq = word.find('=');
            const std::string key = word.substr(0, eq);
            const std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
            if (word == "silent") {
                fields.silent = true;
            } else if (key == "sec" && eq != std::string::npos) {
                fields.sec = number(value);
            } else if (key == "usec" && eq != std::string::npos) {
                fields.usec = number(value);
            } else if (key == "seq" && eq != std::string::npos) {
                fields.seq = number(value);
            } else if (key == "len" && eq != std::string::npos) {
                fields.len = number(value);
            } else if (key == "data" && eq != std::string::npos) {
                fields.data = unescape(value);
            } else if (key == "cmd" && eq != std::string::npos && cmd != nullptr) {
                *cmd = unescape(value);
            } else {
                throw std::runtime_error("unknown word " + word);
            }
        }
        return fields;
    }

    std::vector<Side> sides(const std::string &word, bool all_allowed) const
    {
        if (word == "event") {
            return {kEvent};
        }
        if (word == "command") {
            return {kCommand};
        }
        if (word == "all" && all_allowed) {
            return {kEvent, kCommand};
        }
        throw std::runtime_error("event, command" + std::string(all_allowed ? " or all" : "") + " expected");
    }

    size_t count(Side s) const
    {
        size_t n = 0;
        for (const auto &[id, c] : clients_) {
            n += c.side == s ? 1 : 0;
        }
        return n;
    }

    std::string handle(const std::vector<std::string> &w)
    {
        if (w.empty()) {
            throw std::runtime_error("a control word expected");
        }
        const std::string &verb = w[0];
        if (verb == "show") {
            std::string text;
            for (int s = 0; s < 2; ++s) {
                const Side side = static_cast<Side>(s);
                text += std::string(kSideName[s]) + " listening=" + (listen_fd_[s] >= 0 ? "1" : "0") +
                        " clients=" + std::to_string(count(side)) +
                        " accepted=" + std::to_string(accepted_[s]) + " records=" + std::to_string(sent_[s]) +
                        "\n";
            }
            text += "commands=" + std::to_string(commands_.size()) +
                    " violations=" + std::to_string(violations_.size()) + "\n";
            return text;
        }
        if (verb == "commands" || verb == "violations") {
            std::string text;
            for (const std::string &line : verb == "commands" ? commands_ : violations_) {
                text += (verb == "commands" ? escape(line) : line) + "\n";
            }
            return text;
        }
        if (verb == "event") {
            const RecordFields fields = parse_fields(w, 1, nullptr);
            const uint32_t seq = ++event_seq_;
            std::vector<int> ids;
            for (const auto &[id, c] : clients_) {
                if (c.side == kEvent) {
                    ids.push_back(id);
                }
            }
            for (int id : ids) {
                send_record(id, fields, fields.data, seq);
            }
            return "pushed " + std::to_string(ids.size()) + "\n";
        }
        if (verb == "answer") {
            std::string cmd;
            bool has_cmd = false;
            for (size_t i = 1; i < w.size(); ++i) {
                has_cmd = has_cmd || w[i].rfind("cmd=", 0) == 0;
            }
            const RecordFields fields = parse_fields(w, 1, &cmd);
            if (has_cmd) {
                rules_[cmd] = fields;
            } else {
                default_rule_ = fields;
                default_set_ = true;
            }
            return "ok\n";
        }
        if (verb == "fault" && w.size() == 3) {
            Fault f;
            const std::string &k = w[2];
            const size_t eq = k.find('=');
            const std::string kind = k.substr(0, eq);
            if (k == "off") {
                f.kind = Fault::off;
            } else if (k == "silent") {
                f.kind = Fault::silent;
            } else if (eq != std::string::npos && (kind == "partial" || kind == "split" || kind == "cut")) {
                f.kind = kind == "partial" ? Fault::partial : kind == "split" ? Fault::split : Fault::cut;
                f.n = number(k.substr(eq + 1));
                if (f.kind == Fault::split && f.n == 0) {
                    throw std::runtime_error("split=0");
                }
            } else {
                throw std::runtime_error("off, silent, partial=N, split=N or cut=N expected");
            }
            for (Side s : sides(w[1], true)) {
                fault_[s] = f;
            }
            return "ok\n";
        }
        if (verb == "close" && w.size() == 2) {
            size_t closed = 0;
            for (Side s : sides(w[1], true)) {
                std::vector<int> ids;
                for (const auto &[id, c] : clients_) {
                    if (c.side == s) {
                        ids.push_back(id);
                    }
                }
                for (int id : ids) {
                    drop(id);
                    ++closed;
                }
            }
            return "closed " + std::to_string(closed) + "\n";
        }
        if (verb == "unlink" && w.size() == 2) {
            stop_listening(sides(w[1], false)[0]);
            return "ok\n";
        }
        if (verb == "listen" && w.size() == 2) {
            listen_on(sides(w[1], false)[0]);
            return "ok\n";
        }
        if (verb == "reset" && w.size() == 1) {
            rules_.clear();
            default_rule_ = {};
            default_set_ = false;
            fault_[0] = fault_[1] = {};
            commands_.clear();
            violations_.clear();
            answered_ = 0;
            event_seq_ = 0;
            return "ok\n";
        }
        throw std::runtime_error("unknown request " + verb);
    }

    vboard::Loop &loop_;
    std::string dir_;
    int listen_fd_[2] = {-1, -1};
    std::map<int, Client> clients_;
    int next_id_ = 1;
    size_t accepted_[2] = {0, 0};
    size_t sent_[2] = {0, 0};
    std::map<std::string, RecordFields> rules_;
    RecordFields default_rule_;
    bool default_set_ = false;
    Fault fault_[2];
    std::vector<std::string> commands_;
    std::vector<std::string> violations_;
    size_t answered_ = 0;
    uint32_t event_seq_ = 0;
};

} // namespace

int main(int argc, char **argv)
{
    std::string dir;
    bool without[2] = {false, false};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (a == "--without" && i + 1 < argc) {
            const std::string s = argv[++i];
            if (s != "event" && s != "command") {
                std::fprintf(stderr, "vboard-iomx: --without event|command\n");
                return 2;
            }
            without[s == "event" ? kEvent : kCommand] = true;
        } else {
            std::fprintf(stderr, "usage: vboard-iomx [--dir DIR] [--without event|command]\n");
            return 2;
        }
    }
    return vboard::emulator_main("vboard-iomx", [&](vboard::Loop &loop, const std::string &root) {
        Service service(loop, dir.empty() ? root + "/iomx" : dir, without);
        vboard::ControlServer ctl(loop, root, "iomx",
                                  [&](const std::vector<std::string> &w) { return service.control(w); });
        vboard::serve(loop);
    });
}
