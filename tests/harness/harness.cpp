#include "harness.h"

#include "iat.h"
#include "win32/paths.h"

#include <winspool.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <utility>

namespace harness {

namespace {

std::atomic<Interposer *> g_active{nullptr};

template <typename F>
F Original(const char *function)
{
    return reinterpret_cast<F>(Active()->original(function));
}

// Counts and logs the call; tells whether it is to fail, and with which error.
bool Enter(Call call, DWORD *error, std::size_t *at = nullptr)
{
    Interposer *interposer = Active();
    const std::string function = call.function;
    interposer->count(function.c_str());
    const std::size_t index = interposer->record(std::move(call));
    if (at != nullptr) {
        *at = index;
    }
    return interposer->shouldFail(function.c_str(), error);
}

bool Enter(const char *function, DWORD *error)
{
    Call call;
    call.function = function;
    return Enter(std::move(call), error);
}

// The test's answer to the call, or the real function's.
template <typename Function, typename... Args>
auto Pass(const char *function, Args... args)
{
    const auto real = Original<Function>(function);
    if (const auto reply = Active()->answerFor<Function>(function)) {
        return (*reply)(real, args...);
    }
    return real(args...);
}

// --- KERNEL32 ---
HGLOBAL WINAPI HookGlobalAlloc(UINT flags, SIZE_T bytes)
{
    Call call{"GlobalAlloc"};
    call.number = bytes;
    DWORD error = 0;
    if (Enter(std::move(call), &error)) {
        SetLastError(error);
        return nullptr;
    }
    void *block = Active()->allocate(flags, bytes, &error);
    if (block == nullptr) {
        SetLastError(error);
    }
    return block;
}

HGLOBAL WINAPI HookGlobalFree(HGLOBAL block)
{
    Call call{"GlobalFree"};
    call.buffer = block;
    DWORD error = 0;
    const bool fail = Enter(std::move(call), &error);
    const bool released = Active()->release(block);
    if (fail) {
        SetLastError(error);
        return block;
    }
    return released ? nullptr : block;
}

DWORD WINAPI HookGetLastError()
{
    // Read before the bookkeeping: a lock that another thread holds is waited for
    // through the platform, which may change this thread's last-error.
    const DWORD value = ::GetLastError();
    DWORD error = 0;
    Enter("GetLastError", &error);
    SetLastError(value);
    return value;
}

void WINAPI HookOutputDebugStringW(LPCWSTR text)
{
    DWORD error = 0;
    Enter("OutputDebugStringW", &error);
    Active()->recordTrace(text);
    if (Active()->passTraces()) {
        Original<void(WINAPI *)(LPCWSTR)>("OutputDebugStringW")(text);
    }
}

int WINAPI HookLstrlenW(LPCWSTR text)
{
    DWORD error = 0;
    Enter("lstrlenW", &error);
    return Original<int(WINAPI *)(LPCWSTR)>("lstrlenW")(text);
}

int WINAPI HookLstrcmpiW(LPCWSTR a, LPCWSTR b)
{
    DWORD error = 0;
    Enter("lstrcmpiW", &error);
    return Original<int(WINAPI *)(LPCWSTR, LPCWSTR)>("lstrcmpiW")(a, b);
}

// --- USER32 ---
// The formatter is variadic in the platform's own signature, which the interposer must match.
// NOLINTNEXTLINE(cert-dcl50-cpp)
int WINAPIV HookWsprintfW(LPWSTR buffer, LPCWSTR format, ...)
{
    DWORD error = 0;
    Enter("wsprintfW", &error);
    va_list arguments;
    va_start(arguments, format);
    const int written = wvsprintfW(buffer, format, arguments);
    va_end(arguments);
    return written;
}

int WINAPI HookWvsprintfW(LPWSTR buffer, LPCWSTR format, va_list arguments)
{
    DWORD error = 0;
    Enter("wvsprintfW", &error);
    return Original<int(WINAPI *)(LPWSTR, LPCWSTR, va_list)>("wvsprintfW")(buffer, format, arguments);
}

// --- ADVAPI32 ---
LONG WINAPI HookRegOpenKeyExW(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key)
{
    Call call{"RegOpenKeyExW", root, path != nullptr ? path : L"", access};
    std::size_t at = 0;
    DWORD error = 0;
    if (Enter(std::move(call), &error, &at)) {
        return static_cast<LONG>(error);
    }
    const LONG result = Pass<decltype(&RegOpenKeyExW)>("RegOpenKeyExW", root, path, options, access, key);
    if (result == ERROR_SUCCESS) {
        Active()->keyOpened(*key);
        Active()->amend(at, [key](Call &opened) { opened.opened = *key; });
    }
    return result;
}

LONG WINAPI HookRegCloseKey(HKEY key)
{
    Call call{"RegCloseKey", key};
    DWORD error = 0;
    const bool fail = Enter(std::move(call), &error);
    Active()->keyClosed(key);
    const LONG result = Original<decltype(&RegCloseKey)>("RegCloseKey")(key);
    return fail ? static_cast<LONG>(error) : result;
}

LONG WINAPI HookRegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                 LPDWORD size)
{
    Call call{"RegQueryValueExW", key, name != nullptr ? name : L""};
    call.buffer = data;
    call.number = size != nullptr ? *size : 0;
    DWORD error = 0;
    if (Enter(std::move(call), &error)) {
        return static_cast<LONG>(error);
    }
    return Pass<decltype(&RegQueryValueExW)>("RegQueryValueExW", key, name, reserved, type, data, size);
}

LONG WINAPI HookRegSetValueExW(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data,
                               DWORD size)
{
    Call call{"RegSetValueExW", key, name != nullptr ? name : L""};
    call.type = type;
    call.buffer = data;
    call.number = size;
    if (data != nullptr) {
        call.data.assign(data, data + size);
    }
    DWORD error = 0;
    if (Enter(std::move(call), &error)) {
        return static_cast<LONG>(error);
    }
    return Pass<decltype(&RegSetValueExW)>("RegSetValueExW", key, name, reserved, type, data, size);
}

LONG WINAPI HookRegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD capacity, LPDWORD reserved,
                              LPWSTR className, LPDWORD classCapacity, PFILETIME lastWrite)
{
    Call call{"RegEnumKeyExW", key};
    call.number = index;
    std::size_t at = 0;
    DWORD error = 0;
    if (Enter(std::move(call), &error, &at)) {
        return static_cast<LONG>(error);
    }
    const LONG result = Pass<decltype(&RegEnumKeyExW)>("RegEnumKeyExW", key, index, name, capacity, reserved,
                                                       className, classCapacity, lastWrite);
    if (result == ERROR_SUCCESS) {
        const std::wstring listed(name, *capacity);
        Active()->amend(at, [&listed](Call &enumerated) { enumerated.name = listed; });
    }
    return result;
}

