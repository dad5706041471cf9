#include "sock.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace vboard::detail {

void make_parents(const std::string &path) {
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] != '/') continue;
    std::string dir = path.substr(0, i);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      throw std::system_error(errno, std::generic_category(), "mkdir " + dir);
    }
  }
}

int listen_at(const std::string &path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) {
    throw std::system_error(ENAMETOOLONG, std::generic_category(),
                            "socket path longer than " + std::to_string(sizeof addr.sun_path - 1) + " octets: " + path);
  }
  make_parents(path);
  std::strcpy(addr.sun_path, path.c_str());
  unlink(path.c_str());
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
    int e = errno;
    close(fd);
    throw std::system_error(e, std::generic_category(), "bind " + path);
  }
  return fd;
}

int accept_one(int listen_fd) { return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK); }

bool recv_request(int fd, wire::Request &req, std::vector<uint8_t> &payload, std::vector<int> &fds) {
  payload.resize(wire::kMaxTransfer + 1);
  iovec iov[2] = {{&req, sizeof req}, {payload.data(), payload.size()}};
  msghdr m{};
  m.msg_iov = iov;
  m.msg_iovlen = 2;
  alignas(cmsghdr) char control[CMSG_SPACE(4 * sizeof(int))];
  m.msg_control = control;
  m.msg_controllen = sizeof control;
  ssize_t n;
  do {
    n = recvmsg(fd, &m, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  fds.clear();
  for (cmsghdr *c = CMSG_FIRSTHDR(&m); c != nullptr; c = CMSG_NXTHDR(&m, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (size_t i = 0; i < count; ++i) {
      int v;
      std::memcpy(&v, CMSG_DATA(c) + i * sizeof(int), sizeof v);
      fds.push_back(v);
    }
  }
  bool ok = n >= static_cast<ssize_t>(sizeof req) && (m.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) == 0 &&
            req.len == static_cast<size_t>(n) - sizeof req;
  if (!ok) {
    if (n >= 0) errno = n == 0 ? ECONNRESET : EPROTO;
    for (int f : fds) close(f);
    fds.clear();
    return false;
  }
  payload.resize(req.len);
  return true;
}

bool send_reply(int fd, int64_t result, int err, const void *payload, size_t len, int pass_fd) {
  wire::Reply rep{result, err, static_cast<uint32_t>(len)};
  iovec iov[2] = {{&rep, sizeof rep}, {const_cast<void *>(payload), len}};
  msghdr m{};
  m.msg_iov = iov;
  m.msg_iovlen = len > 0 ? 2 : 1;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  if (pass_fd >= 0) {
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr *c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &pass_fd, sizeof pass_fd);
  }
  ssize_t n;
  do {
    n = sendmsg(fd, &m, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n >= 0;
}

}  // namespace vboard::detail
