// The failure matrix: every platform call that a full post-processing pass makes,
// failed in turn at each of its call sites, once with a typical error code and once
// with an error of 0. The list of functions comes from the DLL's own import table,
// so a platform call added to the library is failed here without a new test.
//
// An error of 0 is a last-error of 0 for the functions that report failure by
// their result (SetupAPI, the spooler, GlobalAlloc, GlobalFree). A registry
// function returns its status: "failing" it with 0 makes it answer success
// without doing anything (no key, no data), an answer the pass must survive too.
// VELDRIAN_MATRIX_SITES=1 prints the call sites and trace of the undisturbed pass.
#include "harness/harness.h"
#include "harness/iat.h"
#include "harness/platform.h"

#include <gtest/gtest.h>

#include <winspool.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

namespace {

using harness::Narrow;

// Imports that report no failure, so there is nothing to fail: text helpers, the
// trace channel, the last-error read itself, and what the start-up calls at load.
const std::set<std::string> kNoFailureMode = {
    "lstrlenW", "lstrcmpiW", "wsprintfW", "wvsprintfW", "OutputDebugStringW", "GetLastError",
    "DisableThreadLibraryCalls", "QueryPerformanceCounter", "GetCurrentProcessId", "GetCurrentThreadId",
    "GetCurrentProcess", "TerminateProcess",
};

// The code each function fails with in the first run of its cases: what the
// platform typically answers when that call goes wrong.
const std::map<std::string, DWORD> kTypicalError = {
    {"SetupDiGetSelectedDriverW", ERROR_NO_DRIVER_SELECTED},
    {"SetupDiGetDeviceInstanceIdW", ERROR_NO_SUCH_DEVINST},
    {"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY},
    {"GlobalFree", ERROR_INVALID_HANDLE},
    {"RegOpenKeyExW", ERROR_ACCESS_DENIED},
    {"RegQueryValueExW", ERROR_ACCESS_DENIED},
    {"RegEnumKeyExW", ERROR_MORE_DATA},
    {"RegSetValueExW", ERROR_ACCESS_DENIED},
    {"RegCloseKey", ERROR_INVALID_HANDLE},
    {"EnumPrintersW", RPC_S_SERVER_UNAVAILABLE},  // the spooler is not running
};
constexpr DWORD kFallbackError = ERROR_GEN_FAILURE;

// ---- The call log: which call site each call of the pass is ----
//
// A layer above the interposer records every call that can fail, with what tells
// its site apart (the key path, the value name, a null buffer for a size probe),
// so that the expected failure line of call k of a function can be told.

enum class Site {
    Driver, IdProbe, IdBlock, IdFetch, DeviceKey, PortProbe, PortBlock, PortFetch, PortCopy,
    EnumProbe, EnumBlock, EnumFetch, Users, EnumKey, Devices, Entry, Windows, SetDevice, Close, Free, Other,
};

struct Call {
    std::string function;
    int index = 0;  // among the calls of the same function
    Site site = Site::Other;
    std::wstring profile;  // for the per-profile sites
    std::wstring path;     // the key path opened
    DWORD number = 0;      // bytes allocated, capacity asked, subkey index
    std::wstring name;     // the subkey name enumerated
};

class CallLog;
CallLog *g_log = nullptr;

class CallLog {
public:
    explicit CallLog(HMODULE module)
    {
        g_log = this;
        auto add = [&](const char *dll, const char *function, void *hook) {
            redirects_.emplace_back(function, std::make_unique<harness::ScopedRedirect>(module, dll, function, hook));
        };
        add("SETUPAPI.dll", "SetupDiGetSelectedDriverW", reinterpret_cast<void *>(&SelectedDriver));
        add("SETUPAPI.dll", "SetupDiGetDeviceInstanceIdW", reinterpret_cast<void *>(&InstanceId));
        add("KERNEL32.dll", "GlobalAlloc", reinterpret_cast<void *>(&Alloc));
        add("KERNEL32.dll", "GlobalFree", reinterpret_cast<void *>(&Free));
        add("ADVAPI32.dll", "RegOpenKeyExW", reinterpret_cast<void *>(&OpenKey));
        add("ADVAPI32.dll", "RegQueryValueExW", reinterpret_cast<void *>(&QueryValue));
        add("ADVAPI32.dll", "RegEnumKeyExW", reinterpret_cast<void *>(&EnumKey));
        add("ADVAPI32.dll", "RegSetValueExW", reinterpret_cast<void *>(&SetValue));
        add("ADVAPI32.dll", "RegCloseKey", reinterpret_cast<void *>(&CloseKey));
        add("WINSPOOL.DRV", "EnumPrintersW", reinterpret_cast<void *>(&EnumPrinters));
    }
    ~CallLog()
    {
        while (!redirects_.empty()) {
            redirects_.pop_back();
        }
        g_log = nullptr;
    }

    const std::vector<Call> &calls() const { return calls_; }
    // RegCloseKey calls made with a null key: what a library does that closes a
    // key a platform answer of "success" never filled in. Harmless, not a leak.
    int nullKeyCloses() const { return nullKeyCloses_; }

private:
    template <typename F>
    static F Next(const char *function)
    {
        for (const auto &[name, redirect] : g_log->redirects_) {
            if (name == function) {
                return redirect->template original<F>();
            }
        }
        return nullptr;
    }

    Call &Add(const char *function, Site site)
    {
        Call call;
        call.function = function;
        call.index = counts_[function]++;
        call.site = site;
        calls_.push_back(call);
        return calls_.back();
    }
    Site Previous() const { return calls_.empty() ? Site::Other : calls_.back().site; }

    static BOOL WINAPI SelectedDriver(HDEVINFO set, PSP_DEVINFO_DATA device, PSP_DRVINFO_DATA_W driver)
    {
        g_log->Add("SetupDiGetSelectedDriverW", Site::Driver);
        return Next<decltype(&SetupDiGetSelectedDriverW)>("SetupDiGetSelectedDriverW")(set, device, driver);
    }
    static BOOL WINAPI InstanceId(HDEVINFO set, PSP_DEVINFO_DATA device, PWSTR id, DWORD capacity, PDWORD required)
    {
        Call &call = g_log->Add("SetupDiGetDeviceInstanceIdW",
                                id == nullptr && capacity == 0 ? Site::IdProbe : Site::IdFetch);
        call.number = capacity;
        return Next<decltype(&SetupDiGetDeviceInstanceIdW)>("SetupDiGetDeviceInstanceIdW")(set, device, id,
                                                                                        capacity, required);
    }
    static HGLOBAL WINAPI Alloc(UINT flags, SIZE_T bytes)
    {
        static const std::map<Site, Site> kAfter = {{Site::IdProbe, Site::IdBlock},
                                                    {Site::PortProbe, Site::PortBlock},
                                                    {Site::PortFetch, Site::PortCopy},
                                                    {Site::EnumProbe, Site::EnumBlock}};
        auto found = kAfter.find(g_log->Previous());
        Call &call = g_log->Add("GlobalAlloc", found == kAfter.end() ? Site::Other : found->second);
        call.number = static_cast<DWORD>(bytes);
        HGLOBAL block = Next<decltype(&GlobalAlloc)>("GlobalAlloc")(flags, bytes);
        if (block != nullptr) {
            g_log->blocks_[block] = call.site;
        }
        return block;
    }
    static HGLOBAL WINAPI Free(HGLOBAL block)
    {
        Call &call = g_log->Add("GlobalFree", Site::Free);
        auto found = g_log->blocks_.find(block);
        call.number = found == g_log->blocks_.end() ? 0 : static_cast<DWORD>(found->second);
        return Next<decltype(&GlobalFree)>("GlobalFree")(block);
    }
    static LONG WINAPI OpenKey(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key)
    {
        const std::wstring text = path != nullptr ? path : L"";
        Site site = Site::Other;
        std::wstring profile;
        if (root == HKEY_LOCAL_MACHINE) {
            site = Site::DeviceKey;
        } else if (root == HKEY_USERS && path == nullptr) {
            site = Site::Users;
        } else if (root == HKEY_USERS) {
            profile = text.substr(0, text.find(L'\\'));
            const bool devices = text.size() >= 8 && text.compare(text.size() - 8, 8, L"\\Devices") == 0;
            site = devices ? Site::Devices : Site::Windows;
        }
        Call &call = g_log->Add("RegOpenKeyExW", site);
        call.profile = profile;
        call.path = text;
        const Call copy = call;
        const LONG result = Next<decltype(&RegOpenKeyExW)>("RegOpenKeyExW")(root, path, options, access, key);
        if (result == ERROR_SUCCESS && *key != nullptr) {
            g_log->keys_[*key] = copy;
        }
        return result;
    }
    static LONG WINAPI QueryValue(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
    {
        auto found = g_log->keys_.find(key);
        const Call opened = found == g_log->keys_.end() ? Call{} : found->second;
        Site site = Site::Other;
        if (opened.site == Site::DeviceKey) {
            site = data == nullptr && g_log->Previous() == Site::DeviceKey ? Site::PortProbe : Site::PortFetch;
        } else if (opened.site == Site::Devices) {
            site = Site::Entry;
        }
        g_log->Add("RegQueryValueExW", site).profile = opened.profile;
        return Next<decltype(&RegQueryValueExW)>("RegQueryValueExW")(key, name, reserved, type, data, size);
    }
    static LONG WINAPI EnumKey(HKEY key, DWORD index, LPWSTR name, LPDWORD capacity, LPDWORD reserved,
                               LPWSTR className, LPDWORD classCapacity, PFILETIME lastWrite)
    {
        const std::size_t at = g_log->calls_.size();
        g_log->Add("RegEnumKeyExW", Site::EnumKey).number = index;
        const LONG result = Next<decltype(&RegEnumKeyExW)>("RegEnumKeyExW")(key, index, name, capacity, reserved,
                                                                         className, classCapacity, lastWrite);
        if (result == ERROR_SUCCESS) {
            g_log->calls_[at].name.assign(name, *capacity);
        }
        return result;
    }
    static LONG WINAPI SetValue(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size)
    {
        auto found = g_log->keys_.find(key);
        g_log->Add("RegSetValueExW", Site::SetDevice).profile =
            found == g_log->keys_.end() ? std::wstring() : found->second.profile;
        return Next<decltype(&RegSetValueExW)>("RegSetValueExW")(key, name, reserved, type, data, size);
    }
    static LONG WINAPI CloseKey(HKEY key)
    {
        if (key == nullptr) {
            ++g_log->nullKeyCloses_;
        }
        g_log->Add("RegCloseKey", Site::Close);
        g_log->keys_.erase(key);
        return Next<decltype(&RegCloseKey)>("RegCloseKey")(key);
    }
    static BOOL WINAPI EnumPrinters(DWORD flags, LPWSTR server, DWORD level, LPBYTE buffer, DWORD bytes,
                                    LPDWORD needed, LPDWORD returned)
    {
        g_log->Add("EnumPrintersW", buffer == nullptr && g_log->Previous() != Site::EnumBlock ? Site::EnumProbe
                                                                                              : Site::EnumFetch)
            .number = bytes;
        return Next<decltype(&EnumPrintersW)>("EnumPrintersW")(flags, server, level, buffer, bytes, needed,
                                                             returned);
    }

    std::vector<std::pair<std::string, std::unique_ptr<harness::ScopedRedirect>>> redirects_;
    std::vector<Call> calls_;
    std::map<std::string, int> counts_;
    std::map<HKEY, Call> keys_;
    std::map<void *, Site> blocks_;
    int nullKeyCloses_ = 0;
};

// ---- What each case must end in ----

enum class Writes {
    All,         // every profile written as in the undisturbed pass
    None,        // the sequence stopped before the first write: nothing changes
    AllBut,      // the profile concerned is skipped, every other one as before
    Before,      // the walk ended: only the profiles listed before the failing index
    AllButMaybe, // as AllBut, but the profile concerned may get some Device text
};

struct Expectation {
    std::vector<std::wstring> lines;     // messages that must be among the traces
    std::vector<std::wstring> prefixes;  // messages that must start one of the traces
    bool sameTrace = false;              // the trace is that of the undisturbed pass
    Writes writes = Writes::All;
    std::wstring profile;
    DWORD enumIndex = 0;
    bool known = true;
};

// Everything about the undisturbed pass that the expected lines are built from.
struct Pass {
    std::wstring model, port, queue, instanceId;
    std::vector<Call> calls;
    std::vector<std::wstring> traces;
    harness::RegSnapshot before, after;
};

const Call *Find(const std::vector<Call> &calls, Site site)
{
    for (const Call &call : calls) {
        if (call.site == site) {
            return &call;
        }
    }
    return nullptr;
}

std::wstring Code(DWORD code)
{
    return std::to_wstring(static_cast<int>(code));
}

// The full printer name the pass forms for a profile: the queue, a comma, its entry.
std::wstring FullName(const Pass &pass, const std::wstring &profile)
{
    return pass.queue + L"," +
           harness::StringOf(harness::GetValue(HKEY_USERS, profile + L"\\" + harness::kDevicesPath, pass.queue));
}

Expectation Expect(const Pass &pass, const Call &call, DWORD error)
{
    Expectation expect;
    expect.profile = call.profile;
    const std::wstring e = Code(error);
    const bool zero = error == 0;
    const std::wstring notFoundNullPort =
        L"VELDRIAN : Unable to found Printer : Model Name = \"" + pass.model + L"\" Port Name = \"(null)\"\n";
    auto line = [&](const std::wstring &text) { expect.lines.push_back(L"VELDRIAN : " + text); };
    auto prefix = [&](const std::wstring &text) { expect.prefixes.push_back(L"VELDRIAN : " + text); };
    expect.writes = Writes::None;

    switch (call.site) {
    case Site::Driver:
        line(L"GetPrinterModelName() : SetupDiGetSelectedDriver() failed. GetLastError() = " + e + L"\n");
        line(L"GetPrinterModelName() failed. GetLastError() = " + e + L"\n");
        break;
    case Site::IdProbe:
        if (zero) {
            // An unanswered probe leaves the size at 0: the fetch then has no room.
            line(L"SetupDiGetDeviceInstanceId(0) failed. GetLastError() = 122\n");
        } else {
            line(L"SetupDiGetDeviceInstanceId(0) failed. GetLastError() = " + e + L"\n");
        }
        break;
    case Site::IdBlock: {
        const Call *fetch = Find(pass.calls, Site::IdFetch);
        line(L"GlobalAlloc(GMEM_FIXED, " + std::to_wstring(call.number) + L") failed. GetLastError() = " + e + L"\n");
        if (zero && fetch != nullptr) {
            prefix(L"SetupDiGetDeviceInstanceId(" + std::to_wstring(fetch->number) + L") failed. GetLastError() = ");
        }
        break;
    }
    case Site::IdFetch:
        line(L"SetupDiGetDeviceInstanceId(" + std::to_wstring(call.number) + L") failed. GetLastError() = " + e + L"\n");
        if (zero) {
            expect.lines.push_back(notFoundNullPort);
        }
        break;
    case Site::DeviceKey:
        if (zero) {
            line(L"RegQueryValueEx(0) failed. GetLastError() = 6\n");
        } else {
            line(L"RegOpenKeyEx(" + call.path + L") failed. GetLastError() = " + e + L"\n");
        }
        break;
    case Site::PortProbe:
        if (zero) {
            line(L"PortName = (null)\n");
            expect.lines.push_back(notFoundNullPort);
        } else {
            line(L"RegQueryValueEx(0) failed. GetLastError() = " + e + L"\n");
        }
        break;
    case Site::PortFetch:
        if (zero) {
            // The block holds what the allocator left there: some port no queue has.
            prefix(L"Unable to found Printer : Model Name = \"" + pass.model + L"\" Port Name = \"");
        } else {
            line(L"RegQueryValueEx(1) failed. GetLastError() = " + e + L"\n");
        }
        break;
    case Site::PortBlock:
    case Site::PortCopy:
        line(L"GlobalAlloc(GMEM_FIXED, " + std::to_wstring(call.number) + L") failed. GetLastError() = " + e + L"\n");
        if (zero) {
            line(L"PortName = (null)\n");
            expect.lines.push_back(notFoundNullPort);
        }
        break;
    case Site::EnumProbe:
        if (zero) {
            line(L"EnumPrinters(0) succeed1. dwReturned = 0\n");
            line(L"EnumPrinters(1) failed. GetLastError() = 122\n");
        } else {
            line(L"EnumPrinters(0) failed. GetLastError() = " + e + L"\n");
        }
        break;
    case Site::EnumBlock:
        line(L"GlobalAlloc(GMEM_FIXED, " + std::to_wstring(call.number) + L") failed. GetLastError() = " + e + L"\n");
        if (zero) {
            prefix(L"EnumPrinters(1) failed. GetLastError() = ");
        }
        break;
    case Site::EnumFetch:
        line(L"EnumPrinters(1) failed. GetLastError() = " + e + L"\n");
        if (zero) {
            line(L"Unable to found Printer : Model Name = \"" + pass.model + L"\" Port Name = \"" + pass.port + L"\"\n");
        }
        break;
    case Site::Users:
        line(zero ? L"RegEnumKeyEx(0) : failed. GetLastError() = 6\n"
                  : L"RegOpenKeyEx(HKEY_USERS) : failed. GetLastError() = " + e + L"\n");
        break;
    case Site::EnumKey:
        if (!zero) {
            line(L"RegEnumKeyEx(" + std::to_wstring(call.number) + L") : failed. GetLastError() = " + e + L"\n");
            expect.writes = Writes::Before;
            expect.enumIndex = call.number;
        } else if (call.name.empty()) {
            // The last step: the walk takes the previous name once more and ends a step later.
            line(L"RegEnumKeyEx(" + std::to_wstring(call.number + 1) + L") : failed. GetLastError() = 259\n");
            expect.writes = Writes::All;
        } else {
            // That profile's name never comes: the buffer holds what was there before.
            expect.writes = call.number == 0 ? Writes::AllButMaybe : Writes::AllBut;
            expect.profile = call.name;
        }
        break;
    case Site::Devices:
        if (zero) {
            line(L"GetFullPrinterName(" + pass.queue + L") : RegQueryValueEx() : failed. GetLastError() = 6");
        } else {
            line(L"GetFullPrinterName(" + pass.queue + L") : RegOpenKeyEx(" + call.path + L") : failed. GetLastError() = " +
                 e + L"\n");
        }
        expect.writes = Writes::AllBut;
        break;
    case Site::Entry:
        if (zero) {
            // The buffer holds whatever the walk left in it: the platform said nothing.
            expect.writes = Writes::AllButMaybe;
        } else {
            line(L"GetFullPrinterName(" + pass.queue + L") : RegQueryValueEx() : failed. GetLastError() = " + e);
            expect.writes = Writes::AllBut;
        }
        break;
    case Site::Windows:
        line(L"SetDefaultPrinterInRegistry(" + FullName(pass, call.profile) + L") : " +
             (zero ? L"RegSetValueEx() : failed. GetLastError() = 6" : L"RegOpenKeyEx() : failed. GetLastError() = " + e));
        expect.writes = Writes::AllBut;
        break;
    case Site::SetDevice:
        if (zero) {
            expect.sameTrace = true;
        } else {
            line(L"SetDefaultPrinterInRegistry(" + FullName(pass, call.profile) +
                 L") : RegSetValueEx() : failed. GetLastError() = " + e);
        }
        expect.writes = Writes::AllBut;
        break;
    case Site::Close:
    case Site::Free:
        // Nothing can be done about a failed release; the pass goes on unchanged.
        expect.sameTrace = true;
        expect.writes = Writes::All;
        break;
    case Site::Other:
        expect.known = false;
        break;
    }
    return expect;
}

// The profile of a key path under HKEY_USERS ("" for HKEY_USERS itself).
std::wstring ProfileOf(const std::wstring &path)
{
    return path.substr(0, path.find(L'\\'));
}

// The snapshot the case must end in, from the undisturbed pass's writes.
harness::RegSnapshot ExpectedAfter(const Pass &pass, const Expectation &expect, const std::vector<std::wstring> &order)
{
    if (expect.writes == Writes::All) {
        return pass.after;
    }
    harness::RegSnapshot expected = pass.before;
    if (expect.writes == Writes::None) {
        return expected;
    }
    std::set<std::wstring> written;
    for (std::size_t index = 0; index < order.size(); ++index) {
        const bool keep = expect.writes == Writes::Before ? index < expect.enumIndex : order[index] != expect.profile;
        if (keep) {
            written.insert(order[index]);
        }
    }
    for (const auto &[path, values] : pass.after) {
        if (written.count(ProfileOf(path))) {
            expected[path] = values;
        }
    }
    return expected;
}

// Puts every value below HKEY_USERS back as `saved` holds it.
void Restore(const harness::RegSnapshot &saved)
{
    const harness::RegSnapshot now = harness::Snapshot(HKEY_USERS);
    for (const auto &[path, values] : now) {
        auto old = saved.find(path);
        if (old == saved.end()) {
            continue;  // a key the pass made: reported by the case, removed with its profile
        }
        for (const auto &[name, value] : values) {
            auto oldValue = old->second.find(name);
            if (oldValue == old->second.end()) {
                harness::DeleteValue(HKEY_USERS, path, name);
            } else if (!(oldValue->second == value)) {
                harness::SetValue(HKEY_USERS, path, name, oldValue->second.type, oldValue->second.data.data(),
                                static_cast<DWORD>(oldValue->second.data.size()));
            }
        }
    }
}

std::string Join(const std::vector<std::wstring> &lines)
{
    std::string text;
    for (const std::wstring &line : lines) {
        text += "  " + Narrow(line) + "\n";
    }
    return text;
}

// ---- The setup: a real installed device, its queue, and profiles that list it ----

const wchar_t kModel[] = L"Matrix Model \u00C9T\u00C9";
const wchar_t kPort[] = L"USB077";
const wchar_t kQueue[] = L"Matrix Queue";
const wchar_t kEntry[] = L"winspool,USB077";
const wchar_t kOldDevice[] = L"Old Queue,winspool,LPT1:";

class FaultMatrix : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        ASSERT_NE(harness::Veldrian(), nullptr);
        device_ = std::make_unique<harness::ScopedDevice>(
            harness::PrinterInf({{kModel, L"VELDRIAN\\FAULTMATRIX", kPort}}), L"VELDRIAN\\FAULTMATRIX", true);
        ASSERT_TRUE(device_->ok()) << device_->failure();
        if (GetParam()) {
            // The port stored without a terminating zero: the library ends it in a
            // block of its own, one more allocation site.
            const std::wstring text = kPort;
            ASSERT_TRUE(harness::SetValue(HKEY_LOCAL_MACHINE, device_->parametersPath(), L"PortName", REG_BINARY,
                                        text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t))));
        }
        queue_ = std::make_unique<harness::ScopedPrinter>(kQueue, kModel, kPort);
        ASSERT_TRUE(queue_->ok()) << "AddPrinter failed: " << queue_->error();
        for (const wchar_t *name : {L"VELDRIAN-MATRIX-A", L"VELDRIAN-MATRIX-B"}) {
            profiles_.push_back(std::make_unique<harness::ScopedProfile>(name, kQueue, kEntry));
            ASSERT_TRUE(harness::SetString(HKEY_USERS, profiles_.back()->windowsPath(), L"Device", kOldDevice));
        }
    }
    void TearDown() override
    {
        profiles_.clear();
        queue_.reset();
        device_.reset();
    }

    DWORD Run() { return harness::CallEntry(DIF_INSTALLDEVICE, device_->set(), device_->data(), TRUE); }

    std::unique_ptr<harness::ScopedDevice> device_;
    std::unique_ptr<harness::ScopedPrinter> queue_;
    std::vector<std::unique_ptr<harness::ScopedProfile>> profiles_;
};