// --- SETUPAPI ---
BOOL WINAPI HookSetupDiGetSelectedDriverW(HDEVINFO set, PSP_DEVINFO_DATA device, PSP_DRVINFO_DATA_W driver)
{
    DWORD error = 0;
    if (Enter("SetupDiGetSelectedDriverW", &error)) {
        SetLastError(error);
        return FALSE;
    }
    return Pass<decltype(&SetupDiGetSelectedDriverW)>("SetupDiGetSelectedDriverW", set, device, driver);
}

BOOL WINAPI HookSetupDiGetDeviceInstanceIdW(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD capacity,
                                            PDWORD required)
{
    Call call{"SetupDiGetDeviceInstanceIdW"};
    call.buffer = id;
    call.number = capacity;
    DWORD error = 0;
    if (Enter(std::move(call), &error)) {
        SetLastError(error);
        return FALSE;
    }
    return Pass<decltype(&SetupDiGetDeviceInstanceIdW)>("SetupDiGetDeviceInstanceIdW", set, device, id,
                                                        capacity, required);
}

// --- WINSPOOL ---
BOOL WINAPI HookEnumPrintersW(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD bytes,
                              LPDWORD needed, LPDWORD returned)
{
    Call call{"EnumPrintersW"};
    call.buffer = buffer;
    call.number = bytes;
    DWORD error = 0;
    if (Enter(std::move(call), &error)) {
        SetLastError(error);
        return FALSE;
    }
    return Pass<decltype(&EnumPrintersW)>("EnumPrintersW", flags, name, level, buffer, bytes, needed,
                                          returned);
}

struct Hook {
    const char *dll;
    const char *function;
    void *replacement;
};

