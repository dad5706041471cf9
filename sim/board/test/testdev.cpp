// vboard-testdev: a device for the tests of the core. /dev/testdev echoes
// what each open writes back to the same open; readiness, refusals and
// failures are switched over the control socket ("testdev").
//
// ioctl requests ('T' = 0x54 type, all answered by every open):
//   0x7001  not encoded, 4 octets in (from the size table): stored
//   0x7002  not encoded, 4 octets out: the stored value
//   _IOW('T', 1, 12)  12 octets in: stored;  _IOR('T', 2, 12): stored, out
//   _IOWR('T', 3, 16) every octet incremented
//   _IO('T', 4)  by value: result value + 1;  _IO('T', 5): fails with errno value
//   _IOR('M', 0, n)  n octets 0, 1, 2... (sizes in bits 16..29), result n
// mmap: 64 KiB of shared memory; "peek OFF LEN" and "poke OFF TEXT" see it.
//
// Control words: readable 0|1, writable 0|1 (every open), refuse ERRNO|off,
// push TEXT (queued for reading on every open), opens, closes, last-ioctl,
// written, peek OFF LEN, poke OFF TEXT, hangup.
#include <cerrno>
#include <cstring>
#include <deque>
#include <iostream>
#include <memory>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "vboard/control.h"
#include "vboard/device.h"
#include "vboard/emulator.h"

namespace {

constexpr size_t kShared = 65536;

struct State {
  int refuse = 0;
  bool blocked = false;
  unsigned opens = 0, closes = 0;
  uint32_t stored4 = 0;
  uint8_t stored12[12] = {};
  std::string last_ioctl = "none";
  std::string written;
  int memfd = -1;
  uint8_t *shared = nullptr;
};

class Echo : public vboard::Session {
 public:
  Echo(State &s, vboard::Connection &c) : s_(s), c_(c) {}
  int open(int) override {
    if (s_.refuse != 0) return s_.refuse;
    ++s_.opens;
    if (s_.blocked) c_.set_writable(false);
    return 0;
  }
  void closed() override { ++s_.closes; }
  void push(const std::string &text) {
    queue_.insert(queue_.end(), text.begin(), text.end());
    c_.set_readable(!queue_.empty());
  }
  vboard::Result read(std::vector<uint8_t> &data, size_t count, bool) override {
    if (queue_.empty()) return vboard::Result::error(EAGAIN);
    size_t n = std::min(count, queue_.size());
    data.assign(queue_.begin(), queue_.begin() + static_cast<long>(n));
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<long>(n));
    c_.set_readable(!queue_.empty());
    return vboard::Result::ok(static_cast<int64_t>(n));
  }
  vboard::Result write(std::span<const uint8_t> data, bool) override {
    if (s_.blocked) return vboard::Result::error(EAGAIN);
    s_.written.append(data.begin(), data.end());
    push(std::string(data.begin(), data.end()));
    return vboard::Result::ok(static_cast<int64_t>(data.size()));
  }
  vboard::Result ioctl(vboard::IoctlCall &call, bool) override {
    s_.last_ioctl = "request=" + hex(call.request) + " size=" + std::to_string(call.size) +
                    " dir=" + std::to_string(call.dir) + " value=" + std::to_string(call.value);
    if (call.request == 0x7001) {
      if (!call.get(s_.stored4)) return vboard::Result::error(EFAULT);
      return vboard::Result::ok();
    }
    if (call.request == 0x7002) {
      call.put(s_.stored4);
      return vboard::Result::ok();
    }
    if (call.request == _IOW('T', 1, uint8_t[12])) {
      if (!call.get(s_.stored12)) return vboard::Result::error(EFAULT);
      return vboard::Result::ok();
    }
    if (call.request == _IOR('T', 2, uint8_t[12])) {
      call.put(s_.stored12);
      return vboard::Result::ok();
    }
    if (call.request == _IOWR('T', 3, uint8_t[16])) {
      for (uint8_t &b : call.out) ++b;
      return vboard::Result::ok();
    }
    if (call.request == _IO('T', 4)) return vboard::Result::ok(static_cast<int64_t>(call.value + 1));
    if (call.request == _IO('T', 5)) return vboard::Result::error(static_cast<int>(call.value));
    if ((call.request & 0xC000FFFF) == 0x80004D00) {
      for (size_t i = 0; i < call.out.size(); ++i) call.out[i] = static_cast<uint8_t>(i);
      return vboard::Result::ok(call.size);
    }
    return vboard::Result::error(ENOTTY);
  }
  vboard::Mapping mmap(uint64_t length, uint64_t offset, int, int) override {
    if (offset + length > kShared) return vboard::Mapping{-1, 0, EINVAL};
    return vboard::Mapping{s_.memfd, offset, 0};
  }

 private:
  static std::string hex(uint32_t v) {
    char b[16];
    snprintf(b, sizeof b, "0x%08x", v);
    return b;
  }
  State &s_;
  vboard::Connection &c_;
  std::deque<uint8_t> queue_;
};

}  // namespace

int main() {
  try {
    vboard::Loop loop;
    std::string root = vboard::board_root();
    State s;
    s.memfd = memfd_create("testdev", MFD_CLOEXEC);
    if (s.memfd < 0 || ftruncate(s.memfd, kShared) != 0) throw std::runtime_error("memfd");
    s.shared = static_cast<uint8_t *>(::mmap(nullptr, kShared, PROT_READ | PROT_WRITE, MAP_SHARED, s.memfd, 0));
    vboard::DeviceServer dev(
        loop, root, "testdev", [&s](vboard::Connection &c) { return std::make_unique<Echo>(s, c); },
        {{0x7001, 4, vboard::wire::kIn}, {0x7002, 4, vboard::wire::kOut}});
    auto each = [&dev](auto fn) {
      for (vboard::Connection *c : dev.connections()) fn(*c);
    };
    vboard::ControlServer ctl(loop, root, "testdev", [&](const std::vector<std::string> &w) -> vboard::ControlReply {
      std::string cmd = w.empty() ? "" : w[0];
      std::string arg = w.size() > 1 ? w[1] : "";
      if (cmd == "readable") {
        each([&](vboard::Connection &c) { c.set_readable(arg == "1"); });
      } else if (cmd == "writable") {
        s.blocked = arg != "1";
        each([&](vboard::Connection &c) { c.set_writable(arg == "1"); });
      } else if (cmd == "refuse") {
        s.refuse = arg == "off" ? 0 : std::stoi(arg);
      } else if (cmd == "push") {
        each([&](vboard::Connection &c) { static_cast<Echo *>(c.session())->push(arg); });
      } else if (cmd == "opens") {
        return {0, std::to_string(s.opens) + " " + std::to_string(dev.connections().size())};
      } else if (cmd == "closes") {
        return {0, std::to_string(s.closes)};
      } else if (cmd == "last-ioctl") {
        return {0, s.last_ioctl};
      } else if (cmd == "written") {
        return {0, s.written};
      } else if (cmd == "peek" && w.size() == 3) {
        return {0, std::string(reinterpret_cast<char *>(s.shared) + std::stoul(w[1]), std::stoul(w[2]))};
      } else if (cmd == "poke" && w.size() == 3) {
        memcpy(s.shared + std::stoul(w[1]), w[2].data(), w[2].size());
      } else if (cmd == "hangup") {
        each([](vboard::Connection &c) { c.hang_up(); });
      } else {
        return {2, "unknown request"};
      }
      return {0, "ok"};
    });
    vboard::announce_ready();
    loop.run();
  } catch (const std::exception &e) {
    std::cerr << "vboard-testdev: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
