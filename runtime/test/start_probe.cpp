// Exits 0 only if its constructors ran before main, in their order, with the
// program's arguments.
#include <cstdio>
#include <cstring>

namespace
{
int order = 0;
int first = 0;
int second = 0;
int argc_seen = -1;

__attribute__((constructor(101))) void first_constructor(int argc, char **, char **)
{
    first = ++order;
    argc_seen = argc;
}

struct Second {
    Second() { second = ++order; }
} second_object;
} // namespace

int main(int argc, char **)
{
    if (first != 1 || second != 2 || argc_seen != argc) {
        std::printf("constructors did not run (order %d %d, argc %d of %d)\n", first, second, argc_seen, argc);
        return 1;
    }
    std::printf("constructors ran\n");
    return 0;
}
