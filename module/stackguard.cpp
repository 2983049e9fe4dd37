// The stack protector of VELDRIAN.dll, on every processor it is built for: the DLL
// links no C runtime, so this file gives it what the runtime would, the guard value,
// chosen at load before any guarded function runs, and its failure routine. The
// load configuration (module/loadconfig.cpp, module/loadconfig_arm64.cpp) names the
// guard as the module's SecurityCookie.
#include <windows.h>

#include <cstdint>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

extern "C" {

// Windows' default 64-bit security cookie: the value a loader that seeds the cookie
// looks for at the address the load configuration names.
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
