// Benchmark of the DIF_INSTALLDEVICE post-processing pass of the shipped
// VELDRIAN.dll against the platform's own cost.
//
// For each case it sets up, for real, Q print queues (one driver serves them all;
// one queue is the installed device's, the others are decoys of the same driver on
// other ports, listed before it) and P profiles under HKEY_USERS whose Devices key
// lists the queue and whose Windows key exists. The walk also visits Wine's own two
// profiles (.Default and the current user), set up the same way, so it visits P + 2.
//
// It then times full post-processing passes of the DLL (CoInstallerE with
// DIF_INSTALLDEVICE and PostProcessing set, its imports untouched) and, in the same
// run and interleaved with them, a baseline that makes the same platform calls in
// the same order directly, without tracing. The figure is library time / platform
// time. One extra pass per case runs under the import redirection to count the
// DLL's platform calls; it is not timed.
//
// Usage: postprocessing_bench [--quick] [--dbwin] [--csv FILE] [--md FILE]
//   --quick  small cases and few runs (a smoke run)
//   --dbwin  attach a debug-output (DBWIN) reader while timing
#include "harness/harness.h"
#include "harness/iat.h"
#include "harness/platform.h"
#include "win32/paths.h"

#include <winspool.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

const wchar_t kModel[] = L"VELDRIAN Bench Model";
const wchar_t kHardwareId[] = L"VELDRIAN\\BENCHPASS";
const wchar_t kQueuePrefix[] = L"VELDRIAN Bench ";
const wchar_t kTarget[] = L"VELDRIAN Bench Target";
const wchar_t kTargetPort[] = L"VBTARGET";
const wchar_t kProfilePrefix[] = L"S-1-5-21-1000-2000-3000-";
const wchar_t kDevicesEntry[] = L"winspool,VBTARGET";

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

std::string Format(const char *format, double value)
{
    char text[64];
    (void)std::snprintf(text, sizeof(text), format, value);
    return text;
}

std::wstring Numbered(const wchar_t *prefix, int number, std::size_t width)
{
    std::wstring digits = std::to_wstring(number);
    if (digits.size() < width) {
        digits.insert(0, width - digits.size(), L'0');
    }
    return prefix + digits;
}

// ---- Queues: one driver, many queues ----

class Queues {
public:
    Queues()
    {
        RemoveLeftovers();
        ok_ = win32::MakePrinterDriver(kModel);
        if (!ok_) {
            (void)std::fprintf(stderr, "AddPrinterDriverExW failed: %lu\n", GetLastError());
        }
    }
    ~Queues()
    {
        for (const std::wstring &name : names_) {
            Delete(name);
        }
        win32::RemovePrinterDriver(kModel);
    }
    Queues(const Queues &) = delete;
    Queues &operator=(const Queues &) = delete;

    bool ok() const { return ok_; }
    int count() const { return static_cast<int>(names_.size()); }

    // Brings the number of queues up to `total`: the target first, then decoys.
    bool GrowTo(int total)
    {
        while (ok_ && count() < total) {
            if (names_.empty()) {
                ok_ = Add(kTarget, kTargetPort);
            } else {
                const int decoy = count();
                ok_ = Add(Numbered(L"VELDRIAN Bench Decoy ", decoy, 4), Numbered(L"VBDECOY", decoy, 4));
            }
        }
        return ok_;
    }

private:
    bool Add(const std::wstring &name, const std::wstring &port)
    {
        if (!win32::AddQueue(name, kModel, port)) {
            (void)std::fprintf(stderr, "AddPrinterW(%s) failed: %lu\n", harness::Narrow(name).c_str(),
                               GetLastError());
            return false;
        }
        names_.push_back(name);
        return true;
    }

    static void Delete(const std::wstring &name) { win32::DeleteQueue(name); }

