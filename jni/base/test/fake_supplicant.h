// An in-process supplicant control socket for the unit tests: answers
// ATTACH/DETACH/PING like the daemon, or whatever a test scripts, and can
// push unsolicited messages to attached clients from its own thread.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <sys/un.h>

class FakeSupplicant
{
  public:
    // How to answer one command: call send(text) any number of times.
    using Script =
        std::function<void(const std::string &command, const std::function<void(const std::string &)> &send)>;

    explicit FakeSupplicant(const std::string &path);
    ~FakeSupplicant();
    FakeSupplicant(const FakeSupplicant &) = delete;
    FakeSupplicant &operator=(const FakeSupplicant &) = delete;

    const std::string &path() const { return path_; }
    // Replaces the default answers (set before the client sends).
    void script(Script s);
    // Sends `text` to every attached client, `count` times.
    void push(const std::string &text, int count = 1);
    // Keeps sending `text` to attached clients from the server thread.
    void flood(const std::string &text) { flood_text_ = text, flooding_ = true; }
    int attached() const;
    int commands() const { return commands_; }
    // Stops answering (the socket stays, nothing is read). Pausing returns
    // once the server no longer waits for a datagram it armed for earlier.
    void pause(bool paused);

  private:
    void run();
    void send_to(const sockaddr_un &to, const std::string &text);

    std::string path_;
    int fd_ = -1;
    int stop_ = -1;
    mutable std::mutex lock_;
    Script script_;
    std::set<std::string> clients_;
    std::string flood_text_;
    std::atomic<bool> flooding_{false};
    std::atomic<bool> paused_{false};
    std::atomic<unsigned> rounds_{0};
    std::atomic<int> commands_{0};
    std::thread thread_;
};

// A fresh directory under /dev/shm for one test's sockets, removed with it.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string path(const std::string &name) const { return dir_ + "/" + name; }
    const std::string &dir() const { return dir_; }

  private:
    std::string dir_;
};

// Open descriptors of this process.
int open_descriptors();
// Local socket files of this process's control connections in /tmp, among
// the first `up_to` the counter can have named.
int local_socket_files(int up_to = 5000);
