// A serial line of the board: a pseudo-terminal whose slave the program
// opens as /dev/<name> (a link at <root>/dev/<name>), with the simulator of
// the attached device on the master side. The preload emulates the
// modem-control lines (which a pty lacks) for descriptors opened through
// the board path and reports them here over a side socket at
// <root>/.vboard/modem/dev/<name>.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "vboard/loop.h"

namespace vboard {

class SerialLine {
 public:
  // Creates the pty (raw mode, as a UART with no line discipline tricks),
  // the link and the side socket.
  SerialLine(Loop &loop, const std::string &root, const std::string &name);
  ~SerialLine();
  SerialLine(const SerialLine &) = delete;
  SerialLine &operator=(const SerialLine &) = delete;

  // Octets the program wrote to the line.
  std::function<void(std::span<const uint8_t>)> on_data;
  // The program changed DTR or RTS (argument: the TIOCM_* word, all lines).
  std::function<void(int lines)> on_lines;
  // The program started (true) or ended (false) a BREAK.
  std::function<void(bool on)> on_break;
  // The program opened (true) or closed its last descriptor of (false) the line.
  std::function<void(bool open)> on_open;

  // Octets to the program; queued, and paced when a rate is set.
  void send(std::span<const uint8_t> data);
  void send(const std::string &text) {
    send(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
  }
  // Paces send() at this many octets per second (0: as fast as the pty takes).
  void set_rate(unsigned octets_per_second);
  // Drops what send() has queued and not yet delivered.
  void flush_output();
  size_t queued() const { return out_.size(); }

  // The device's status lines (TIOCM_CTS, TIOCM_CAR, TIOCM_RNG, TIOCM_DSR);
  // other bits are ignored.
  void set_status(int bits);
  // All lines as the program's TIOCMGET sees them.
  int lines() const { return lines_; }
  bool in_break() const { return break_; }
  bool is_open() const { return opens_ > 0; }

  const std::string &name() const { return name_; }
  // The pty slave (/dev/pts/N) and the link to it.
  const std::string &slave_path() const { return slave_path_; }
  const std::string &link_path() const { return link_path_; }
  int master_fd() const { return master_; }

 private:
  void on_master(short revents);
  void pump();
  void accept_side();
  void serve_side(int fd);
  void close_side(int fd);
  void change_lines(int lines);
  Loop &loop_;
  std::string name_, link_path_, side_path_, slave_path_;
  int master_ = -1;
  int slave_keep_ = -1;  // keeps the master from seeing a hang-up between opens
  int side_listen_ = -1;
  std::map<int, bool> sides_;  // side connection -> counted as an open
  std::deque<uint8_t> out_;
  unsigned rate_ = 0;
  Loop::TimerId pace_timer_ = 0;
  std::chrono::steady_clock::time_point next_octet_{};
  int lines_ = 0;
  int opens_ = 0;
  bool break_ = false;
};

}  // namespace vboard