    // Queues left by an interrupted run.
    static void RemoveLeftovers()
    {
        for (const harness::QueueInfo &queue : harness::EnumQueues()) {
            if (queue.name.rfind(kQueuePrefix, 0) == 0) {
                Delete(queue.name);
            }
        }
    }

    std::vector<std::wstring> names_;
    bool ok_ = false;
};

// ---- Profiles under HKEY_USERS ----

class Profiles {
public:
    Profiles()
    {
        for (const std::wstring &name : harness::SubkeyNames(HKEY_USERS, L"")) {
            if (name.rfind(kProfilePrefix, 0) == 0) {
                harness::DeleteKeyTree(HKEY_USERS, name);
            }
        }
    }
    void ResizeTo(int total)
    {
        while (static_cast<int>(profiles_.size()) > total) {
            profiles_.pop_back();
        }
        while (static_cast<int>(profiles_.size()) < total) {
            profiles_.push_back(std::make_unique<harness::ScopedProfile>(
                Numbered(kProfilePrefix, 1001 + static_cast<int>(profiles_.size()), 1), kTarget,
                kDevicesEntry, true));
        }
    }
    const harness::ScopedProfile &first() const { return *profiles_.front(); }

private:
    std::vector<std::unique_ptr<harness::ScopedProfile>> profiles_;
};

// ---- The baseline: the pass's platform calls, made directly, without tracing ----

// The device's port, as the pass reads it: its instance ID, then PortName under its key.
// A block of GlobalAlloc's, or null.
wchar_t *BaselinePort(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    DWORD required = 0;
    SetupDiGetDeviceInstanceIdW(set, device, nullptr, 0, &required);
    auto *id = static_cast<wchar_t *>(GlobalAlloc(GMEM_FIXED, (required + 1) * sizeof(wchar_t)));
    if (id == nullptr) {
        return nullptr;
    }
    wchar_t path[MAX_PATH];
    const bool haveId = SetupDiGetDeviceInstanceIdW(set, device, id, required, nullptr) != FALSE;
    if (haveId) {
        wsprintfW(path, L"%s%s\\Device Parameters", win32::kEnumPath, id);
    }
    GlobalFree(id);
    wchar_t *port = nullptr;
    HKEY deviceKey = nullptr;
    if (haveId && RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &deviceKey) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD size = 0;
        RegQueryValueExW(deviceKey, L"PortName", nullptr, &type, nullptr, &size);
        port = static_cast<wchar_t *>(GlobalAlloc(GMEM_FIXED, size));
        if (port != nullptr && RegQueryValueExW(deviceKey, L"PortName", nullptr, &type,
                                                reinterpret_cast<BYTE *>(port), &size) != ERROR_SUCCESS) {
            GlobalFree(port);
            port = nullptr;
        }
        RegCloseKey(deviceKey);
    }
    return port;
}

// The first queue of `model` on `port` among the records, or null.
const wchar_t *BaselineQueue(const PRINTER_INFO_2W *records, DWORD count, const wchar_t *model,
                             const wchar_t *port)
{
    for (DWORD index = 0; index < count; ++index) {
        if (records[index].pDriverName != nullptr && lstrcmpiW(model, records[index].pDriverName) == 0 &&
            records[index].pPortName != nullptr && lstrcmpiW(port, records[index].pPortName) == 0) {
            return records[index].pPrinterName;
        }
    }
    return nullptr;
}