const Hook kHooks[] = {
    {"KERNEL32.dll", "GlobalAlloc", reinterpret_cast<void *>(&HookGlobalAlloc)},
    {"KERNEL32.dll", "GlobalFree", reinterpret_cast<void *>(&HookGlobalFree)},
    {"KERNEL32.dll", "GetLastError", reinterpret_cast<void *>(&HookGetLastError)},
    {"KERNEL32.dll", "OutputDebugStringW", reinterpret_cast<void *>(&HookOutputDebugStringW)},
    {"KERNEL32.dll", "lstrlenW", reinterpret_cast<void *>(&HookLstrlenW)},
    {"KERNEL32.dll", "lstrcmpiW", reinterpret_cast<void *>(&HookLstrcmpiW)},
    {"USER32.dll", "wsprintfW", reinterpret_cast<void *>(&HookWsprintfW)},
    {"USER32.dll", "wvsprintfW", reinterpret_cast<void *>(&HookWvsprintfW)},
    {"ADVAPI32.dll", "RegOpenKeyExW", reinterpret_cast<void *>(&HookRegOpenKeyExW)},
    {"ADVAPI32.dll", "RegCloseKey", reinterpret_cast<void *>(&HookRegCloseKey)},
    {"ADVAPI32.dll", "RegQueryValueExW", reinterpret_cast<void *>(&HookRegQueryValueExW)},
    {"ADVAPI32.dll", "RegSetValueExW", reinterpret_cast<void *>(&HookRegSetValueExW)},
    {"ADVAPI32.dll", "RegEnumKeyExW", reinterpret_cast<void *>(&HookRegEnumKeyExW)},
    {"SETUPAPI.dll", "SetupDiGetSelectedDriverW", reinterpret_cast<void *>(&HookSetupDiGetSelectedDriverW)},
    {"SETUPAPI.dll", "SetupDiGetDeviceInstanceIdW",
     reinterpret_cast<void *>(&HookSetupDiGetDeviceInstanceIdW)},
    {"WINSPOOL.DRV", "EnumPrintersW", reinterpret_cast<void *>(&HookEnumPrintersW)},
};

std::string GetEnv(const char *name)
{
    char value[4096];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
    return (length > 0 && length < sizeof(value)) ? std::string(value, length) : std::string();
}

}  // namespace

std::string Narrow(const std::wstring &text)
{
    return win32::Utf8(text);
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::wstring VeldrianPath()
{
    const std::string path = GetEnv("VELDRIAN_DLL");
    return Wide(win32::WindowsPath(path.empty() ? std::string("VELDRIAN.dll") : path));
}

HMODULE Veldrian()
{
    static HMODULE module = LoadLibraryW(VeldrianPath().c_str());
    return module;
}

CoInstallerEntry VeldrianEntry()
{
    return reinterpret_cast<CoInstallerEntry>(GetProcAddress(Veldrian(), "CoInstallerE"));
}

DWORD CallEntry(DI_FUNCTION code, HDEVINFO set, PSP_DEVINFO_DATA device, BOOL postProcessing,
                DWORD installResult)
{
    COINSTALLER_CONTEXT_DATA context = {};
    context.PostProcessing = postProcessing;
    context.InstallResult = installResult;
    return VeldrianEntry()(code, set, device, &context);
}

Interposer *Active()
{
    return g_active.load();
}

Interposer::Interposer()
{
    HMODULE module = Veldrian();
    g_active.store(this);
    for (const Hook &hook : kHooks) {
        void *previous = RedirectImport(module, hook.dll, hook.function, hook.replacement);
        if (previous != nullptr) {
            originals_[hook.function] = previous;
        }
    }
}

Interposer::~Interposer()
{
    HMODULE module = Veldrian();
    for (const Hook &hook : kHooks) {
        auto found = originals_.find(hook.function);
        if (found != originals_.end()) {
            RedirectImport(module, hook.dll, hook.function, found->second);
        }
    }
    for (auto &[block, reservation] : guardBlocks_) {
        VirtualFree(reservation, 0, MEM_RELEASE);
    }
    g_active.store(nullptr);
}

std::vector<std::string> Interposer::covered()
{
    std::vector<std::string> names;
    for (const Hook &hook : kHooks) {
        names.emplace_back(hook.function);
    }
    return names;
}

void *Interposer::original(const char *function) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = originals_.find(function);
    return found == originals_.end() ? nullptr : found->second;
}

std::vector<std::wstring> Interposer::traces() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return traces_;
}

std::wstring Interposer::traceText() const
{
    std::wstring all;
    for (const std::wstring &line : traces()) {
        all += line;
    }
    return all;
}

void Interposer::clearTraces()
{
    std::lock_guard<std::mutex> lock(mutex_);
    traces_.clear();
}

void Interposer::inject(const Fault &fault)
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(fault);
}

void Interposer::clearFaults()
{
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

int Interposer::calls(const std::string &function) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = counts_.find(function);
    return found == counts_.end() ? 0 : found->second;
}

