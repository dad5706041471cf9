// Control sockets: how people and tests talk to an emulator while a program
// runs on the board ("vboard ctl <emulator> <words...>"). An emulator serves
// one socket at <root>/.vboard/ctl/<name>; each request is a list of words,
// each reply a status (0 = done) and a text.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "vboard/loop.h"

namespace vboard {

struct ControlReply {
  int status = 0;    // 0 done, otherwise the exit status of "vboard ctl"
  std::string text;  // printed by "vboard ctl" (stdout, or stderr on failure)
};

class ControlServer {
 public:
  using Handler = std::function<ControlReply(const std::vector<std::string> &words)>;
  ControlServer(Loop &loop, const std::string &root, const std::string &name, Handler handler);
  ~ControlServer();
  ControlServer(const ControlServer &) = delete;
  ControlServer &operator=(const ControlServer &) = delete;
  const std::string &path() const { return path_; }

 private:
  void serve(int fd);
  Loop &loop_;
  std::string path_;
  Handler handler_;
  int listen_fd_ = -1;
  std::vector<int> clients_;
};

// Client side: sends words to the emulator's control socket and returns its
// reply; status 1 with a message when the emulator cannot be reached.
ControlReply control_request(const std::string &root, const std::string &name,
                             const std::vector<std::string> &words, int timeout_ms = 10000);

// The words of a request travel NUL-separated in one message.
std::string control_encode(const std::vector<std::string> &words);
std::vector<std::string> control_decode(const std::string &message);

}  // namespace vboard