// One profile's default printer, written as the pass writes it when Devices lists the queue.
void BaselineAssign(const wchar_t *user, const wchar_t *queue)
{
    wchar_t full[MAX_PATH];
    wchar_t keyPath[MAX_PATH];
    // cppcheck-suppress lstrlenWCalled ; the spooler's queue name comes terminated, as the library relies on
    const int queueLength = lstrlenW(queue);
    wsprintfW(keyPath, L"%s\\%s", user, win32::kDevicesPath);
    HKEY devices = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, keyPath, 0, KEY_QUERY_VALUE, &devices) != ERROR_SUCCESS) {
        return;
    }
    lstrcpyW(full, queue);
    full[queueLength] = L',';
    full[queueLength + 1] = L'\0';
    DWORD type = REG_SZ;
    DWORD size = static_cast<DWORD>(MAX_PATH - (queueLength + 1) * sizeof(wchar_t));
    const LONG queried = RegQueryValueExW(devices, queue, nullptr, &type,
                                          reinterpret_cast<BYTE *>(full + queueLength + 1), &size);
    RegCloseKey(devices);
    if (queried != ERROR_SUCCESS) {
        return;
    }
    wsprintfW(keyPath, L"%s\\%s", user, win32::kWindowsPath);
    HKEY windows = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, keyPath, 0, KEY_SET_VALUE, &windows) == ERROR_SUCCESS) {
        // cppcheck-suppress lstrlenWCalled ; `full` was just terminated, as the library's is
        const auto units = static_cast<DWORD>(lstrlenW(full)) + 1;
        RegSetValueExW(windows, L"Device", 0, REG_SZ, reinterpret_cast<const BYTE *>(full),
                       units * sizeof(wchar_t));
        RegCloseKey(windows);
    }
}

// Every profile under HKEY_USERS gets the queue as its default printer; false when
// HKEY_USERS cannot be enumerated.
bool BaselineWalk(const wchar_t *queue)
{
    HKEY users = nullptr;
    if (RegOpenKeyExW(HKEY_USERS, nullptr, 0, KEY_ENUMERATE_SUB_KEYS, &users) != ERROR_SUCCESS) {
        return false;
    }
    wchar_t user[MAX_PATH];
    for (DWORD index = 0;; ++index) {
        DWORD capacity = MAX_PATH;
        FILETIME written;
        if (RegEnumKeyExW(users, index, user, &capacity, nullptr, nullptr, nullptr, &written) !=
            ERROR_SUCCESS) {
            break;
        }
        BaselineAssign(user, queue);
    }
    RegCloseKey(users);
    return true;
}

bool BaselinePass(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    SP_DRVINFO_DATA_V2_W driver = {};
    driver.cbSize = sizeof(driver);
    if (!SetupDiGetSelectedDriverW(set, device, &driver)) {
        return false;
    }
    wchar_t model[MAX_PATH];
    // cppcheck-suppress lstrcpynWCalled ; the library's own call, bounded by the buffer's size
    lstrcpynW(model, driver.Description, MAX_PATH);
    wchar_t *port = BaselinePort(set, device);
    if (port == nullptr) {
        return false;
    }
    DWORD needed = 0;
    DWORD returned = 0;
    DWORD needed2 = 0;
    DWORD count = 0;
    EnumPrintersW(6, nullptr, 2, nullptr, 0, &needed, &returned);
    auto *records = static_cast<PRINTER_INFO_2W *>(GlobalAlloc(GMEM_FIXED, needed));
    const wchar_t *queue = nullptr;
    if (records != nullptr &&
        EnumPrintersW(6, nullptr, 2, reinterpret_cast<BYTE *>(records), needed, &needed2, &count)) {
        queue = BaselineQueue(records, count, model, port);
    }
    const bool found = queue != nullptr && BaselineWalk(queue);
    if (records != nullptr) {
        GlobalFree(records);
    }
    GlobalFree(port);
    return found;
}

void LibraryPass(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    harness::CallEntry(DIF_INSTALLDEVICE, set, device, TRUE);
}

void WINAPI DiscardDebugString(LPCWSTR /*text*/) {}

// Points the DLL's OutputDebugStringW import at an empty function while it lives:
// the messages are still formatted, only the platform's debug-output call is left
// out. Tells Wine's cost of the trace channel from the library's own work.
std::unique_ptr<harness::ScopedRedirect> MuteDebugOutput()
{
    return std::make_unique<harness::ScopedRedirect>(harness::Veldrian(), "KERNEL32.dll",
                                                     "OutputDebugStringW",
                                                     reinterpret_cast<void *>(&DiscardDebugString));
}