void Interposer::resetCounts()
{
    std::lock_guard<std::mutex> lock(mutex_);
    counts_.clear();
    sizes_.clear();
    log_.clear();
}

void Interposer::amend(std::size_t at, const std::function<void(Call &)> &change)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (at < log_.size()) {
        change(log_[at]);
    }
}

void Interposer::clearAnswers()
{
    std::lock_guard<std::mutex> lock(mutex_);
    answers_.clear();
}

std::vector<Call> Interposer::log(const std::string &function) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Call> logged;
    std::copy_if(log_.begin(), log_.end(), std::back_inserter(logged),
                 [&](const Call &call) { return function.empty() || call.function == function; });
    return logged;
}

std::size_t Interposer::record(Call call)
{
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(std::move(call));
    return log_.size() - 1;
}

std::vector<SIZE_T> Interposer::allocationSizes() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return sizes_;
}

int Interposer::outstandingBlocks() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    int total = 0;
    for (const auto &[block, held] : blocks_) {
        total += held;
    }
    return total;
}

int Interposer::openKeys() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    int total = 0;
    for (const auto &[key, held] : keys_) {
        total += held;
    }
    return total;
}

void Interposer::count(const char *function)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++counts_[function];
}

bool Interposer::shouldFail(const char *function, DWORD *error)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const int index = counts_[function] - 1;  // the call just counted
    const auto failing = std::find_if(faults_.begin(), faults_.end(), [&](const Fault &fault) {
        return fault.function == function && (fault.call < 0 || fault.call == index);
    });
    if (failing != faults_.end()) {
        *error = failing->error;
        return true;
    }
    return false;
}

void Interposer::recordTrace(const wchar_t *text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    traces_.emplace_back(text != nullptr ? text : L"");
}

void *Interposer::allocate(UINT flags, SIZE_T bytes, DWORD *error)
{
    void *block = nullptr;
    if (guardPages_ && flags == GMEM_FIXED && bytes != 0) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const SIZE_T page = info.dwPageSize;
        const SIZE_T pages = (bytes + page - 1) / page;
        auto *reservation = static_cast<BYTE *>(
            VirtualAlloc(nullptr, (pages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (reservation != nullptr) {
            DWORD oldProtect = 0;
            VirtualProtect(reservation + pages * page, page, PAGE_NOACCESS, &oldProtect);
            block = reservation + pages * page - bytes;
            std::lock_guard<std::mutex> lock(mutex_);
            guardBlocks_[block] = reservation;
        }
    } else {
        block = reinterpret_cast<decltype(&GlobalAlloc)>(original("GlobalAlloc"))(flags, bytes);
    }
    if (block == nullptr) {
        *error = GetLastError();
    } else {
        if ((flags & GMEM_ZEROINIT) == 0) {
            std::memset(block, kFill, bytes);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        ++blocks_[block];
        sizes_.push_back(bytes);
    }
    return block;
}

bool Interposer::release(void *block)
{
    void *reservation = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = blocks_.find(block);
        if (found != blocks_.end() && --found->second == 0) {
            blocks_.erase(found);
        }
        auto guard = guardBlocks_.find(block);
        if (guard != guardBlocks_.end()) {
            reservation = guard->second;
            guardBlocks_.erase(guard);
        }
    }
    if (reservation != nullptr) {
        return VirtualFree(reservation, 0, MEM_RELEASE) != FALSE;
    }
    return reinterpret_cast<decltype(&GlobalFree)>(original("GlobalFree"))(block) == nullptr;
}

void Interposer::keyOpened(HKEY key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++keys_[key];
}

void Interposer::keyClosed(HKEY key)
{
    if (key == nullptr) {
        return;  // no key: what a platform's "success" without a key leaves; nothing leaks
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = keys_.find(key);
    if (found != keys_.end() && --found->second == 0) {
        keys_.erase(found);
    } else if (found == keys_.end()) {
        --keys_[key];  // closed without having been opened through the DLL
    }
}

// --- DBWIN reader ---

DbwinReader::DbwinReader()
{
    // A reader of another program is joined, as the tests ran beside one before.
    std::wstring error;
    started_ = reader_.start(
                   win32::DbwinScope::Session,
                   [this](const win32::DbwinMessage &message) {
                       std::lock_guard<std::mutex> lock(mutex_);
                       messages_.push_back(message.text);
                   },
                   &error, true) == win32::DbwinOpen::Started;
}

std::vector<std::string> DbwinReader::drain()
{
    reader_.sync();
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

}  // namespace harness
