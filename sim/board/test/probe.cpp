// vboard-probe: runs on the board under the preload and makes the C library
// calls the tests name, one step per argument ("open /dev/testdev rw",
// "read 5", ...), printing one line per step: the result, or the step's
// name and the errno name.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::vector<int> fds;
char *mapping = nullptr;

int cur() { return fds.empty() ? -1 : fds.back(); }

void err(const std::string &step) { printf("%s %s\n", step.c_str(), strerrorname_np(errno)); }
void ok(const std::string &step, int r) {
  if (r < 0) {
    err(step);
  } else {
    printf("%s ok\n", step.c_str());
  }
}

int flags_of(const std::string &m) {
  int f = m.find("rw") != std::string::npos ? O_RDWR : m.find('w') != std::string::npos ? O_WRONLY : O_RDONLY;
  if (m.find('n') != std::string::npos) f |= O_NONBLOCK;
  if (m.find('c') != std::string::npos) f |= O_CREAT;
  return f;
}

std::string kind(mode_t m) {
  if (S_ISCHR(m)) return "chr";
  if (S_ISSOCK(m)) return "sock";
  if (S_ISDIR(m)) return "dir";
  if (S_ISLNK(m)) return "lnk";
  if (S_ISREG(m)) return "reg";
  return "other";
}

std::string hex(const std::vector<uint8_t> &b) {
  std::string s;
  char x[3];
  for (uint8_t v : b) {
    snprintf(x, sizeof x, "%02x", v);
    s += x;
  }
  return s;
}

std::vector<uint8_t> unhex(const std::string &s) {
  std::vector<uint8_t> b;
  for (size_t i = 0; i + 1 < s.size(); i += 2) b.push_back(static_cast<uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
  return b;
}

std::string control(const std::vector<std::string> &w) {
  const char *root = getenv("VBOARD_ROOT");
  std::string path = std::string(root != nullptr ? root : "") + "/.vboard/ctl/" + w[1];
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  int s = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(s);
    return std::string("ctl ") + strerrorname_np(errno);
  }
  std::string m;
  for (size_t i = 2; i < w.size(); ++i) m += w[i] + std::string(1, '\0');
  send(s, m.data(), m.size(), 0);
  char buf[4096];
  ssize_t n = recv(s, buf, sizeof buf, 0);
  close(s);
  if (n < 1) return "ctl noreply";
  return "ctl " + std::to_string(buf[0]) + " " + std::string(buf + 1, static_cast<size_t>(n - 1));
}

// Each thread opens its own descriptor, writes a text of its own and must
// read exactly that back.
std::string threads(int n, int rounds, const std::string &path) {
  std::atomic<int> bad{0};
  std::vector<std::thread> t;
  for (int i = 0; i < n; ++i) {
    t.emplace_back([&, i] {
      for (int r = 0; r < rounds; ++r) {
        int fd = open(path.c_str(), O_RDWR);
        std::string msg = "t" + std::to_string(i) + "-" + std::to_string(r);
        char buf[64] = {};
        bool good = fd >= 0 && write(fd, msg.data(), msg.size()) == static_cast<ssize_t>(msg.size()) &&
                    read(fd, buf, sizeof buf) == static_cast<ssize_t>(msg.size()) && msg == buf;
        if (fd >= 0) close(fd);
        if (!good) ++bad;
      }
    });
  }
  for (auto &th : t) th.join();
  return bad == 0 ? "threads ok" : "threads fail " + std::to_string(bad.load());
}