// ---- Statistics ----

struct Stats {
    double median = 0, min = 0, max = 0;
};

Stats Summarise(std::vector<double> values)
{
    Stats stats;
    if (values.empty()) {
        return stats;
    }
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    stats.median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    stats.min = values.front();
    stats.max = values.back();
    return stats;
}

// ---- Call counts ----

const char *const kCounted[] = {
    "SetupDiGetSelectedDriverW",
    "SetupDiGetDeviceInstanceIdW",
    "EnumPrintersW",
    "GlobalAlloc",
    "GlobalFree",
    "RegEnumKeyExW",
    "RegOpenKeyExW",
    "RegQueryValueExW",
    "RegSetValueExW",
    "RegCloseKey",
    "lstrcmpiW",
    "OutputDebugStringW",
};
constexpr std::size_t kCountedSize = std::size(kCounted);

struct Counts {
    int value[kCountedSize] = {};
    int expected[kCountedSize] = {};
    int outstandingBlocks = 0;
    int openKeys = 0;
    bool asExpected() const
    {
        for (std::size_t index = 0; index + 1 < kCountedSize; ++index) {  // trace count: reported only
            if (value[index] != expected[index]) {
                return false;
            }
        }
        return outstandingBlocks == 0 && openKeys == 0;
    }
};

// Where the target queue is in the spooler's order, and the comparisons that the
// linear walk makes up to it (one per record, two where the driver is the model).
void WalkShape(int *position, int *comparisons)
{
    *position = -1;
    *comparisons = 0;
    const std::vector<harness::QueueInfo> queues = harness::EnumQueues();
    for (std::size_t index = 0; index < queues.size(); ++index) {
        const bool sameDriver = lstrcmpiW(queues[index].driver.c_str(), kModel) == 0;
        *comparisons += sameDriver ? 2 : 1;
        if (sameDriver && lstrcmpiW(queues[index].port.c_str(), kTargetPort) == 0) {
            *position = static_cast<int>(index);
            break;
        }
    }
}

Counts CountPass(HDEVINFO set, SP_DEVINFO_DATA *device, int walked, int comparisons)
{
    Counts counts;
    // Every walked profile lists the queue and has a Windows key: the full path.
    const int expected[kCountedSize] = {
        1, 2, 2, 3, 3, walked + 1, 2 + 2 * walked, 2 + walked, walked, 2 + 2 * walked, comparisons, 0,
    };
    std::copy(std::begin(expected), std::end(expected), counts.expected);
    harness::Interposer interposer;
    LibraryPass(set, device);
    for (std::size_t index = 0; index < kCountedSize; ++index) {
        counts.value[index] = interposer.calls(kCounted[index]);
    }
    counts.expected[kCountedSize - 1] = counts.value[kCountedSize - 1];
    counts.outstandingBlocks = interposer.outstandingBlocks();
    counts.openKeys = interposer.openKeys();
    return counts;
}

// ---- One case ----

struct Result {
    int queues = 0, profiles = 0, walked = 0, position = 0, runs = 0;
    Stats library, platform, muted, ratio, mutedRatio;
    Counts counts;
    bool verified = false;
};

bool DeviceWritten(const harness::ScopedProfile &profile)
{
    return harness::StringOf(profile.device()) == std::wstring(kTarget) + L"," + kDevicesEntry;
}

