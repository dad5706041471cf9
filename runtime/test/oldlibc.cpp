// Preloaded into a program, makes today's C library start it the way one
// before 2.34 did: constructors through the init argument only, none found
// by the library itself.
#include <cstdlib>
#include <unistd.h>

using MainFunction = int (*)(int, char **, char **);
using InitFunction = void (*)(int, char **, char **);

extern "C" __attribute__((visibility("default"))) int __libc_start_main(MainFunction main, int argc, char **argv,
                                                                        InitFunction init, void (*)(), void (*)(),
                                                                        void *)
{
    if (init != nullptr) {
        init(argc, argv, environ);
    }
    exit(main(argc, argv, environ));
}
