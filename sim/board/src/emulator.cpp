#include "vboard/emulator.h"

#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <unistd.h>

namespace vboard
{

std::string board_root()
{
    const char *root = getenv("VBOARD_ROOT");
    if (root == nullptr || root[0] != '/')
        throw std::runtime_error("VBOARD_ROOT is not set to an absolute board root");
    return root;
}

void announce_ready()
{
    const char *fd = getenv("VBOARD_READY_FD");
    if (fd == nullptr)
        return;
    int n = atoi(fd);
    if (n > 2) {
        (void)!write(n, "R", 1);
        close(n);
    }
    unsetenv("VBOARD_READY_FD");
}

void serve(Loop &loop)
{
    announce_ready();
    loop.run();
}

int emulator_main(const char *name, const std::function<void(Loop &, const std::string &)> &body)
{
    try {
        Loop loop;
        body(loop, board_root());
    } catch (const std::exception &e) {
        std::cerr << name << ": " << e.what() << "\n";
        return 1;
    }
    return 0;
}

} // namespace vboard