TEST_P(FaultMatrix, EveryPlatformCallFailsInTurnAtEachOfItsSites)
{
    // Which imports can fail, from the DLL itself.
    const std::vector<std::string> covered = harness::Interposer::covered();
    std::vector<std::string> failing;
    harness::ForEachImport(harness::Veldrian(), [&](const char *dll, const char *function) {
        if (kNoFailureMode.count(function)) {
            return;
        }
        if (std::find(covered.begin(), covered.end(), function) == covered.end()) {
            ADD_FAILURE() << dll << "!" << function
                          << " can fail but the harness cannot make it fail: add it to harness::Interposer";
            return;
        }
        failing.push_back(function);
    });
    ASSERT_FALSE(failing.empty());

    // The undisturbed pass: the sites, the trace and the writes every case is measured against.
    Pass pass;
    pass.model = kModel;
    pass.port = kPort;
    pass.queue = kQueue;
    pass.instanceId = device_->instanceId();
    pass.before = harness::Snapshot(HKEY_USERS);
    std::vector<std::wstring> order;  // the profiles in the order the walk lists them
    {
        harness::Interposer interposer;
        interposer.useGuardPages(true);
        CallLog log(harness::Veldrian());
        ASSERT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
        pass.calls = log.calls();
        pass.traces = interposer.traces();
        ASSERT_EQ(interposer.outstandingBlocks(), 0);
        ASSERT_EQ(interposer.openKeys(), 0);
        ASSERT_EQ(log.nullKeyCloses(), 0);
    }
    pass.after = harness::Snapshot(HKEY_USERS);
    for (const Call &call : pass.calls) {
        if (call.site == Site::EnumKey && !call.name.empty()) {
            order.push_back(call.name);
        }
    }
    // The setup is what the matrix needs: the queue found, both profiles written.
    const std::wstring written = L"VELDRIAN : " + pass.queue + L"," + kEntry + L"\n";
    ASSERT_TRUE(std::find(pass.traces.begin(), pass.traces.end(), written) != pass.traces.end()) << Join(pass.traces);
    for (const auto &profile : profiles_) {
        ASSERT_EQ(harness::StringOf(profile->device()), pass.queue + L"," + kEntry) << Join(pass.traces);
    }
    ASSERT_EQ(harness::Diff(pass.before, pass.after).size(), profiles_.size()) << Join(harness::Diff(pass.before, pass.after));
    Restore(pass.before);

    if (std::getenv("VELDRIAN_MATRIX_SITES") != nullptr) {
        for (const Call &call : pass.calls) {
            std::cout << call.function << "#" << call.index << " site " << static_cast<int>(call.site) << " "
                      << Narrow(call.profile) << " " << Narrow(call.path) << " " << call.number << " "
                      << Narrow(call.name) << "\n";
        }
        std::cout << Join(pass.traces);
    }
    std::map<std::string, int> perFunction;
    for (const Call &call : pass.calls) {
        ++perFunction[call.function];
    }
    int cases = 0;
    int unknownSites = 0;
    std::ostringstream summary;
    for (const std::string &function : failing) {
        const auto typical = kTypicalError.find(function);
        const DWORD typicalError = typical == kTypicalError.end() ? kFallbackError : typical->second;
        summary << " " << function << " x" << perFunction[function];
        for (const Call &site : pass.calls) {
            if (site.function != function) {
                continue;
            }
            for (const DWORD error : {typicalError, static_cast<DWORD>(0)}) {
                SCOPED_TRACE(function + " call " + std::to_string(site.index) + " fails with " + std::to_string(error));
                ++cases;
                const Expectation expect = Expect(pass, site, error);
                if (!expect.known) {
                    ++unknownSites;  // a call the log cannot place: the common checks still apply
                }

                std::vector<std::wstring> traces;
                {
                    harness::Interposer interposer;
                    interposer.useGuardPages(true);
                    CallLog log(harness::Veldrian());
                    interposer.inject({function, site.index, error});
                    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
                    traces = interposer.traces();
                    EXPECT_EQ(interposer.outstandingBlocks(), 0) << "a block outlived the call";
                    EXPECT_EQ(interposer.openKeys() + log.nullKeyCloses(), 0) << "a key outlived the call";
                    EXPECT_GT(interposer.calls(function), site.index) << "the failing call was made";
                }
                for (const std::wstring &text : expect.lines) {
                    EXPECT_TRUE(std::find(traces.begin(), traces.end(), text) != traces.end())
                        << "missing trace: " << Narrow(text) << "\ntrace:\n" << Join(traces);
                }
                for (const std::wstring &text : expect.prefixes) {
                    EXPECT_TRUE(std::any_of(traces.begin(), traces.end(),
                                            [&](const std::wstring &t) { return t.rfind(text, 0) == 0; }))
                        << "missing trace: " << Narrow(text) << "...\ntrace:\n" << Join(traces);
                }
                if (expect.sameTrace) {
                    EXPECT_EQ(traces, pass.traces) << Join(traces);
                }

                const harness::RegSnapshot after = harness::Snapshot(HKEY_USERS);
                if (expect.writes == Writes::AllButMaybe) {
                    // Every other profile as in the undisturbed pass; the one concerned
                    // keeps its value or gets a Device text, and nothing else changes.
                    Expectation strict = expect;
                    strict.writes = Writes::AllBut;
                    harness::RegSnapshot expected = ExpectedAfter(pass, strict, order);
                    for (const auto &[path, values] : after) {
                        if (ProfileOf(path) == expect.profile && values.count(L"Device") &&
                            values.at(L"Device").type == REG_SZ) {
                            expected[path][L"Device"] = values.at(L"Device");
                        }
                    }
                    EXPECT_EQ(harness::Diff(expected, after), std::vector<std::wstring>{});
                } else if (expect.known) {
                    const std::vector<std::wstring> diff = harness::Diff(ExpectedAfter(pass, expect, order), after);
                    EXPECT_TRUE(diff.empty()) << "registry differs from the expected outcome:\n" << Join(diff)
                                              << "trace:\n" << Join(traces);
                } else {
                    // Only Device values may have changed.
                    for (const std::wstring &line : harness::Diff(pass.before, after)) {
                        EXPECT_NE(line.find(L"\\Windows : Device"), std::wstring::npos) << Narrow(line);
                    }
                }
                Restore(pass.before);
            }
        }
    }
    std::cout << "[ matrix   ] " << cases << " cases over " << failing.size() << " functions:" << summary.str()
              << std::endl;
    if (unknownSites != 0) {
        std::cout << "[ matrix   ] " << unknownSites << " cases at sites without a known failure line" << std::endl;
    }
    EXPECT_GT(cases, 60);
}

INSTANTIATE_TEST_SUITE_P(Port, FaultMatrix, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &info) {
                             return info.param ? std::string("StoredWithoutTerminator") : std::string("AsInstalled");
                         });

}  // namespace
