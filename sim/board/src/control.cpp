#include "vboard/control.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "sock.h"

namespace vboard {

std::string control_encode(const std::vector<std::string> &words) {
  std::string m;
  for (const std::string &w : words) {
    m += w;
    m.push_back('\0');
  }
  return m;
}

std::vector<std::string> control_decode(const std::string &message) {
  std::vector<std::string> words;
  size_t start = 0;
  while (start < message.size()) {
    size_t end = message.find('\0', start);
    if (end == std::string::npos) end = message.size();
    words.push_back(message.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

ControlServer::ControlServer(Loop &loop, const std::string &root, const std::string &name, Handler handler)
    : loop_(loop), path_(root + wire::kControlDir + "/" + name), handler_(std::move(handler)) {
  listen_fd_ = detail::listen_at(path_);
  loop_.watch(listen_fd_, POLLIN, [this](short) {
    int fd = detail::accept_one(listen_fd_);
    if (fd < 0) return;
    clients_.push_back(fd);
    loop_.watch(fd, POLLIN, [this, fd](short) { serve(fd); });
  });
}

ControlServer::~ControlServer() {
  for (int fd : clients_) {
    loop_.unwatch(fd);
    close(fd);
  }
  loop_.unwatch(listen_fd_);
  close(listen_fd_);
  unlink(path_.c_str());
}

void ControlServer::serve(int fd) {
  char buf[8192];
  ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
  if (n < 0 && errno == EAGAIN) return;
  if (n > 0) {
    ControlReply r;
    try {
      r = handler_(control_decode(std::string(buf, static_cast<size_t>(n))));
    } catch (const std::exception &e) {
      r = ControlReply{1, e.what()};
    }
    std::string reply(1, static_cast<char>(r.status));
    reply += r.text;
    if (send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) >= 0) return;
  }
  loop_.unwatch(fd);
  close(fd);
  std::erase(clients_, fd);
}

ControlReply control_request(const std::string &root, const std::string &name,
                             const std::vector<std::string> &words, int timeout_ms) {
  std::string path = root + wire::kControlDir + "/" + name;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return ControlReply{1, "control socket path too long: " + path + "\n"};
  std::strcpy(addr.sun_path, path.c_str());
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return ControlReply{1, std::string("socket: ") + strerror(errno) + "\n"};
  if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    int e = errno;
    close(fd);
    return ControlReply{1, "no emulator \"" + name + "\" on the board at " + root + " (" + strerror(e) + ")\n"};
  }
  std::string m = control_encode(words);
  if (m.empty()) m.push_back('\0');
  ControlReply r{1, ""};
  if (send(fd, m.data(), m.size(), MSG_NOSIGNAL) < 0) {
    r.text = std::string("send: ") + strerror(errno) + "\n";
  } else {
    pollfd p{fd, POLLIN, 0};
    char buf[65536];
    ssize_t n = poll(&p, 1, timeout_ms) == 1 ? recv(fd, buf, sizeof buf, 0) : -1;
    if (n >= 1) {
      r.status = static_cast<unsigned char>(buf[0]);
      r.text.assign(buf + 1, static_cast<size_t>(n - 1));
    } else {
      r.text = "emulator \"" + name + "\" did not answer\n";
    }
  }
  close(fd);
  return r;
}

}  // namespace vboard
