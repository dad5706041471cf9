#include "fake_supplicant.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

FakeSupplicant::FakeSupplicant(const std::string &path) : path_(path)
{
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    stop_ = eventfd(0, EFD_CLOEXEC);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        throw std::runtime_error("socket path too long: " + path);
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        throw std::runtime_error("bind " + path + ": " + std::strerror(errno));
    }
    thread_ = std::thread([this] { run(); });
}

FakeSupplicant::~FakeSupplicant()
{
    const uint64_t one = 1;
    (void)!write(stop_, &one, sizeof(one));
    thread_.join();
    close(fd_);
    close(stop_);
    unlink(path_.c_str());
}

void FakeSupplicant::script(Script s)
{
    std::lock_guard<std::mutex> l(lock_);
    script_ = std::move(s);
}

int FakeSupplicant::attached() const
{
    std::lock_guard<std::mutex> l(lock_);
    return static_cast<int>(clients_.size());
}

void FakeSupplicant::send_to(const sockaddr_un &to, const std::string &text)
{
    // A client that stops reading must not stall the server: drop instead.
    sendto(fd_, text.data(), text.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to), sizeof(to));
}

void FakeSupplicant::push(const std::string &text, int count)
{
    std::set<std::string> clients;
    {
        std::lock_guard<std::mutex> l(lock_);
        clients = clients_;
    }
    for (int i = 0; i < count; ++i) {
        for (const std::string &c : clients) {
            sockaddr_un to{};
            to.sun_family = AF_UNIX;
            std::strncpy(to.sun_path, c.c_str(), sizeof(to.sun_path) - 1);
            send_to(to, text);
        }
    }
}

void FakeSupplicant::pause(bool paused)
{
    paused_ = paused;
    if (!paused) {
        return;
    }
    // Two loop rounds: the one that may have armed POLLIN before the flag
    // was set, and one that saw the flag.
    const unsigned seen = rounds_.load();
    for (int i = 0; i < 2000 && rounds_.load() < seen + 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void FakeSupplicant::run()
{
    for (;;) {
        ++rounds_;
        pollfd fds[2] = {{stop_, POLLIN, 0}, {fd_, static_cast<short>(paused_ ? 0 : POLLIN), 0}};
        const int n = poll(fds, 2, flooding_ ? 0 : 20);
        if (n < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (flooding_) {
            push(flood_text_, 1);
        }
        if ((fds[1].revents & POLLIN) == 0) {
            continue;
        }
        char buf[4096];
        sockaddr_un from{};
        socklen_t from_len = sizeof(from);
        const ssize_t got =
            recvfrom(fd_, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (got < 0) {
            continue;
        }
        ++commands_;
        const std::string command(buf, static_cast<size_t>(got));
        Script s;
        {
            std::lock_guard<std::mutex> l(lock_);
            s = script_;
            if (!s && command == "ATTACH") {
                clients_.insert(from.sun_path);
            } else if (!s && command == "DETACH") {
                clients_.erase(from.sun_path);
            }
        }
        auto reply = [&](const std::string &text) { send_to(from, text); };
        if (s) {
            s(command, reply);
        } else if (command == "ATTACH" || command == "DETACH") {
            reply("OK\n");
        } else if (command == "PING") {
            reply("PONG\n");
        } else {
            reply("UNKNOWN COMMAND\n");
        }
    }
}

TempDir::TempDir()
{
    // /dev/shm: a 32-bit process cannot list directories of the build disk.
    char tmpl[] = "/dev/shm/basenative-test.XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

int open_descriptors()
{
    int n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

int local_socket_files(int up_to)
{
    // Probed by name rather than by listing /tmp, which a 32-bit process
    // cannot list on a disk with 64-bit directory offsets.
    int n = 0;
    for (int i = 0; i < up_to; ++i) {
        const std::string name = "/tmp/wpa_ctrl_" + std::to_string(getpid()) + "-" + std::to_string(i);
        if (access(name.c_str(), F_OK) == 0) {
            ++n;
        }
    }
    return n;
}
