// vboard-testline: a serial line /dev/ttyT0 with a simulator that records
// what the program does to the modem-control lines. Control words
// ("testline"): lines, log, status BITS (hex TIOCM_*), send TEXT, received,
// rate N.
#include <cstdio>
#include <iostream>
#include <sys/ioctl.h>

#include "vboard/control.h"
#include "vboard/emulator.h"
#include "vboard/serial.h"

namespace {
std::string describe(int l, bool brk, bool open) {
  char b[128];
  snprintf(b, sizeof b, "dtr=%d rts=%d cts=%d dcd=%d ri=%d dsr=%d break=%d open=%d", (l & TIOCM_DTR) != 0,
           (l & TIOCM_RTS) != 0, (l & TIOCM_CTS) != 0, (l & TIOCM_CAR) != 0, (l & TIOCM_RNG) != 0,
           (l & TIOCM_DSR) != 0, brk, open);
  return b;
}
}  // namespace

int main() {
  try {
    vboard::Loop loop;
    std::string root = vboard::board_root();
    vboard::SerialLine line(loop, root, "ttyT0");
    std::string log, received;
    line.on_lines = [&](int l) {
      char b[32];
      snprintf(b, sizeof b, "lines 0x%03x\n", l & (TIOCM_DTR | TIOCM_RTS));
      log += b;
    };
    line.on_break = [&](bool on) { log += on ? "break on\n" : "break off\n"; };
    line.on_open = [&](bool open) { log += open ? "open\n" : "close\n"; };
    line.on_data = [&](std::span<const uint8_t> d) { received.append(d.begin(), d.end()); };
    vboard::ControlServer ctl(loop, root, "testline", [&](const std::vector<std::string> &w) -> vboard::ControlReply {
      std::string cmd = w.empty() ? "" : w[0];
      if (cmd == "lines") return {0, describe(line.lines(), line.in_break(), line.is_open())};
      if (cmd == "log") return {0, log};
      if (cmd == "received") return {0, received};
      if (cmd == "status" && w.size() == 2) {
        line.set_status(static_cast<int>(std::stoul(w[1], nullptr, 16)));
      } else if (cmd == "send" && w.size() == 2) {
        line.send(w[1]);
      } else if (cmd == "rate" && w.size() == 2) {
        line.set_rate(static_cast<unsigned>(std::stoul(w[1])));
      } else {
        return {2, "unknown request"};
      }
      return {0, "ok"};
    });
    vboard::announce_ready();
    loop.run();
  } catch (const std::exception &e) {
    std::cerr << "vboard-testline: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