Result RunCase(harness::ScopedDevice &device, const Profiles &profiles, int queues, int profileCount,
               bool quick, harness::DbwinReader *reader)
{
    Result result;
    result.queues = queues;
    result.profiles = profileCount;
    result.walked = static_cast<int>(harness::SubkeyNames(HKEY_USERS, L"").size());
    int comparisons = 0;
    WalkShape(&result.position, &comparisons);
    result.counts = CountPass(device.set(), device.data(), result.walked, comparisons);

    // One untimed pass of each, each checked to have written a profile's default.
    const std::wstring windowsPath = profiles.first().windowsPath();
    harness::DeleteValue(HKEY_USERS, windowsPath, L"Device");
    const double warmStart = Now();
    LibraryPass(device.set(), device.data());
    const double passTime = Now() - warmStart;
    const bool libraryWrote = DeviceWritten(profiles.first());
    harness::DeleteValue(HKEY_USERS, windowsPath, L"Device");
    const bool baselineFound = BaselinePass(device.set(), device.data());
    result.verified = libraryWrote && baselineFound && DeviceWritten(profiles.first());

    // Runs: about 5 s of library passes per case, at least 7 and at most 31, odd.
    int runs = quick ? 3 : static_cast<int>(5.0 / std::max(passTime, 1e-6));
    runs = std::clamp(runs, quick ? 3 : 7, quick ? 3 : 31) | 1;
    result.runs = runs;
    std::vector<double> library;
    std::vector<double> platform;
    std::vector<double> muted;
    std::vector<double> ratio;
    std::vector<double> mutedRatio;
    for (int run = 0; run < runs; ++run) {
        double times[3] = {};
        // Rotate which goes first, so that drift weighs on all alike.
        for (int turn = 0; turn < 3; ++turn) {
            const int which = (run + turn) % 3;
            std::unique_ptr<harness::ScopedRedirect> mute;
            if (which == 2) {
                mute = MuteDebugOutput();
            }
            const double start = Now();
            if (which == 1) {
                BaselinePass(device.set(), device.data());
            } else {
                LibraryPass(device.set(), device.data());
            }
            times[which] = Now() - start;
        }
        library.push_back(times[0] * 1e3);
        platform.push_back(times[1] * 1e3);
        muted.push_back(times[2] * 1e3);
        ratio.push_back(times[0] / times[1]);
        mutedRatio.push_back(times[2] / times[1]);
        if (reader != nullptr) {
            reader->drain();
        }
    }
    result.library = Summarise(library);
    result.platform = Summarise(platform);
    result.muted = Summarise(muted);
    result.ratio = Summarise(ratio);
    result.mutedRatio = Summarise(mutedRatio);
    return result;
}

// ---- Reports ----

std::string WineVersion()
{
    using Version = const char *(CDECL *)();
    auto version =
        reinterpret_cast<Version>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version"));
    return version != nullptr ? std::string("Wine ") + version() : std::string("not Wine");
}

int TraceMessages(const Result &r)
{
    return r.counts.value[kCountedSize - 1];
}

std::string Csv(const std::vector<Result> &results)
{
    std::ostringstream out;
    out << "queues,profiles,walked_profiles,target_position,runs,library_median_ms,library_min_ms,library_"
           "max_ms,"
           "platform_median_ms,platform_min_ms,platform_max_ms,ratio_median,ratio_min,ratio_max,ratio_of_"
           "medians,"
           "library_minus_platform_ms,muted_median_ms,muted_min_ms,muted_max_ms,muted_ratio_median,muted_"
           "ratio_min,"
           "muted_ratio_max,trace_messages,verified,counts_as_expected";
    for (const char *name : kCounted) {
        out << ",calls_" << name;
    }
    out << "\n";
    for (const Result &r : results) {
        out << r.queues << "," << r.profiles << "," << r.walked << "," << r.position << "," << r.runs;
        for (double value :
             {r.library.median, r.library.min, r.library.max, r.platform.median, r.platform.min,
              r.platform.max, r.ratio.median, r.ratio.min, r.ratio.max, r.library.median / r.platform.median,
              r.library.median - r.platform.median, r.muted.median, r.muted.min, r.muted.max,
              r.mutedRatio.median, r.mutedRatio.min, r.mutedRatio.max}) {
            out << "," << Format("%.3f", value);
        }
        out << "," << TraceMessages(r) << "," << (r.verified ? "yes" : "no") << ","
            << (r.counts.asExpected() ? "yes" : "no");
        for (int value : r.counts.value) {
            out << "," << value;
        }
        out << "\n";
    }
    return out.str();
}

