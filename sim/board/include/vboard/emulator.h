// What every emulator process needs from the board it was started on.
//
// vboard (and the test helper) start an emulator with VBOARD_ROOT set to the
// board root and VBOARD_READY_FD naming a pipe; the emulator creates its
// nodes, then calls announce_ready(), and only then is the program started.
#pragma once

#include <string>

namespace vboard {

// The board root from VBOARD_ROOT; throws std::runtime_error when unset.
std::string board_root();
// Tells the starter that every node is in place (no-op without a starter).
void announce_ready();

}  // namespace vboard
