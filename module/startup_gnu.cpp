// Start-up of VELDRIAN.dll for x64 with the GNU toolchains (gcc and clang targeting
// mingw). The DLL links no C runtime, so this file gives it what the runtime would:
// the block fill and copy that compilers call on their own, and the stack probe of
// frames larger than a page. The stack protector's guard and the entry that seeds it
// are module/stackguard.cpp's. Built with MSVC, the CRT does all of this instead.
#include <cstddef>

extern "C" {

// Compilers turn zeroed arrays and copy loops into calls of these two (clang does
// for blocks that gcc fills inline). Defined here, they leave the DLL importing no
// C runtime whichever compiler built it. The string instructions do the work, so
// no compiler can turn the bodies back into calls of themselves. (The C library's
// headers name the parameters with reserved names: these cannot follow them.)
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): see above
void *memset(void *target, int value, std::size_t count)
{
    void *const start = target;
    __asm__ volatile("rep stosb" : "+D"(target), "+c"(count) : "a"(value) : "memory");
    return start;
}

// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): see memset
void *memcpy(void *target, const void *source, std::size_t count)
{
    void *const start = target;
    __asm__ volatile("rep movsb" : "+D"(target), "+S"(source), "+c"(count) : : "memory");
    return start;
}

// A function whose frame is larger than a page (the trace channel's line buffer)
// calls this with the frame's size in rax before it moves rsp: Windows commits the
// stack one guard page at a time, so each page of the frame is touched in turn, from
// the top down. Every register but the flags is kept; the caller moves rsp itself.
// Its two saves are described to the unwinder (.seh_*): a stack overflow raised by a
// touch here unwinds through it to the caller's handlers, not with a saved register
// taken for the return address.
__asm__(".text\n"
        ".globl ___chkstk_ms\n"
        ".def ___chkstk_ms; .scl 2; .type 32; .endef\n"
        ".seh_proc ___chkstk_ms\n"
        "___chkstk_ms:\n"
        "    pushq %rcx\n"
        "    .seh_pushreg %rcx\n"
        "    pushq %rax\n"
        "    .seh_pushreg %rax\n"
        "    .seh_endprologue\n"
        "    leaq 24(%rsp), %rcx\n"  // the caller's rsp, above the return address and the two saves
        "1:  cmpq $0x1000, %rax\n"
        "    jb 2f\n"
        "    subq $0x1000, %rcx\n"
        "    orq $0, (%rcx)\n"
        "    subq $0x1000, %rax\n"
        "    jmp 1b\n"
        "2:  subq %rax, %rcx\n"
        "    orq $0, (%rcx)\n"
        "    popq %rax\n"
        "    popq %rcx\n"
        "    ret\n"
        ".seh_endproc\n");

}  // extern "C"