std::string Range(const Stats &stats, const char *format)
{
    return Format(format, stats.median) + " (" + Format(format, stats.min) + " - " +
           Format(format, stats.max) + ")";
}

// How the times grow from the smallest case to the largest, and what the debug-output
// call costs a message.
void Growth(std::ostringstream &out, const std::vector<Result> &results)
{
    if (results.size() < 2) {
        return;
    }
    const Result *smallest = &results.front();
    const Result *largest = &results.front();
    for (const Result &r : results) {
        if (r.queues + r.profiles < smallest->queues + smallest->profiles) {
            smallest = &r;
        }
        if (r.queues * 1000 + r.profiles > largest->queues * 1000 + largest->profiles) {
            largest = &r;
        }
    }
    out << "\nGrowth from Q=" << smallest->queues << ", P=" << smallest->profiles
        << " to Q=" << largest->queues << ", P=" << largest->profiles << ": library x"
        << Format("%.1f", largest->library.median / smallest->library.median) << ", platform x"
        << Format("%.1f", largest->platform.median / smallest->platform.median) << ", ratio "
        << Format("%.3f", smallest->ratio.median) << " -> " << Format("%.3f", largest->ratio.median) << ".\n";
    // The debug-output call's cost: library minus muted, per message, in the
    // case with the most messages among those with a single queue.
    const Result *traced = nullptr;
    for (const Result &r : results) {
        if (r.queues == 1 && (traced == nullptr || TraceMessages(r) > TraceMessages(*traced))) {
            traced = &r;
        }
    }
    if (traced != nullptr && TraceMessages(*traced) > 0) {
        out << "Wine's OutputDebugStringW, with no reader, cost about "
            << Format("%.0f", (traced->library.median - traced->muted.median) * 1e3 / TraceMessages(*traced))
            << " us a message here (Q=1, P=" << traced->profiles << ": " << TraceMessages(*traced)
            << " messages a pass).\n";
    }
}

// The platform calls of one library pass, per case.
void CountsTable(std::ostringstream &out, const std::vector<Result> &results)
{
    out << "| Q | walked |";
    for (const char *name : kCounted) {
        out << " " << name << " |";
    }
    out << "\n|---:|---:|";
    for (std::size_t index = 0; index < kCountedSize; ++index) {
        out << "---:|";
    }
    out << "\n";
    for (const Result &r : results) {
        if (r.queues != results.front().queues && r.profiles != results.front().profiles) {
            continue;  // the mixed cases add nothing: queue and profile counts are independent
        }
        out << "| " << r.queues << " | " << r.walked << " |";
        for (int value : r.counts.value) {
            out << " " << value << " |";
        }
        out << "\n";
    }
}

