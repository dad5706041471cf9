// supplicant-script: a scripted stand-in for the supplicant's control
// socket, for the cases the real daemon cannot be made to produce (silence,
// an empty reply, an event ahead of the reply, events of a chosen length,
// floods).
//
//   supplicant-script <socket-path>
//
// Binds a Unix-domain datagram socket at <socket-path> and prints "ready".
// Standard input takes one instruction per line and answers each with "ok"
// (or "error <why>"); every datagram received is reported as "recv <text>".
// Texts use the escapes \n \r \t \s (space) \\ and \xNN.
//
//   rule <command> <action>...   how to answer <command> from now on:
//       reply:<text>             send <text> as the reply
//       event:<text>             send <text> to the requester (before a reply)
//       events:<n>:<text>        the same, <n> times
//       delay:<ms>               wait before the next action
//       register | unregister    add the requester to / drop it from the
//                                receivers of unsolicited events
//       silent                   answer nothing
//   event <text>                 send <text> to every registered client
//   flood <n> <text>             send <text> <n> times to every registered client
//   quit                         remove the socket and exit (so does EOF)
//
// Without a rule: ATTACH registers and DETACH unregisters the requester,
// both answering "OK\n"; PING answers "PONG\n"; anything else
// "UNKNOWN COMMAND\n".
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "vboard/escape.h"

namespace
{

using vboard::escape;
using vboard::unescape;

volatile sig_atomic_t terminate = 0;

void on_signal(int)
{
    terminate = 1;
}

struct Action {
    enum Kind { reply, event, delay, reg, unreg, silent } kind;
    std::string text;
    int count = 1;
};

Action parse_action(const std::string &word)
{
    if (word.rfind("reply:", 0) == 0) {
        return {Action::reply, unescape(word.substr(6))};
    }
    if (word.rfind("event:", 0) == 0) {
        return {Action::event, unescape(word.substr(6))};
    }
    if (word.rfind("events:", 0) == 0) {
        const size_t colon = word.find(':', 7);
        if (colon == std::string::npos) {
            throw std::runtime_error("events:<n>:<text> expected");
        }
        return {Action::event, unescape(word.substr(colon + 1)), std::stoi(word.substr(7, colon - 7))};
    }
    if (word.rfind("delay:", 0) == 0) {
        return {Action::delay, "", std::stoi(word.substr(6))};
    }
    if (word == "register") {
        return {Action::reg, ""};
    }
    if (word == "unregister") {
        return {Action::unreg, ""};
    }
    if (word == "silent") {
        return {Action::silent, ""};
    }
    throw std::runtime_error("unknown action " + word);
}

class Server
{
  public:
    explicit Server(const std::string &path) : path_(path)
    {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (fd_ < 0 || path.size() >= sizeof(addr.sun_path)) {
            throw std::runtime_error("cannot create socket for " + path);
        }
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        struct stat st {
        };
        if (lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
            unlink(path.c_str()); // left by an earlier run
        }
        if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
            throw std::runtime_error("bind(" + path + "): " + std::strerror(errno));
        }
        rules_["ATTACH"] = {{Action::reg, ""}, {Action::reply, "OK\n"}};
        rules_["DETACH"] = {{Action::unreg, ""}, {Action::reply, "OK\n"}};
        rules_["PING"] = {{Action::reply, "PONG\n"}};
    }
    ~Server()
    {
        close(fd_);
        unlink(path_.c_str());
    }
    Server(const Server &) = delete;
    Server &operator=(const Server &) = delete;

    int fd() const { return fd_; }

    // One instruction from standard input; false on "quit".
    bool instruct(const std::string &line)
    {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        if (verb == "quit") {
            return false;
        }
        if (verb == "rule") {
            std::string command, word;
            words >> command;
            std::vector<Action> actions;
            while (words >> word) {
                actions.push_back(parse_action(word));
            }
            rules_[unescape(command)] = actions;
        } else if (verb == "event") {
            std::string text;
            words >> text;
            broadcast(unescape(text), 1);
        } else if (verb == "flood") {
            int n = 0;
            std::string text;
            words >> n >> text;
            broadcast(unescape(text), n);
        } else if (!verb.empty()) {
            throw std::runtime_error("unknown instruction " + verb);
        }
        std::cout << "ok" << std::endl;
        return true;
    }

    void serve_one()
    {
        char buf[65536];
        sockaddr_un from{};
        socklen_t from_len = sizeof(from);
        const ssize_t n =
            recvfrom(fd_, buf, sizeof(buf), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0) {
            return;
        }
        const std::string command(buf, static_cast<size_t>(n));
        std::cout << "recv " << escape(command) << std::endl;
        const std::string client = from.sun_path;
        auto rule = rules_.find(command);
        if (rule == rules_.end()) {
            send_to(client, "UNKNOWN COMMAND\n");
            return;
        }
        for (const Action &a : rule->second) {
            switch (a.kind) {
            case Action::reply:
                send_to(client, a.text);
                break;
            case Action::event:
                for (int i = 0; i < a.count; ++i) {
                    send_to(client, a.text);
                }
                break;
            case Action::delay:
                std::this_thread::sleep_for(std::chrono::milliseconds(a.count));
                break;
            case Action::reg:
                clients_.insert(client);
                break;
            case Action::unreg:
                clients_.erase(client);
                break;
            case Action::silent:
                break;
            }
        }
    }

  private:
    // Waits for room in a slow receiver's queue at most a second, then drops.
    bool send_to(const std::string &client, const std::string &text)
    {
        sockaddr_un to{};
        to.sun_family = AF_UNIX;
        std::strncpy(to.sun_path, client.c_str(), sizeof(to.sun_path) - 1);
        for (int tries = 0; tries < 100; ++tries) {
            if (sendto(fd_, text.data(), text.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&to),
                       sizeof(to)) >= 0) {
                return true;
            }
            if (errno != EAGAIN) {
                return false; // the client is gone
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void broadcast(const std::string &text, int n)
    {
        for (int i = 0; i < n; ++i) {
            for (auto it = clients_.begin(); it != clients_.end();) {
                it = send_to(*it, text) ? std::next(it) : clients_.erase(it);
            }
        }
    }

    std::string path_;
    int fd_ = -1;
    std::map<std::string, std::vector<Action>> rules_;
    std::set<std::string> clients_;
};

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::cerr << "usage: supplicant-script <socket-path>" << std::endl;
        return 2;
    }
    struct sigaction sa {
    };
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    try {
        Server server(argv[1]);
        std::cout << "ready" << std::endl;
        std::string pending;
        while (!terminate) {
            pollfd fds[2] = {{0, POLLIN, 0}, {server.fd(), POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                continue;
            }
            if (fds[1].revents & POLLIN) {
                server.serve_one();
            }
            if (fds[0].revents & (POLLIN | POLLHUP)) {
                char chunk[4096];
                const ssize_t n = read(0, chunk, sizeof(chunk));
                if (n <= 0) {
                    break;
                }
                pending.append(chunk, static_cast<size_t>(n));
                size_t nl;
                bool go_on = true;
                while (go_on && (nl = pending.find('\n')) != std::string::npos) {
                    const std::string line = pending.substr(0, nl);
                    pending.erase(0, nl + 1);
                    try {
                        go_on = server.instruct(line);
                    } catch (const std::exception &e) {
                        std::cout << "error " << e.what() << std::endl;
                    }
                }
                if (!go_on) {
                    break;
                }
            }
        }
    } catch (const std::exception &e) {
        std::cerr << "supplicant-script: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
