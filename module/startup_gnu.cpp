// Start-up of VELDRIAN.dll for the GNU toolchains (gcc and clang targeting mingw).
// The DLL links no C runtime, so this file gives it what the runtime would: the
// stack protector's guard value, chosen at load before any guarded function runs,
// its failure routine, the block fill and copy that compilers call on their own, and
// the stack probe of frames larger than a page.
// Built with MSVC, /GS and the CRT's entry do this instead.
#include <windows.h>

#include <cstddef>
#include <cstdint>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

extern "C" {

// Windows' default 64-bit security cookie: the value a loader that seeds the cookie
// looks for at the address the load configuration names (module/loadconfig.cpp).
constexpr std::uintptr_t kUnseededGuard = 0x00002B992DDFA232ULL;

// Read by every function that the compiler guards with -fstack-protector-strong.
// Writable data, as the loader's seeding needs.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the compilers' own name
std::uintptr_t __stack_chk_guard = kUnseededGuard;

// A guard that no longer matches means the stack was overwritten: nothing in the
// process can be trusted past that point, so it ends at once, as Windows' own
// stack cookie check does.
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): the compilers' own name
[[noreturn]] void __stack_chk_fail(void)
{
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_STACK_BUFFER_OVERRUN));
    for (;;) {
    }
}

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

__attribute__((no_stack_protector)) BOOL WINAPI VeldrianDllEntry(HINSTANCE instance, DWORD reason,
                                                                 LPVOID reserved)
{
    // Windows' loader has seeded the guard already where it reads the load
    // configuration's SecurityCookie; only a guard still at its default is seeded here.
    if (reason == DLL_PROCESS_ATTACH && __stack_chk_guard == kUnseededGuard) {
        LARGE_INTEGER counter = {};
        QueryPerformanceCounter(&counter);
        std::uintptr_t guard = static_cast<std::uintptr_t>(counter.QuadPart);
        guard ^= static_cast<std::uintptr_t>(GetCurrentProcessId()) << 32;
        guard ^= static_cast<std::uintptr_t>(GetCurrentThreadId());
        guard ^= reinterpret_cast<std::uintptr_t>(&counter);
        guard ^= reinterpret_cast<std::uintptr_t>(instance);
        // A zero byte low in the guard stops string copies from reproducing it.
        __stack_chk_guard = guard & ~static_cast<std::uintptr_t>(0xFF);
    }
    return DllMain(instance, reason, reserved);
}

}  // extern "C"
