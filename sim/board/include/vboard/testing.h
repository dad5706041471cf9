// Test helper for program tests (GoogleTest): a board in a fresh temporary
// directory, emulators started from the host build, programs of this build
// run on it under the preload (armel builds: under qemu-arm with the armel
// preload), with a time limit and captured output. Everything is torn down
// when the TestBoard goes out of scope.
//
//   vboard::testing::TestBoard board;
//   board.emulator("rtc");                       // host bin dir: vboard-rtc
//   auto r = board.run({"rtcprobe", "set", ...});   // this build's bin dir
//   EXPECT_EQ(r.exit_code, 0);
//   EXPECT_EQ(board.ctl("rtc", {"show"}).text, "...");
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "vboard/control.h"
#include "vboard/launch.h"

namespace vboard::testing {

// Programs of this build (test programs, deliverables).
std::string program_dir();
// Programs that run on this machine: emulators and vboard (the host build's
// when this is the armel build).
std::string host_program_dir();
// How this build's programs are run on a board.
Target this_target();
// True when this build's programs run under qemu.
bool on_target();

class TestBoard : public Board {
 public:
  TestBoard() = default;
  // Starts <host bin>/vboard-<name> (or a path) with args.
  void emulator(const std::string &name, const std::vector<std::string> &args = {});
  // Runs a program of this build (a bare name) or a path, captured.
  RunResult run(const std::vector<std::string> &argv,
                std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
  // Runs a program of this machine (a shell, vboard) on the board, captured.
  RunResult run_host(const std::vector<std::string> &argv,
                     std::chrono::milliseconds limit = std::chrono::seconds(30)) const;
  ControlReply ctl(const std::string &emulator, const std::vector<std::string> &words) const;
};

}  // namespace vboard::testing
