// Program entry of the unit's dynamically linked programs.
//
// The unit's C library (GNU C library 2.4 on) runs a program's constructors
// only through the init argument of __libc_start_main; the dynamic loader
// leaves the executable's own to it. Today's start files pass no init, which a
// library from 2.34 on accepts by finding the constructors itself; an older one
// would enter main with no constructor run. This entry passes an init that
// runs them, which every library version honours.
//
// Destructors need nothing here: the loader's exit handler, passed in r0 and
// handed on as rtld_fini, runs the executable's fini array on every version.
#include <cstddef>

extern "C" {

using InitFunction = void (*)(int, char **, char **);
extern InitFunction __init_array_start[] __attribute__((visibility("hidden")));
extern InitFunction __init_array_end[] __attribute__((visibility("hidden")));
void _init(void);

// Marks the program as built for the library's current stdio layout.
__attribute__((used)) extern const int _IO_stdin_used = 0x20001;

__attribute__((visibility("hidden"), used)) void quilmar_start_init(int argc, char **argv, char **envp)
{
    _init();
    const size_t n = static_cast<size_t>(__init_array_end - __init_array_start);
    for (size_t i = 0; i < n; ++i) {
        __init_array_start[i](argc, argv, envp);
    }
}

} // extern "C"

// __libc_start_main(main, argc, argv, init, fini, rtld_fini, stack_end):
// the first four in r0-r3, the rest on the stack. The kernel leaves argc at
// sp and argv above it; the loader leaves its exit handler in r0. Addresses of
// main and the init are taken relative to the pc, so the entry works in a
// position-independent executable.
__asm__(R"(
	.pushsection .text
	.align 2
	.globl _start
	.type _start, %function
_start:
	.fnstart
	.cantunwind
	mov fp, #0
	mov lr, #0
	pop {r1}
	mov r2, sp
	push {r2}
	push {r0}
	mov ip, #0
	push {ip}
	ldr r0, .Lmain_offset
.Lmain_pc:
	add r0, pc, r0
	ldr r3, .Linit_offset
.Linit_pc:
	add r3, pc, r3
	bl __libc_start_main
	bl abort
	.align 2
.Lmain_offset:
	.word main - (.Lmain_pc + 8)
.Linit_offset:
	.word quilmar_start_init - (.Linit_pc + 8)
	.fnend
	.size _start, . - _start

	@ The oldest kernel the program runs on: Linux 2.6.16.
	.section .note.ABI-tag, "a", %note
	.align 2
	.word 4, 16, 1
	.asciz "GNU"
	.word 0, 2, 6, 16
	.popsection
)");
