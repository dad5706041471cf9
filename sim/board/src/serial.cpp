#include "vboard/serial.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

#include "sock.h"

namespace vboard {

namespace {
constexpr int kProgramLines = TIOCM_DTR | TIOCM_RTS;
constexpr int kDeviceLines = TIOCM_CTS | TIOCM_CAR | TIOCM_RNG | TIOCM_DSR;
}  // namespace

SerialLine::SerialLine(Loop &loop, const std::string &root, const std::string &name)
    : loop_(loop),
      name_(name),
      link_path_(root + "/dev/" + name),
      side_path_(root + wire::kModemDir + "/dev/" + name) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) throw std::system_error(errno, std::generic_category(), "posix_openpt");
  char slave[PATH_MAX];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, slave, sizeof slave) != 0) {
    int e = errno;
    close(master_);
    throw std::system_error(e, std::generic_category(), "pty for " + name);
  }
  slave_path_ = slave;
  slave_keep_ = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_keep_ < 0) {
    int e = errno;
    close(master_);
    throw std::system_error(e, std::generic_category(), "open " + slave_path_);
  }
  termios t{};
  tcgetattr(slave_keep_, &t);
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  tcsetattr(slave_keep_, TCSANOW, &t);
  detail::make_parents(link_path_);
  unlink(link_path_.c_str());
  if (symlink(slave_path_.c_str(), link_path_.c_str()) != 0) {
    int e = errno;
    close(slave_keep_);
    close(master_);
    throw std::system_error(e, std::generic_category(), "symlink " + link_path_);
  }
  side_listen_ = detail::listen_at(side_path_);
  loop_.watch(master_, POLLIN, [this](short ev) { on_master(ev); });
  loop_.watch(side_listen_, POLLIN, [this](short) { accept_side(); });
}

SerialLine::~SerialLine() {
  if (pace_timer_ != 0) loop_.cancel(pace_timer_);
  for (auto &[fd, counted] : sides_) {
    loop_.unwatch(fd);
    close(fd);
  }
  loop_.unwatch(side_listen_);
  loop_.unwatch(master_);
  close(side_listen_);
  unlink(side_path_.c_str());
  unlink(link_path_.c_str());
  close(slave_keep_);
  close(master_);
}

void SerialLine::on_master(short revents) {
  if ((revents & POLLIN) != 0) {
    uint8_t buf[4096];
    ssize_t n = read(master_, buf, sizeof buf);
    if (n > 0 && on_data) on_data(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
  }
  if ((revents & POLLOUT) != 0) pump();
}

void SerialLine::send(std::span<const uint8_t> data) {
  out_.insert(out_.end(), data.begin(), data.end());
  pump();
}

void SerialLine::set_rate(unsigned octets_per_second) {
  rate_ = octets_per_second;
  pump();
}

void SerialLine::flush_output() {
  out_.clear();
  loop_.set_events(master_, POLLIN);
}

// Delivers what is due: everything the pty takes, or with a rate only the
// octets whose time has come, then waits for the pty or the next octet.
void SerialLine::pump() {
  using clock = std::chrono::steady_clock;
  size_t allowed = out_.size();
  auto now = clock::now();
  std::chrono::nanoseconds interval{0};
  if (rate_ > 0) {
    interval = std::chrono::nanoseconds(1000000000LL / rate_);
    if (next_octet_ < now - std::chrono::milliseconds(20)) next_octet_ = now;  // idle line
    allowed = 0;
    for (auto t = next_octet_; t <= now && allowed < out_.size(); t += interval) ++allowed;
  }
  bool blocked = false;
  while (allowed > 0) {
    uint8_t buf[4096];
    size_t n = std::min({allowed, sizeof buf, out_.size()});
    std::copy_n(out_.begin(), n, buf);
    ssize_t w = write(master_, buf, n);
    if (w <= 0) {
      blocked = true;
      break;
    }
    out_.erase(out_.begin(), out_.begin() + w);
    allowed -= static_cast<size_t>(w);
    if (rate_ > 0) next_octet_ += interval * w;
  }
  loop_.set_events(master_, static_cast<short>(POLLIN | (blocked && !out_.empty() ? POLLOUT : 0)));
  if (rate_ > 0 && !out_.empty() && !blocked && pace_timer_ == 0) {
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(next_octet_ - clock::now());
    pace_timer_ = loop_.after(std::max(wait, std::chrono::milliseconds(1)), [this] {
      pace_timer_ = 0;
      pump();
    });
  }
}

void SerialLine::set_status(int bits) { lines_ = (lines_ & ~kDeviceLines) | (bits & kDeviceLines); }

void SerialLine::change_lines(int lines) {
  int old = lines_;
  lines_ = lines;
  if (((old ^ lines) & kProgramLines) != 0 && on_lines) on_lines(lines_);
}

void SerialLine::accept_side() {
  int fd = detail::accept_one(side_listen_);
  if (fd < 0) return;
  sides_[fd] = false;
  loop_.watch(fd, POLLIN, [this, fd](short) { serve_side(fd); });
}

void SerialLine::close_side(int fd) {
  bool counted = sides_[fd];
  sides_.erase(fd);
  loop_.unwatch(fd);
  close(fd);
  // The last close drops DTR and RTS (HUPCL) and ends a BREAK.
  if (counted && --opens_ == 0) {
    if (break_) {
      break_ = false;
      if (on_break) on_break(false);
    }
    change_lines(lines_ & ~kProgramLines);
    if (on_open) on_open(false);
  }
}

void SerialLine::serve_side(int fd) {
  wire::Request req;
  std::vector<uint8_t> payload;
  std::vector<int> fds;
  if (!detail::recv_request(fd, req, payload, fds)) {
    if (errno != EAGAIN) close_side(fd);
    return;
  }
  for (int f : fds) close(f);
  int64_t result = -1;
  int err = 0;
  if (req.op == wire::kOpen) {
    if (!sides_[fd]) {
      sides_[fd] = true;
      // Opening a serial port raises DTR and RTS.
      if (opens_++ == 0) {
        change_lines(lines_ | kProgramLines);
        if (on_open) on_open(true);
      }
    }
    result = lines_;
  } else if (req.op == wire::kModem) {
    int bits = static_cast<int>(req.b) & kProgramLines;
    result = 0;
    switch (req.a) {
      case wire::kModemGet: break;
      case wire::kModemSet: change_lines((lines_ & ~kProgramLines) | bits); break;
      case wire::kModemBis: change_lines(lines_ | bits); break;
      case wire::kModemBic: change_lines(lines_ & ~bits); break;
      case wire::kBreakOn:
      case wire::kBreakOff: {
        bool on = req.a == wire::kBreakOn;
        if (on != break_) {
          break_ = on;
          if (on_break) on_break(on);
        }
        break;
      }
      default:
        result = -1;
        err = EINVAL;
    }
    if (result == 0) result = lines_;
  } else {
    err = EINVAL;
  }
  if (!detail::send_reply(fd, result, err, nullptr, 0)) close_side(fd);
}

}  // namespace vboard