void step(const std::vector<std::string> &w) {
  const std::string &op = w[0];
  auto arg = [&w](size_t i) { return i < w.size() ? w[i] : std::string(); };
  if (op == "open") {
    int fd = open(arg(1).c_str(), flags_of(arg(2)), 0644);
    if (fd < 0) return err("open");
    fds.push_back(fd);
    printf("open ok\n");
  } else if (op == "openat") {
    int fd = openat(AT_FDCWD, arg(1).c_str(), O_RDONLY);
    if (fd < 0) return err("openat");
    char buf[256] = {};
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    printf("openat %s\n", n >= 0 ? buf : "?");
  } else if (op == "close") {
    int fd = cur();
    if (!fds.empty()) fds.pop_back();
    ok("close", close(fd));
  } else if (op == "read") {
    std::vector<char> buf(std::stoul(arg(1)) + 1, 0);
    ssize_t n = read(cur(), buf.data(), buf.size() - 1);
    if (n < 0) return err("read");
    printf("read %zd %s\n", n, buf.data());
  } else if (op == "write") {
    std::string text = arg(1);
    ssize_t n = write(cur(), text.data(), text.size());
    if (n < 0) return err("write");
    printf("write %zd\n", n);
  } else if (op == "ioctlv") {
    int r = ioctl(cur(), std::stoul(arg(1), nullptr, 16), std::stoul(arg(2)));
    if (r < 0) return err("ioctl");
    printf("ioctl %d\n", r);
  } else if (op == "ioctlp") {
    std::vector<uint8_t> buf = unhex(arg(3));
    buf.resize(std::stoul(arg(2)), 0);
    int r = ioctl(cur(), std::stoul(arg(1), nullptr, 16), buf.data());
    if (r < 0) return err("ioctl");
    printf("ioctl %d %s\n", r, hex(buf).c_str());
  } else if (op == "ioctlnull") {
    int r = ioctl(cur(), std::stoul(arg(1), nullptr, 16), nullptr);
    if (r < 0) return err("ioctl");
    printf("ioctl %d\n", r);
  } else if (op == "poll") {
    short ev = static_cast<short>((arg(1).find("in") != std::string::npos ? POLLIN : 0) |
                                  (arg(1).find("out") != std::string::npos ? POLLOUT : 0));
    pollfd p{cur(), ev, 0};
    int r = poll(&p, 1, std::stoi(arg(2)));
    if (r < 0) return err("poll");
    std::string s = "poll";
    if (p.revents & POLLIN) s += " in";
    if (p.revents & POLLOUT) s += " out";
    if (p.revents & POLLHUP) s += " hup";
    printf("%s\n", r == 0 ? "poll none" : s.c_str());
  } else if (op == "select") {
    fd_set rd, wr;
    FD_ZERO(&rd);
    FD_ZERO(&wr);
    FD_SET(cur(), &rd);
    FD_SET(cur(), &wr);
    timeval tv{0, 0};
    int r = select(cur() + 1, &rd, &wr, nullptr, &tv);
    if (r < 0) return err("select");
    printf("select%s%s\n", FD_ISSET(cur(), &rd) ? " in" : "", FD_ISSET(cur(), &wr) ? " out" : "");
  } else if (op == "mmap") {
    void *p = mmap(nullptr, std::stoul(arg(1)), PROT_READ | PROT_WRITE, MAP_SHARED, cur(), std::stol(arg(2)));
    if (p == MAP_FAILED) return err("mmap");
    mapping = static_cast<char *>(p);
    printf("mmap ok\n");
  } else if (op == "peek") {
    printf("peek %.*s\n", std::stoi(arg(2)), mapping + std::stoul(arg(1)));
  } else if (op == "poke") {
    memcpy(mapping + std::stoul(arg(1)), arg(2).data(), arg(2).size());
    printf("poke ok\n");
  } else if (op == "ctl") {
    printf("%s\n", control(w).c_str());
  } else if (op == "later") {
    // A control request from another thread after a pause, while this one
    // goes on (e.g. into a blocking read).
    std::vector<std::string> rest(w.begin() + 1, w.end());
    std::thread([rest] {
      usleep(static_cast<useconds_t>(std::stoi(rest[0]) * 1000));
      std::vector<std::string> c{"ctl"};
      c.insert(c.end(), rest.begin() + 1, rest.end());
      control(c);
    }).detach();
    printf("later ok\n");
  } else if (op == "dup") {
    int fd = dup(cur());
    if (fd < 0) return err("dup");
    fds.push_back(fd);
    printf("dup ok\n");
  } else if (op == "dup2") {
    int fd = dup2(cur(), std::stoi(arg(1)));
    if (fd < 0) return err("dup2");
    fds.push_back(fd);
    printf("dup2 ok\n");
  } else if (op == "fdup") {
    int fd = fcntl(cur(), F_DUPFD_CLOEXEC, 100);
    if (fd < 0) return err("fdup");
    fds.push_back(fd);
    printf("fdup ok\n");
  } else if (op == "stat" || op == "lstat") {
    struct stat st;
    int r = op == "stat" ? stat(arg(1).c_str(), &st) : lstat(arg(1).c_str(), &st);
    if (r < 0) return err(op);
    printf("%s %s\n", op.c_str(), kind(st.st_mode).c_str());
  } else if (op == "fstatat") {
    struct stat st;
    if (fstatat(AT_FDCWD, arg(1).c_str(), &st, 0) < 0) return err(op);
    printf("fstatat %s\n", kind(st.st_mode).c_str());
  } else if (op == "statx") {
    struct statx st;
    if (statx(AT_FDCWD, arg(1).c_str(), 0, STATX_TYPE, &st) < 0) return err(op);
    printf("statx %s\n", kind(st.stx_mode).c_str());
  } else if (op == "access") {
    ok("access", access(arg(1).c_str(), R_OK));
  } else if (op == "cat") {
    int fd = open(arg(1).c_str(), O_RDONLY);
    if (fd < 0) return err("cat");
    char buf[256] = {};
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n < 0) return err("cat");
    printf("cat %s\n", buf);
  } else if (op == "fcat") {
    FILE *f = fopen(arg(1).c_str(), "r");
    if (f == nullptr) return err("fcat");
    char buf[256] = {};
    if (fgets(buf, sizeof buf, f) == nullptr) buf[0] = '\0';
    fclose(f);
    buf[strcspn(buf, "\n")] = '\0';
    printf("fcat %s\n", buf);
  } else if (op == "fwrite") {
    FILE *f = fopen(arg(1).c_str(), "w");
    if (f == nullptr) return err("fwrite");
    fputs(arg(2).c_str(), f);
    ok("fwrite", fclose(f));
  } else if (op == "ls") {
    DIR *d = opendir(arg(1).c_str());
    if (d == nullptr) return err("ls");
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
      if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    std::string s = "ls";
    for (auto &n : names) s += " " + n;
    printf("%s\n", s.c_str());
  } else if (op == "realpath") {
    char buf[PATH_MAX];
    if (realpath(arg(1).c_str(), buf) == nullptr) return err("realpath");
    printf("realpath %s\n", buf);
  } else if (op == "readlink") {
    char buf[PATH_MAX] = {};
    if (readlink(arg(1).c_str(), buf, sizeof buf - 1) < 0) return err("readlink");
    printf("readlink %s\n", buf);
  } else if (op == "getcwd") {
    char buf[PATH_MAX];
    if (getcwd(buf, sizeof buf) == nullptr) return err("getcwd");
    printf("getcwd %s\n", buf);
  } else if (op == "chdir") {
    ok("chdir", chdir(arg(1).c_str()));
  } else if (op == "mkdir") {
    ok("mkdir", mkdir(arg(1).c_str(), 0755));
  } else if (op == "rmdir") {
    ok("rmdir", rmdir(arg(1).c_str()));
  } else if (op == "unlink") {
    ok("unlink", unlink(arg(1).c_str()));
  } else if (op == "symlink") {
    ok("symlink", symlink(arg(1).c_str(), arg(2).c_str()));
  } else if (op == "rename") {
    ok("rename", rename(arg(1).c_str(), arg(2).c_str()));
  } else if (op == "chmod") {
    ok("chmod", chmod(arg(1).c_str(), static_cast<mode_t>(std::stoul(arg(2), nullptr, 8))));
  } else if (op == "creat") {
    int fd = creat(arg(1).c_str(), 0644);
    ok("creat", fd);
    if (fd >= 0) close(fd);
  } else if (op == "tiocm") {
    int bits = arg(2).empty() ? 0 : static_cast<int>(std::stoul(arg(2), nullptr, 16));
    unsigned long req = arg(1) == "get" ? TIOCMGET : arg(1) == "set" ? TIOCMSET : arg(1) == "bis" ? TIOCMBIS : TIOCMBIC;
    if (ioctl(cur(), req, &bits) < 0) return err("tiocm");
    if (req == TIOCMGET) {
      printf("tiocm 0x%03x\n", bits);
    } else {
      printf("tiocm ok\n");
    }
  } else if (op == "brk") {
    int r = arg(1) == "on" ? ioctl(cur(), TIOCSBRK) : arg(1) == "off" ? ioctl(cur(), TIOCCBRK) : tcsendbreak(cur(), 0);
    ok("brk", r);
  } else if (op == "threads") {
    printf("%s\n", threads(std::stoi(arg(1)), std::stoi(arg(2)), arg(3)).c_str());
  } else if (op == "sleep") {
    usleep(static_cast<useconds_t>(std::stoi(arg(1)) * 1000));
    printf("sleep ok\n");
  } else {
    printf("unknown step %s\n", op.c_str());
  }
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IOLBF, 0);
  for (int i = 1; i < argc; ++i) {
    std::istringstream in(argv[i]);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    if (!w.empty()) step(w);
  }
  return 0;
}
