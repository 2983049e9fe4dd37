// The failure matrix: every platform call that a full post-processing pass makes,
// failed in turn at each of its call sites, once with a typical error code and once
// with an error of 0. The list of functions comes from the DLL's own import table,
// so a platform call added to the library is failed here without a new test. What
// each failure traces is stated by the per-area tests; the matrix holds what must be
// true of every one: the entry answers NO_ERROR, no block or key outlives the call, a
// failure with a code is traced with it, nothing is written but terminated Device
// texts that the undisturbed pass writes too, and nothing after the failing step.
//
// An error of 0 is a last-error of 0 for the functions that report failure by
// their result (SetupAPI, the spooler, GlobalAlloc, GlobalFree). A registry
// function returns its status: "failing" it with 0 makes it answer success
// without doing anything (no key, no data), an answer the pass must survive too.
#include "harness/harness.h"
#include "harness/iat.h"
#include "harness/platform.h"

#include <gtest/gtest.h>

#include <winspool.h>

#include <algorithm>
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
    "lstrlenW",
    "lstrcmpiW",
    "wsprintfW",
    "wvsprintfW",
    "OutputDebugStringW",
    "GetLastError",
    "DisableThreadLibraryCalls",
    "QueryPerformanceCounter",
    "GetCurrentProcessId",
    "GetCurrentThreadId",
    "GetCurrentProcess",
    "TerminateProcess",
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

// Releases: nothing can be done about one that fails, so the pass goes on unchanged.
const std::set<std::string> kReleases = {"GlobalFree", "RegCloseKey"};

// One Device write the DLL handed to the registry: the key path as it opened it
// below HKEY_USERS, and the call.
struct Write {
    std::wstring path;
    harness::Call call;
};

// The writes of a pass, from its call log, but the one at `skip` (the failed call).
std::vector<Write> WritesOf(const std::vector<harness::Call> &log, std::size_t skip = SIZE_MAX)
{
    std::vector<Write> writes;
    std::map<HKEY, std::wstring> opened;
    for (std::size_t at = 0; at < log.size(); ++at) {
        const harness::Call &call = log[at];
        if (call.function == "RegOpenKeyExW" && call.opened != nullptr) {
            opened[call.opened] = call.name;
        } else if (call.function == "RegSetValueExW" && at != skip && call.key != nullptr) {
            // A write on no key (one a platform's "success" never gave) writes nothing.
            writes.push_back({opened.contains(call.key) ? opened[call.key] : L"(a key not opened)", call});
        }
    }
    return writes;
}

// The place in the log of the `index`-th call of `function`.
std::size_t PlaceOf(const std::vector<harness::Call> &log, const std::string &function, int index)
{
    for (std::size_t at = 0; at < log.size(); ++at) {
        if (log[at].function == function && index-- == 0) {
            return at;
        }
    }
    return log.size();
}

// The key paths that a failure at `place` of the undisturbed log must leave unwritten:
// its profile's, or every later one when it is met before the walk or ends the walk.
std::set<std::wstring> UnwrittenAfter(const std::vector<harness::Call> &log, std::size_t place)
{
    bool inWalk = false;
    for (std::size_t at = 0; at < place; ++at) {
        inWalk = inWalk || log[at].function == "RegEnumKeyExW";
    }
    const bool endsWalk = !inWalk || log[place].function == "RegEnumKeyExW";
    std::set<std::wstring> paths;
    std::map<HKEY, std::wstring> opened;
    for (std::size_t at = 0; at < log.size(); ++at) {
        const harness::Call &call = log[at];
        if (call.function == "RegOpenKeyExW" && call.opened != nullptr) {
            opened[call.opened] = call.name;
        }
        if (at <= place) {
            continue;
        }
        if (!endsWalk && call.function == "RegEnumKeyExW") {
            break;
        }
        if (call.function == "RegSetValueExW") {
            paths.insert(opened[call.key]);
        }
    }
    return paths;
}

// A REG_SZ handed over with exactly one terminator, at its end.
bool Terminated(const std::vector<BYTE> &data)
{
    if (data.size() < sizeof(wchar_t) || data.size() % sizeof(wchar_t) != 0) {
        return false;
    }
    const auto *units = reinterpret_cast<const wchar_t *>(data.data());
    const std::size_t count = data.size() / sizeof(wchar_t);
    return std::find(units, units + count, L'\0') == units + count - 1;
}

