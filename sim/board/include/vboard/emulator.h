// What every emulator process needs from the board it was started on.
//
// vboard (and the test helper) start an emulator with VBOARD_ROOT set to the
// board root and VBOARD_READY_FD naming a pipe; the emulator creates its
// nodes, then calls announce_ready(), and only then is the program started.
#pragma once

#include <functional>
#include <string>

#include "vboard/loop.h"

namespace vboard
{

// The board root from VBOARD_ROOT; throws std::runtime_error when unset.
std::string board_root();
// Tells the starter that every node is in place (no-op without a starter).
void announce_ready();

// Announces readiness and runs the loop until a terminating signal.
void serve(Loop &loop);

// The whole main of an emulator: body(loop, root) creates the emulator's
// objects and ends with serve(loop); an exception is reported as
// "<name>: <what>" on stderr and gives exit status 1.
//
//   int main() {
//     return vboard::emulator_main("vboard-rtc", [](vboard::Loop &loop, const std::string &root) {
//       vboard::DeviceServer rtc(loop, root, "rtc", ...);
//       vboard::serve(loop);
//     });
//   }
int emulator_main(const char *name, const std::function<void(Loop &, const std::string &)> &body);

} // namespace vboard