std::string Markdown(const std::vector<Result> &results, bool dbwin, double seconds)
{
    std::ostringstream out;
    SYSTEMTIME now;
    GetLocalTime(&now);
    char date[32];
    (void)std::snprintf(date, sizeof(date), "%04u-%02u-%02u", now.wYear, now.wMonth, now.wDay);
    out << "# Post-processing pass: library time against the platform's own cost\n\n";
    out << "Run on " << date << " under " << WineVersion() << ", " << seconds << " s in all. "
        << "Debug-output (DBWIN) reader attached while timing: " << (dbwin ? "yes" : "no") << ".\n\n";
    out << "- Q queues share one driver. The installed device's queue is listed after the Q - 1 decoys (same "
           "driver, other ports), so the walk compares every record twice.\n"
           "- P profiles under HKEY_USERS list the queue under Devices and have a Windows key. The walk also "
           "visits Wine's own .Default and current-user profiles, set up alike: walked = P + 2.\n"
           "- library: CoInstallerE(DIF_INSTALLDEVICE) with PostProcessing set, tracing included. platform: "
           "the same SetupAPI, registry and spooler calls made directly, without tracing. Both run "
           "interleaved, the order rotated every run.\n"
           "- Times are ms per pass, median (min - max) over the runs. ratio = library / platform of the "
           "same "
           "run: median (min - max).\n"
           "- muted: the library again, its OutputDebugStringW import pointed at an empty function (messages "
           "still formatted): what is left once Wine's debug-output call is taken out.\n\n";
    out << "| Q | P (walked) | runs | library ms | platform ms | ratio | library - platform ms | muted ratio "
           "|\n";
    out << "|---:|---:|---:|---|---|---|---:|---|\n";
    for (const Result &r : results) {
        out << "| " << r.queues << " | " << r.profiles << " (" << r.walked << ") | " << r.runs << " | "
            << Range(r.library, "%.2f") << " | " << Range(r.platform, "%.2f") << " | "
            << Range(r.ratio, "%.3f") << " | " << Format("%.2f", r.library.median - r.platform.median)
            << " | " << Range(r.mutedRatio, "%.3f") << " |\n";
    }
    Growth(out, results);
    out << "\nPlatform calls of one library pass, counted through the import redirection (all as expected: "
        << (std::all_of(results.begin(), results.end(), [](const Result &r) { return r.counts.asExpected(); })
                ? "yes"
                : "NO")
        << "; every case checked to write the profiles' default, by the library and by the baseline: "
        << (std::all_of(results.begin(), results.end(), [](const Result &r) { return r.verified; }) ? "yes"
                                                                                                    : "NO")
        << "). The counts do not depend on P for the queue calls nor on Q for the registry calls.\n\n";
    CountsTable(out, results);
    out << "\nRerun: `sh bench/run.sh` (writes postprocessing.md, postprocessing.csv and postprocessing.png "
           "here).\n";
    return out.str();
}

bool WriteFile(const std::string &path, const std::string &text)
{
    if (path.empty()) {
        return true;
    }
    std::ofstream file(win32::WindowsPath(path), std::ios::binary);
    file << text;
    return static_cast<bool>(file);
}

// The command line: --quick (a few small cases), --dbwin (a debug-output reader attached
// while timing), --csv FILE and --md FILE (where the results go).
struct BenchOptions {
    bool quick = false;
    bool dbwin = false;
    std::string csvPath;
    std::string mdPath;
};

bool ParseBenchOptions(int argc, char **argv, BenchOptions *options)
{
    for (int index = 1; index < argc; ++index) {
        const std::string arg = argv[index];
        if (arg == "--quick") {
            options->quick = true;
        } else if (arg == "--dbwin") {
            options->dbwin = true;
        } else if (arg == "--csv" && index + 1 < argc) {
            options->csvPath = argv[++index];
        } else if (arg == "--md" && index + 1 < argc) {
            options->mdPath = argv[++index];
        } else {
            return false;
        }
    }
    return true;
}

// Wine's own profiles are made to list the queue too (and put back by the caller).
void ListTheQueueInWinesProfiles(const std::wstring (&ownProfiles)[2])
{
    for (const std::wstring &profile : ownProfiles) {
        if (!profile.empty()) {
            harness::SetString(HKEY_USERS, profile + L"\\" + harness::kDevicesPath, kTarget, kDevicesEntry);
            harness::CreateKey(HKEY_USERS, profile + L"\\" + harness::kWindowsPath);
        }
    }
}

