// Starting a board and running programs on it: used by the vboard command
// and by the test helper (vboard/testing.h).
#pragma once

#include <chrono>
#include <csignal>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vboard {

// How a program is put on the board.
struct Target {
  std::string preload;        // preload library for programs of this machine
  std::string armel_preload;  // preload library for armel programs under qemu
  std::string asan_runtime;   // loaded before the preload when set (sanitizer builds)
  bool armel = false;         // run the program as an armel binary under qemu
  std::string sysroot = "/usr/arm-linux-gnueabi";
  std::string qemu = "qemu-arm";
};

struct RunResult {
  int exit_code = -1;    // exit status, or -1 when killed by a signal
  int signal = 0;        // the signal that ended it
  bool timed_out = false;
  std::string out, err;  // captured output (capture mode)
  // As a shell reports it: the exit status, or 128 + signal.
  int shell_status() const { return signal != 0 ? 128 + signal : exit_code; }
};

// The command and environment that run argv on the board at root:
// LD_PRELOAD and VBOARD_ROOT for programs of this machine; for a qemu-arm
// command (given, or made by Target::armel) the preload goes into the
// emulated process with qemu's -E options, never into qemu itself.
void board_command(const std::string &root, const Target &target, std::vector<std::string> &argv,
                   std::vector<std::string> &env);

class Board {
 public:
  // A board at root (created if missing, kept afterwards), or in a fresh
  // temporary directory (removed afterwards) when root is empty.
  explicit Board(const std::string &root = "");
  ~Board();
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;

  const std::string &root() const { return root_; }

  // Starts an emulator process and waits until it announced that its nodes
  // are in place. Throws std::runtime_error when it ends or stays silent
  // within the limit.
  pid_t start(const std::vector<std::string> &argv,
              std::chrono::milliseconds limit = std::chrono::seconds(10));
  // Ends every emulator (SIGTERM, SIGKILL after 3 s) and reaps it.
  void stop_emulators();

  // Runs argv on the board and waits for it. With capture, stdout and stderr
  // are collected and the program runs in a process group of its own (all
  // of it is killed at the time limit); otherwise it shares our terminal.
  // A zero limit waits for ever. A signal number that appears in *forward
  // while the program runs is sent to it.
  RunResult run(std::vector<std::string> argv, const Target &target, std::chrono::milliseconds limit,
                bool capture, const volatile sig_atomic_t *forward = nullptr) const;

 private:
  std::string root_;
  bool owned_ = false;
  std::vector<pid_t> emulators_;
};

// Runs argv with the environment env (empty: ours) as Board::run does,
// without a board.
RunResult run_command(std::vector<std::string> argv, std::vector<std::string> env,
                      std::chrono::milliseconds limit, bool capture,
                      const volatile sig_atomic_t *forward = nullptr);

// Removes a directory tree (no-op when it does not exist).
void remove_tree(const std::string &path);

}  // namespace vboard
