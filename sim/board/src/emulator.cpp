#include "vboard/emulator.h"

#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace vboard {

std::string board_root() {
  const char *root = getenv("VBOARD_ROOT");
  if (root == nullptr || root[0] != '/') throw std::runtime_error("VBOARD_ROOT is not set to an absolute board root");
  return root;
}

void announce_ready() {
  const char *fd = getenv("VBOARD_READY_FD");
  if (fd == nullptr) return;
  int n = atoi(fd);
  if (n > 2) {
    (void)!write(n, "R", 1);
    close(n);
  }
  unsetenv("VBOARD_READY_FD");
}

}  // namespace vboard