// One Q with each of its P: the results, and false when a case went wrong.
bool RunQueueCase(harness::ScopedDevice &device, Profiles &profiles, int queueCount,
                  const std::vector<int> &profileCounts, bool quick, harness::DbwinReader *reader,
                  std::vector<Result> &results)
{
    bool ok = true;
    for (int p : profileCounts) {
        profiles.ResizeTo(p);
        const Result r = RunCase(device, profiles, queueCount, p, quick, reader);
        (void)std::fprintf(stderr,
                           "Q=%d P=%d (walked %d, target at %d): library %.2f ms, platform %.2f ms, ratio "
                           "%.3f, %d runs, counts %s, verified %s\n",
                           r.queues, r.profiles, r.walked, r.position, r.library.median, r.platform.median,
                           r.ratio.median, r.runs, r.counts.asExpected() ? "ok" : "UNEXPECTED",
                           r.verified ? "yes" : "NO");
        ok = ok && r.counts.asExpected() && r.verified;
        results.push_back(r);
    }
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    BenchOptions options;
    if (!ParseBenchOptions(argc, argv, &options)) {
        (void)std::fprintf(stderr,
                           "usage: postprocessing_bench [--quick] [--dbwin] [--csv FILE] [--md FILE]\n");
        return 2;
    }
    const bool quick = options.quick;
    const bool dbwin = options.dbwin;
    if (harness::VeldrianEntry() == nullptr) {
        (void)std::fprintf(stderr, "cannot load VELDRIAN.dll (set VELDRIAN_DLL)\n");
        return 1;
    }
    const double started = Now();

    // Cases: every Q with every P, grouped by Q so that the queues are made once.
    // Passes at Q = 1,000 take most of the time (Wine's spooler), so those cases get
    // the fewest runs.
    struct Case {
        int queues;
        std::vector<int> profiles;
    };
    const std::vector<Case> cases =
        quick
            ? std::vector<Case>{{1, {1, 10}}, {20, {1, 10}}}
            : std::vector<Case>{{1, {1, 10, 100, 500}}, {100, {1, 10, 100, 500}}, {1000, {1, 10, 100, 500}}};

    // Wine's own profiles are made to list the queue too, and put back afterwards.
    const std::wstring currentUser = harness::CurrentUserKey();
    const std::wstring ownProfiles[] = {L".Default", currentUser};
    std::vector<std::unique_ptr<harness::ScopedKeyRestore>> restores;
    for (const std::wstring &profile : ownProfiles) {
        if (!profile.empty()) {
            restores.push_back(std::make_unique<harness::ScopedKeyRestore>(
                HKEY_USERS, harness::ExistingAncestor(profile + L"\\" + win32::kCurrentVersionPath)));
        }
    }

    std::vector<Result> results;
    int status = 0;
    {
        Queues queues;
        Profiles profiles;
        harness::ScopedDevice device(harness::PrinterInf({{kModel, kHardwareId, kTargetPort}}), kHardwareId,
                                     true);
        if (!queues.ok() || !device.ok()) {
            (void)std::fprintf(stderr, "setup failed: %s\n", device.failure().c_str());
            return 1;
        }
        std::unique_ptr<harness::DbwinReader> reader;
        if (dbwin) {
            reader = std::make_unique<harness::DbwinReader>();
        }
        for (const Case &c : cases) {
            const double setupStart = Now();
            if (!queues.GrowTo(c.queues)) {
                status = 1;
                break;
            }
            ListTheQueueInWinesProfiles(ownProfiles);
            (void)std::fprintf(stderr, "Q=%d: queues made in %.1f s\n", c.queues, Now() - setupStart);
            if (!RunQueueCase(device, profiles, c.queues, c.profiles, quick, reader.get(), results)) {
                status = 1;
            }
        }
        profiles.ResizeTo(0);
    }
    restores.clear();

    const double seconds = std::round(Now() - started);
    const std::string markdown = Markdown(results, dbwin, seconds);
    if (!WriteFile(options.csvPath, Csv(results)) || !WriteFile(options.mdPath, markdown)) {
        (void)std::fprintf(stderr, "cannot write the results\n");
        status = 1;
    }
    (void)std::fputs(markdown.c_str(), stdout);
    return status;
}