std::size_t Containing(const std::vector<std::wstring> &traces, const std::wstring &text)
{
    return static_cast<std::size_t>(
        std::count_if(traces.begin(), traces.end(),
                      [&text](const std::wstring &line) { return line.find(text) != std::wstring::npos; }));
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
            ASSERT_TRUE(harness::SetValue(HKEY_LOCAL_MACHINE, device_->parametersPath(), L"PortName",
                                          REG_BINARY, text.data(),
                                          static_cast<DWORD>(text.size() * sizeof(wchar_t))));
        }
        queue_ = std::make_unique<harness::ScopedPrinter>(kQueue, kModel, kPort);
        ASSERT_TRUE(queue_->ok()) << "AddPrinter failed: " << queue_->error();
        for (const wchar_t *name : {L"VELDRIAN-MATRIX-A", L"VELDRIAN-MATRIX-B"}) {
            profiles_.push_back(std::make_unique<harness::ScopedProfile>(name, kQueue, kEntry));
            ASSERT_TRUE(
                harness::SetString(HKEY_USERS, profiles_.back()->windowsPath(), L"Device", kOldDevice));
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
        if (kNoFailureMode.contains(function)) {
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

    // The undisturbed pass: the calls, the trace and the writes every case is measured against.
    const harness::RegSnapshot before = harness::Snapshot(HKEY_USERS);
    std::vector<harness::Call> passLog;
    std::vector<std::wstring> passTraces;
    {
        harness::Interposer interposer;
        interposer.useGuardPages(true);
        ASSERT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
        passLog = interposer.log();
        passTraces = interposer.traces();
        ASSERT_EQ(interposer.outstandingBlocks(), 0);
        ASSERT_EQ(interposer.openKeys(), 0);
    }
    const std::vector<Write> passWrites = WritesOf(passLog);
    // The setup is what the matrix needs: the queue found, both profiles written.
    for (const auto &profile : profiles_) {
        ASSERT_EQ(harness::StringOf(profile->device()), std::wstring(kQueue) + L"," + kEntry)
            << Join(passTraces);
    }
    ASSERT_EQ(harness::Diff(before, harness::Snapshot(HKEY_USERS)).size(), profiles_.size());
    Restore(before);

    int cases = 0;
    std::ostringstream summary;
    for (const std::string &function : failing) {
        const auto typical = kTypicalError.find(function);
        const DWORD typicalError = typical == kTypicalError.end() ? kFallbackError : typical->second;
        const int sites =
            static_cast<int>(std::count_if(passLog.begin(), passLog.end(), [&](const harness::Call &call) {
                return call.function == function;
            }));
        summary << " " << function << " x" << sites;
        for (int site = 0; site < sites; ++site) {
            const std::size_t place = PlaceOf(passLog, function, site);
            for (const DWORD error : {typicalError, static_cast<DWORD>(0)}) {
                SCOPED_TRACE(function + " call " + std::to_string(site) + " fails with " +
                             std::to_string(error));
                ++cases;
                std::vector<harness::Call> log;
                std::vector<std::wstring> traces;
                {
                    harness::Interposer interposer;
                    interposer.useGuardPages(true);
                    interposer.inject({function, site, error});
                    EXPECT_EQ(Run(), static_cast<DWORD>(NO_ERROR));
                    EXPECT_EQ(interposer.outstandingBlocks(), 0) << "a block outlived the call";
                    EXPECT_EQ(interposer.openKeys(), 0) << "a key outlived the call";
                    EXPECT_GT(interposer.calls(function), site) << "the failing call was made";
                    log = interposer.log();
                    traces = interposer.traces();
                }
                const std::vector<Write> writes = WritesOf(log, PlaceOf(log, function, site));

                // Only terminated Device texts under a profile's Windows key, and nothing else.
                harness::RegSnapshot expected = before;
                for (const Write &write : writes) {
                    EXPECT_EQ(write.call.name, L"Device");
                    EXPECT_EQ(write.call.type, static_cast<DWORD>(REG_SZ));
                    EXPECT_TRUE(Terminated(write.call.data)) << Narrow(write.path);
                    const std::wstring windows = std::wstring(L"\\") + harness::kWindowsPath;
                    EXPECT_TRUE(
                        write.path.size() > windows.size() &&
                        write.path.compare(write.path.size() - windows.size(), windows.size(), windows) == 0)
                        << Narrow(write.path);
                    expected[write.path][L"Device"] = harness::RegValue{REG_SZ, write.call.data};
                }
                const std::vector<std::wstring> diff = harness::Diff(expected, harness::Snapshot(HKEY_USERS));
                EXPECT_TRUE(diff.empty()) << "the registry holds more than the writes:\n" << Join(diff);

                if (kReleases.contains(function)) {
                    EXPECT_EQ(traces, passTraces) << Join(traces);
                } else if (error != 0) {
                    // Traced with its code, and no write the undisturbed pass does not make.
                    const std::wstring code = L"GetLastError() = " + std::to_wstring(static_cast<int>(error));
                    EXPECT_GT(Containing(traces, code), Containing(passTraces, code)) << Join(traces);
                    std::size_t next = 0;
                    for (const Write &write : writes) {
                        while (next < passWrites.size() && !(passWrites[next].path == write.path &&
                                                             passWrites[next].call.data == write.call.data)) {
                            ++next;
                        }
                        EXPECT_LT(next, passWrites.size())
                            << "a write the pass does not make: " << Narrow(write.path);
                        ++next;
                    }
                    // Nothing is written after the failing step.
                    const std::set<std::wstring> unwritten = UnwrittenAfter(passLog, place);
                    for (const Write &write : writes) {
                        EXPECT_EQ(unwritten.count(write.path), 0u)
                            << "written after the failure: " << Narrow(write.path);
                    }
                }
                Restore(before);
            }
        }
    }
    std::cout << "[ matrix   ] " << cases << " cases over " << failing.size()
              << " functions:" << summary.str() << std::endl;
    EXPECT_GT(cases, 60);
}

INSTANTIATE_TEST_SUITE_P(Port, FaultMatrix, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &info) {
                             return info.param ? std::string("StoredWithoutTerminator")
                                               : std::string("AsInstalled");
                         });

}  // namespace
