#include "watchdog.h"

#include <psapi.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

namespace host {

namespace {

// The watched call's thread, and what ended it when it crashed.
std::atomic<DWORD> g_watchedThread{0};
DWORD g_exceptionCode = 0;
wchar_t g_where[MAX_PATH + 32] = {};
CrashReporter g_reporter = nullptr;

constexpr DWORD kCrashedThreadExit = 0xC0DE;
constexpr DWORD kPollMs = 100;
constexpr DWORD kStopGraceMs = 3000;

// "module+0xoffset" of an address, without allocating: the heap may be what failed.
void NameAddress(const void *address, wchar_t *where, std::size_t capacity)
{
    HMODULE module = nullptr;
    wchar_t path[MAX_PATH] = L"?";
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(address), &module);
    if (module != nullptr) {
        GetModuleFileNameW(module, path, MAX_PATH);
    }
    const wchar_t *name = path;
    for (const wchar_t *at = path; *at != L'\0'; ++at) {
        name = *at == L'\\' ? at + 1 : name;
    }
    const auto offset = reinterpret_cast<ULONG_PTR>(address) - reinterpret_cast<ULONG_PTR>(module);
    if (std::swprintf(where, capacity, L"%ls+0x%llx", name, static_cast<unsigned long long>(offset)) < 0) {
        where[0] = L'\0';
    }
}

LONG WINAPI UnhandledException(EXCEPTION_POINTERS *exception)
{
    const DWORD code = exception->ExceptionRecord->ExceptionCode;
    const void *address = exception->ExceptionRecord->ExceptionAddress;
    if (GetCurrentThreadId() == g_watchedThread.load()) {
        g_exceptionCode = code;
        NameAddress(address, g_where, std::size(g_where));
        ExitThread(kCrashedThreadExit);
    }
    if (g_reporter != nullptr) {
        wchar_t where[MAX_PATH + 32] = {};
        NameAddress(address, where, std::size(where));
        g_reporter(code, where);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

struct Call {
    CallFunction function;
    void *parameter;
};

DWORD WINAPI CallThread(void *parameter)
{
    const Call *call = static_cast<const Call *>(parameter);
    call->function(call->parameter);
    return 0;
}

// How the thread ended, once it has or was ended.
CallEnd Watch(HANDLE thread, unsigned timeoutSeconds, const std::atomic<bool> &stop)
{
    const ULONGLONG deadline = GetTickCount64() + 1000ULL * timeoutSeconds;
    ULONGLONG stopDeadline = 0;
    for (;;) {
        if (WaitForSingleObject(thread, kPollMs) == WAIT_OBJECT_0) {
            DWORD code = 0;
            GetExitCodeThread(thread, &code);
            return code == kCrashedThreadExit ? CallEnd::Crashed : CallEnd::Returned;
        }
        const ULONGLONG now = GetTickCount64();
        if (stop.load() && stopDeadline == 0) {
            stopDeadline = now + kStopGraceMs;
        }
        const bool stopped = stopDeadline != 0 && now >= stopDeadline;
        if (stopped || now >= deadline) {
            TerminateThread(thread, ERROR_TIMEOUT);
            WaitForSingleObject(thread, INFINITE);
            return stopped ? CallEnd::Stopped : CallEnd::TimedOut;
        }
    }
}

std::vector<HMODULE> LoadedModules()
{
    std::vector<HMODULE> modules(512);
    DWORD needed = 0;
    if (!EnumProcessModules(GetCurrentProcess(), modules.data(),
                            static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed)) {
        return {};
    }
    modules.resize(std::min<std::size_t>(modules.size(), needed / sizeof(HMODULE)));
    return modules;
}

// A call ended where it stood leaves the DLLs it loaded (a vendor's co-installer) in
// this process, where their files cannot be removed: each is let go of.
void UnloadSince(const std::vector<HMODULE> &before)
{
    constexpr int kMostReferences = 16;
    for (HMODULE module : LoadedModules()) {
        if (std::ranges::find(before, module) != before.end()) {
            continue;
        }
        for (int reference = 0; reference < kMostReferences && FreeLibrary(module); ++reference) {
            HMODULE still = nullptr;
            if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                        GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                    reinterpret_cast<LPCWSTR>(module), &still)) {
                break;
            }
        }
    }
}

}  // namespace

WatchedCall RunWatched(CallFunction function, void *parameter, unsigned timeoutSeconds,
                       const std::atomic<bool> &stop)
{
    WatchedCall watched;
    Call call{function, parameter};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, &CallThread, &call, CREATE_SUSPENDED, &id);
    if (thread == nullptr) {
        function(parameter);  // unwatched, as before there was a watchdog
        return watched;
    }
    const std::vector<HMODULE> before = LoadedModules();
    g_watchedThread.store(id);
    ResumeThread(thread);
    watched.end = Watch(thread, timeoutSeconds, stop);
    g_watchedThread.store(0);
    CloseHandle(thread);
    if (watched.end != CallEnd::Returned) {
        UnloadSince(before);
    }
    if (watched.end == CallEnd::Crashed) {
        watched.exceptionCode = g_exceptionCode;
        watched.where = g_where;
    }
    return watched;
}

void WatchForCrashes(CrashReporter reporter)
{
    g_reporter = reporter;
    SetUnhandledExceptionFilter(&UnhandledException);
}

std::wstring CrashText(DWORD exceptionCode, const std::wstring &where)
{
    wchar_t code[16] = {};
    if (std::swprintf(code, std::size(code), L"0x%08lX", static_cast<unsigned long>(exceptionCode)) < 0) {
        code[0] = L'\0';
    }
    const wchar_t *kind = exceptionCode == EXCEPTION_ACCESS_VIOLATION      ? L" (an access violation)"
                          : exceptionCode == EXCEPTION_STACK_OVERFLOW      ? L" (a stack overflow)"
                          : exceptionCode == EXCEPTION_ILLEGAL_INSTRUCTION ? L" (an illegal instruction)"
                                                                           : L"";
    return std::wstring(L"exception ") + code + kind + L" in " + where;
}

}  // namespace host
