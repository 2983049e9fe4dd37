// Hostile contents on the real registry and spooler: format characters and
// non-ASCII text in every name, names at and past the buffer limits, malformed
// PortName and Devices values, a Windows key that denies writing, and profiles
// that come and go during the walk. Blocks end at guard pages throughout.
#include "harness/harness.h"
#include "harness/iat.h"
#include "harness/platform.h"

#include <gtest/gtest.h>

#include <winspool.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>

namespace {

using harness::Narrow;

const std::wstring kPrefix = L"VELDRIAN : ";

bool Has(const std::vector<std::wstring> &traces, const std::wstring &message)
{
    return std::find(traces.begin(), traces.end(), kPrefix + message) != traces.end();
}

std::string Dump(const std::vector<std::wstring> &traces)
{
    std::string text;
    for (const std::wstring &line : traces) {
        text += "  " + Narrow(line) + "\n";
    }
    return text;
}

std::wstring Repeat(const std::wstring &unit, std::size_t count)
{
    std::wstring text;
    while (text.size() < count) {
        text += unit;
    }
    return text.substr(0, count);
}

// An installed printer device whose driver is `model` on `port`, and a queue for it.
class Hostile : public testing::Test {
protected:
    void Install(const std::wstring &model, const std::wstring &port, const std::wstring &queue,
                 const std::wstring &infModel = L"")
    {
        static int serial = 0;
        const std::wstring id = L"VELDRIAN\\HOSTILE" + std::to_wstring(++serial);
        device_ = std::make_unique<harness::ScopedDevice>(
            harness::PrinterInf({{infModel.empty() ? model : infModel, id, port}}), id, true);
        ASSERT_TRUE(device_->ok()) << device_->failure();
        if (!queue.empty()) {
            AddQueue(queue, model, port);
        }
    }
    void AddQueue(const std::wstring &queue, const std::wstring &driver, const std::wstring &port)
    {
        queues_.push_back(std::make_unique<harness::ScopedPrinter>(queue, driver, port));
        ASSERT_TRUE(queues_.back()->ok()) << "AddPrinter(" << Narrow(queue) << ") failed: " << queues_.back()->error();
    }
    harness::ScopedProfile &Profile(const std::wstring &name, const std::wstring &queue, const wchar_t *entry,
                                  bool withWindows = true)
    {
        profiles_.push_back(std::make_unique<harness::ScopedProfile>(name, queue, entry, withWindows));
        return *profiles_.back();
    }
    // A full post-processing pass; returns its trace.
    std::vector<std::wstring> Run()
    {
        harness_.clearTraces();
        harness_.resetCounts();
        EXPECT_EQ(harness::CallEntry(DIF_INSTALLDEVICE, device_->set(), device_->data(), TRUE),
                  static_cast<DWORD>(NO_ERROR));
        EXPECT_EQ(harness_.outstandingBlocks(), 0);
        EXPECT_EQ(harness_.openKeys(), 0);
        return harness_.traces();
    }
    void SetUp() override { harness_.useGuardPages(true); }

    std::unique_ptr<harness::ScopedDevice> device_;
    std::vector<std::unique_ptr<harness::ScopedPrinter>> queues_;
    std::vector<std::unique_ptr<harness::ScopedProfile>> profiles_;
    harness::Interposer harness_;
};

const wchar_t kRule[] = L"\n===========================================\n";

harness::RegValue Raw(DWORD type, const void *data, std::size_t bytes)
{
    harness::RegValue value;
    value.type = type;
    value.data.assign(static_cast<const BYTE *>(data), static_cast<const BYTE *>(data) + bytes);
    return value;
}
harness::RegValue Text(DWORD type, const std::wstring &text, std::size_t extraBytes = 0)
{
    std::wstring padded = text + L'\0';
    return Raw(type, padded.data(), text.size() * sizeof(wchar_t) + extraBytes);
}
harness::RegValue Sz(const std::wstring &text)
{
    return Text(REG_SZ, text, sizeof(wchar_t));
}
bool Store(HKEY root, const std::wstring &path, const std::wstring &name, const harness::RegValue &value)
{
    return harness::SetValue(root, path, name, value.type, value.data.data(), static_cast<DWORD>(value.data.size()));
}

TEST_F(Hostile, FormatCharactersBackslashesCommasAndNonAsciiTextStayText)
{
    const std::wstring model = L"Imprimante \u00C9T\u00C9 %s%n 100% \u6253\u5370\u673A";
    const std::wstring port = L"USB%s%n\\\u00C9,1";
    const std::wstring queue = L"Imprimante \u00C9T\u00C9 %s%n%d \u6253\u5370\u673A";
    // In an INF, %% stands for one percent sign.
    Install(model, port, queue, L"Imprimante \u00C9T\u00C9 %%s%%n 100%% \u6253\u5370\u673A");
    const std::wstring entry = L"winspool,%s%n\\\\serveur\\file,\u00C9T\u00C9 \u6253\u5370,%d%%";
    harness::ScopedProfile &profile = Profile(L"S-1-5-21-%s%n-\u00C9T\u00C9-\u6253\u5370,%d", queue, entry.c_str());

    const std::vector<std::wstring> traces = Run();
    EXPECT_TRUE(Has(traces, L"GetPrinterModelName() : Model Name = \"" + model + L"\"\n")) << Dump(traces);
    EXPECT_TRUE(Has(traces, L"PortName = " + port + L"\n")) << Dump(traces);
    EXPECT_TRUE(Has(traces, L"FOUND : Printer Name = \"" + queue + L"\" Model Name = \"" + model + L"\" Port Name = \"" +
                                port + L"\"\n"))
        << Dump(traces);
    EXPECT_TRUE(Has(traces, profile.name() + kRule)) << Dump(traces);
    EXPECT_TRUE(Has(traces, queue + L"," + entry + L"\n")) << Dump(traces);
    EXPECT_EQ(profile.device(), Sz(queue + L"," + entry));
}

TEST_F(Hostile, UserKeyNamesAtAndPastTheKeyPathLimit)
{
    const std::wstring queue = L"Queue Limits";
    Install(L"Model Limits", L"USB081", queue);
    const std::wstring entry = L"winspool,USB081";
    // The 53 fixed units of a profile key path and a terminator leave 206 for the name.
    harness::ScopedProfile &fits = Profile(L"S-1-5-21-" + Repeat(L"\u00C9", 206 - 9), queue, entry.c_str());
    harness::ScopedProfile &over = Profile(L"S-1-5-21-" + Repeat(L"x", 207 - 9), queue, entry.c_str());
    harness::ScopedProfile &longest = Profile(L"S-1-5-21-" + Repeat(L"%s", 255 - 9), queue, entry.c_str());
    ASSERT_EQ(fits.name().size(), 206u);
    ASSERT_EQ(over.name().size(), 207u);
    ASSERT_EQ(longest.name().size(), 255u);
    ASSERT_TRUE(harness::KeyExists(HKEY_USERS, longest.windowsPath()));
    const harness::RegSnapshot overBefore = harness::Snapshot(HKEY_USERS, over.name());
    const harness::RegSnapshot longestBefore = harness::Snapshot(HKEY_USERS, longest.name());

    const std::vector<std::wstring> traces = Run();
    EXPECT_EQ(fits.device(), Sz(queue + L"," + entry)) << Dump(traces);
    for (const harness::ScopedProfile *profile : {&over, &longest}) {
        // Listed whole, then skipped: its key paths would not fit.
        EXPECT_TRUE(Has(traces, profile->name() + kRule)) << Dump(traces);
    }
    EXPECT_EQ(std::count(traces.begin(), traces.end(),
                         kPrefix + L"GetFullPrinterName(" + queue + L") : user key name too long. GetLastError() = 122\n"),
              2)
        << Dump(traces);
    EXPECT_EQ(harness::Diff(overBefore, harness::Snapshot(HKEY_USERS, over.name())), std::vector<std::wstring>{});
    EXPECT_EQ(harness::Diff(longestBefore, harness::Snapshot(HKEY_USERS, longest.name())), std::vector<std::wstring>{});
}

TEST_F(Hostile, QueueNamesAtAndPastTheFullNameCapacity)
{
    // The full name is built in 260 bytes: a queue of 128 units leaves room for its
    // comma and one terminator, so only an empty entry fits; 129 units leave none.
    const std::wstring model = L"Model Capacity";
    const std::wstring port = L"USB082";
    Install(model, port, L"");
    const std::wstring longest = Repeat(L"Q\u00DC", 128);
    const std::wstring over = Repeat(L"R\u00DC", 129);
    harness::ScopedProfile &empty = Profile(L"VELDRIAN-CAPACITY-EMPTY", longest, L"");
    harness::SetString(HKEY_USERS, empty.devicesPath(), over, L"");
    harness::ScopedProfile &one = Profile(L"VELDRIAN-CAPACITY-ONE", longest, L"x");
    {
        harness::ScopedPrinter queue(longest, model, port);
        ASSERT_TRUE(queue.ok()) << queue.error();
        const std::vector<std::wstring> traces = Run();
        EXPECT_EQ(empty.device(), Sz(longest + L",")) << Dump(traces);
        EXPECT_TRUE(Has(traces, L"GetFullPrinterName(" + longest + L") : RegQueryValueEx() : failed. GetLastError() = 234"))
            << Dump(traces);
        EXPECT_EQ(one.device().type, 0u) << "the entry does not fit: nothing is written";
    }
    {
        harness::ScopedPrinter queue(over, model, port);
        ASSERT_TRUE(queue.ok()) << queue.error();
        const std::vector<std::wstring> traces = Run();
        EXPECT_TRUE(Has(traces, L"FOUND : Printer Name = \"" + over + L"\" Model Name = \"" + model +
                                    L"\" Port Name = \"" + port + L"\"\n"))
            << Dump(traces);
        // Only the separator and the closing line for the profile: nothing is read.
        auto at = std::find(traces.begin(), traces.end(), kPrefix + empty.name() + kRule);
        ASSERT_NE(at, traces.end()) << Dump(traces);
        ASSERT_NE(at + 1, traces.end());
        EXPECT_EQ(*(at + 1), kPrefix + L"\n") << Dump(traces);
        EXPECT_EQ(harness_.calls("RegQueryValueExW"), 2) << "only the device's PortName is read";
        EXPECT_EQ(empty.device(), Sz(longest + L",")) << "left as it was";
    }
}

TEST_F(Hostile, PortNameValuesOfEveryShape)
{
    const std::wstring model = L"Model Ports";
    Install(model, L"USB083", L"Queue Ports");
    AddQueue(L"Queue Ports U7", model, L"U7");
    harness::ScopedProfile &profile = Profile(L"VELDRIAN-PORTS", L"Queue Ports", L"winspool,USB083");
    harness::SetString(HKEY_USERS, profile.devicesPath(), L"Queue Ports U7", L"winspool,U7");
    const std::wstring path = device_->parametersPath();

    const DWORD u7 = 0x00370055;  // the units 'U' '7', with no terminator
    const BYTE one = 0x41;
    const std::wstring longText = Repeat(L"USB083 \u00C9", 4000);
    struct Shape {
        const char *what;
        harness::RegValue value;
        const wchar_t *port;   // the port as read, null when unknown
        const wchar_t *queue;  // the queue it identifies, or null
    };
    const Shape shapes[] = {
        {"terminated text", Sz(L"USB083"), L"USB083", L"Queue Ports"},
        {"text without terminator", Text(REG_BINARY, L"USB083"), L"USB083", L"Queue Ports"},
        {"odd byte count", Text(REG_SZ, L"USB083", 1), L"USB083", L"Queue Ports"},
        {"a number", Raw(REG_DWORD, &u7, sizeof(u7)), L"U7", L"Queue Ports U7"},
        {"a list", Text(REG_MULTI_SZ, std::wstring(L"U7\0USB083\0", 10), sizeof(wchar_t)), L"U7", L"Queue Ports U7"},
        {"empty text", Sz(L""), L"", nullptr},
        {"no data", Raw(REG_SZ, nullptr, 0), nullptr, nullptr},
        {"one byte", Raw(REG_BINARY, &one, 1), L"", nullptr},
        {"long text", Sz(longText), nullptr, nullptr},
        {"long text without terminator", Text(REG_BINARY, longText), nullptr, nullptr},
    };
    for (const Shape &shape : shapes) {
        SCOPED_TRACE(shape.what);
        ASSERT_TRUE(Store(HKEY_LOCAL_MACHINE, path, L"PortName", shape.value));
        harness::DeleteValue(HKEY_USERS, profile.windowsPath(), L"Device");
        const std::vector<std::wstring> traces = Run();
        const bool longOne = shape.port == nullptr && shape.value.data.size() > 100;
        if (longOne) {
            // Traced up to the formatter's limit of one message, never past the block.
            const std::wstring start = kPrefix + L"PortName = " + longText.substr(0, 100);
            EXPECT_TRUE(std::any_of(traces.begin(), traces.end(),
                                    [&](const std::wstring &t) { return t.rfind(start, 0) == 0 && t.size() < 1100; }))
                << Dump(traces);
        } else {
            EXPECT_TRUE(Has(traces, L"PortName = " + std::wstring(shape.port ? shape.port : L"(null)") + L"\n"))
                << Dump(traces);
        }
        if (shape.queue != nullptr) {
            EXPECT_EQ(profile.device(), Sz(std::wstring(shape.queue) + L",winspool," + shape.port)) << Dump(traces);
        } else {
            EXPECT_TRUE(std::any_of(traces.begin(), traces.end(),
                                    [&](const std::wstring &t) {
                                        return t.rfind(kPrefix + L"Unable to found Printer : Model Name = \"" + model +
                                                           L"\" Port Name = \"",
                                                       0) == 0;
                                    }))
                << Dump(traces);
            EXPECT_EQ(profile.device().type, 0u) << "no queue, nothing written";
        }
    }
}

TEST_F(Hostile, DevicesEntriesOfEveryShape)
{
    // "Entries," takes 16 of the 260 bytes: 244 are left, 122 units with the terminator.
    const std::wstring queue = L"Entries";
    Install(L"Model Entries", L"USB085", queue);
    const DWORD ab = 0x00420041;  // 'A' 'B', no terminator
    const DWORD a = 0x00000041;   // 'A' and a terminator
    const std::wstring fits = Repeat(L"\u00E9", 121);
    struct Shape {
        const char *what;
        harness::RegValue value;
        const wchar_t *written;  // the entry as written behind the comma, null: skipped
    };
    const Shape shapes[] = {
        {"empty", Sz(L""), L""},
        {"text without terminator", Text(REG_BINARY, L"winspool,USB085"), L"winspool,USB085"},
        {"odd byte count", Text(REG_SZ, L"winspool,USB085", 1), L"winspool,USB085"},
        {"a number without terminator", Raw(REG_DWORD, &ab, sizeof(ab)), L"AB"},
        {"a number with one", Raw(REG_DWORD, &a, sizeof(a)), L"A"},
        {"a list", Text(REG_MULTI_SZ, std::wstring(L"one\0two\0", 8), sizeof(wchar_t)), L"one"},
        {"a zero inside", Sz(std::wstring(L"win\0spool", 9)), L"win"},
        {"exactly the room left", Sz(fits), fits.c_str()},
        {"the room left without terminator", Text(REG_BINARY, fits), fits.c_str()},
        {"the room left filled, no terminator", Text(REG_BINARY, fits + L"x"), nullptr},
        {"one unit too long", Sz(fits + L"x"), nullptr},
        {"far too long", Sz(Repeat(L"x", 5000)), nullptr},
    };
    std::vector<std::wstring> names;
    for (const Shape &shape : shapes) {
        harness::ScopedProfile &profile =
            Profile(L"VELDRIAN-ENTRY-" + std::to_wstring(names.size()) + L"-" + harness::Wide(shape.what), queue, nullptr);
        ASSERT_TRUE(Store(HKEY_USERS, profile.devicesPath(), queue, shape.value));
        names.push_back(profile.name());
    }
    const std::vector<std::wstring> traces = Run();
    for (std::size_t index = 0; index < std::size(shapes); ++index) {
        SCOPED_TRACE(shapes[index].what);
        const harness::RegValue device = profiles_[index]->device();
        if (shapes[index].written != nullptr) {
            EXPECT_EQ(device, Sz(queue + L"," + shapes[index].written)) << Dump(traces);
            EXPECT_LE(device.data.size(), 260u);
        } else {
            EXPECT_EQ(device.type, 0u) << "skipped: nothing written";
        }
    }
    EXPECT_EQ(std::count(traces.begin(), traces.end(),
                         kPrefix + L"GetFullPrinterName(" + queue + L") : RegQueryValueEx() : failed. GetLastError() = 234"),
              3)
        << Dump(traces);
}

// ---- Injected answers of a registry that enforces rights, and of one that changes ----

struct Injection {
    std::wstring deniedPath;  // a Windows key path below HKEY_USERS
    bool denyOpen = false;    // refuse to open it for writing; else refuse the write
    std::map<HKEY, std::wstring> opened;
    std::function<void(DWORD index, const wchar_t *name)> beforeEnum, afterEnum;
    std::function<void()> afterQuery;
    harness::ScopedRedirect *open = nullptr, *set = nullptr, *enumKey = nullptr, *query = nullptr;
};
Injection *g_injection = nullptr;

LONG WINAPI DenyingOpen(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key)
{
    if (root == HKEY_USERS && path != nullptr && g_injection->deniedPath == path && (access & KEY_SET_VALUE) &&
        g_injection->denyOpen) {
        return ERROR_ACCESS_DENIED;
    }
    const LONG result = g_injection->open->original<decltype(&RegOpenKeyExW)>()(root, path, options, access, key);
    if (result == ERROR_SUCCESS && path != nullptr) {
        g_injection->opened[*key] = path;
    }
    return result;
}

LONG WINAPI DenyingSet(HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size)
{
    auto found = g_injection->opened.find(key);
    if (found != g_injection->opened.end() && found->second == g_injection->deniedPath) {
        return ERROR_ACCESS_DENIED;
    }
    return g_injection->set->original<decltype(&RegSetValueExW)>()(key, name, reserved, type, data, size);
}

LONG WINAPI ChangingEnum(HKEY key, DWORD index, LPWSTR name, LPDWORD capacity, LPDWORD reserved, LPWSTR className,
                         LPDWORD classCapacity, PFILETIME lastWrite)
{
    if (g_injection->beforeEnum) {
        g_injection->beforeEnum(index, nullptr);
    }
    const LONG result = g_injection->enumKey->original<decltype(&RegEnumKeyExW)>()(
        key, index, name, capacity, reserved, className, classCapacity, lastWrite);
    if (result == ERROR_SUCCESS && g_injection->afterEnum) {
        g_injection->afterEnum(index, std::wstring(name, *capacity).c_str());
    }
    return result;
}

LONG WINAPI ChangingQuery(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
{
    const LONG result =
        g_injection->query->original<decltype(&RegQueryValueExW)>()(key, name, reserved, type, data, size);
    if (g_injection->afterQuery) {
        g_injection->afterQuery();
    }
    return result;
}

class Injected : public Hostile {
protected:
    void SetUp() override
    {
        Hostile::SetUp();
        g_injection = &injection_;
        HMODULE module = harness::Veldrian();
        open_ = std::make_unique<harness::ScopedRedirect>(module, "ADVAPI32.dll", "RegOpenKeyExW",
                                                        reinterpret_cast<void *>(&DenyingOpen));
        set_ = std::make_unique<harness::ScopedRedirect>(module, "ADVAPI32.dll", "RegSetValueExW",
                                                       reinterpret_cast<void *>(&DenyingSet));
        enum_ = std::make_unique<harness::ScopedRedirect>(module, "ADVAPI32.dll", "RegEnumKeyExW",
                                                        reinterpret_cast<void *>(&ChangingEnum));
        query_ = std::make_unique<harness::ScopedRedirect>(module, "ADVAPI32.dll", "RegQueryValueExW",
                                                         reinterpret_cast<void *>(&ChangingQuery));
        injection_.open = open_.get();
        injection_.set = set_.get();
        injection_.enumKey = enum_.get();
        injection_.query = query_.get();
    }
    void TearDown() override
    {
        query_.reset();
        enum_.reset();
        set_.reset();
        open_.reset();
        g_injection = nullptr;
    }

    Injection injection_;
    std::unique_ptr<harness::ScopedRedirect> open_, set_, enum_, query_;
};

TEST_F(Injected, AWindowsKeyThatDeniesWritingSkipsThatProfileOnly)
{
    const std::wstring queue = L"Queue Denied";
    const std::wstring entry = L"winspool,USB086";
    Install(L"Model Denied", L"USB086", queue);
    harness::ScopedProfile &denied = Profile(L"VELDRIAN-DENIED", queue, entry.c_str());
    harness::ScopedProfile &open = Profile(L"VELDRIAN-OPEN", queue, entry.c_str());
    const std::wstring full = queue + L"," + entry;
    ASSERT_TRUE(harness::SetString(HKEY_USERS, denied.windowsPath(), L"Device", L"Old,winspool,LPT1:"));
    injection_.deniedPath = denied.windowsPath();

    for (const bool denyOpen : {true, false}) {
        SCOPED_TRACE(denyOpen ? "the key cannot be opened for writing" : "the value cannot be written");
        injection_.denyOpen = denyOpen;
        harness::DeleteValue(HKEY_USERS, open.windowsPath(), L"Device");
        const std::vector<std::wstring> traces = Run();
        EXPECT_TRUE(Has(traces, L"SetDefaultPrinterInRegistry(" + full + L") : " +
                                    (denyOpen ? L"RegOpenKeyEx()" : L"RegSetValueEx()") +
                                    L" : failed. GetLastError() = 5"))
            << Dump(traces);
        EXPECT_EQ(harness::StringOf(denied.device()), L"Old,winspool,LPT1:");
        EXPECT_EQ(open.device(), Sz(full)) << "the next profile is still served";
    }
}

TEST_F(Injected, ProfilesThatComeAndGoDuringTheWalkAreSeenAsTheRegistryListsThem)
{
    const std::wstring queue = L"Queue Walk";
    const std::wstring entry = L"winspool,USB087";
    Install(L"Model Walk", L"USB087", queue);
    const std::wstring full = queue + L"," + entry;
    auto index = [](const std::wstring &name) {
        const std::vector<std::wstring> names = harness::SubkeyNames(HKEY_USERS, L"");
        return static_cast<DWORD>(std::find(names.begin(), names.end(), name) - names.begin());
    };
    auto listed = [](const std::vector<std::wstring> &traces, const std::wstring &name) {
        return Has(traces, name + kRule);
    };
    const std::wstring b = L"VELDRIAN-WALK-B", c = L"VELDRIAN-WALK-C", d = L"VELDRIAN-WALK-D", f = L"VELDRIAN-WALK-F";
    auto makeProfiles = [&]() {
        profiles_.clear();
        for (const std::wstring &name : {b, d, f}) {
            Profile(name, queue, entry.c_str());
        }
    };
    auto device = [&](const std::wstring &name) {
        return harness::GetValue(HKEY_USERS, name + L"\\" + harness::kWindowsPath, L"Device");
    };

    {
        SCOPED_TRACE("a profile listed earlier vanishes: the next one moves up into its place");
        makeProfiles();
        const DWORD at = index(d);
        injection_.beforeEnum = [&](DWORD i, const wchar_t *) {
            if (i == at) {
                harness::DeleteKeyTree(HKEY_USERS, b);
            }
        };
        const std::vector<std::wstring> traces = Run();
        injection_.beforeEnum = nullptr;
        EXPECT_TRUE(listed(traces, b)) << Dump(traces);
        EXPECT_FALSE(listed(traces, d)) << "the registry listed F at D's index";
        EXPECT_EQ(device(d).type, 0u);
        EXPECT_EQ(device(f), Sz(full)) << Dump(traces);
        EXPECT_FALSE(harness::KeyExists(HKEY_USERS, b)) << "nothing is created";
    }
    {
        SCOPED_TRACE("a profile appears ahead of the walk: it is served like the others");
        makeProfiles();
        const DWORD at = index(d);
        std::unique_ptr<harness::ScopedProfile> appeared;
        injection_.beforeEnum = [&](DWORD i, const wchar_t *) {
            if (i == at && !appeared) {
                appeared = std::make_unique<harness::ScopedProfile>(c, queue, entry.c_str());
            }
        };
        const std::vector<std::wstring> traces = Run();
        injection_.beforeEnum = nullptr;
        for (const std::wstring &name : {b, c, d, f}) {
            EXPECT_EQ(device(name), Sz(full)) << Narrow(name) << "\n" << Dump(traces);
        }
    }
    {
        SCOPED_TRACE("a profile vanishes right after it was listed");
        makeProfiles();
        const DWORD at = index(d);
        injection_.afterEnum = [&](DWORD, const wchar_t *name) {
            if (d == name) {
                harness::DeleteKeyTree(HKEY_USERS, d);
            }
        };
        const std::vector<std::wstring> traces = Run();
        injection_.afterEnum = nullptr;
        EXPECT_TRUE(Has(traces, L"GetFullPrinterName(" + queue + L") : RegOpenKeyEx(" + d + L"\\" + harness::kDevicesPath +
                                    L") : failed. GetLastError() = 2\n"))
            << Dump(traces);
        EXPECT_FALSE(harness::KeyExists(HKEY_USERS, d)) << "nothing is created";
        EXPECT_EQ(device(b), Sz(full));
        // F moved up into the index just taken: the next index finds the list's end.
        EXPECT_FALSE(listed(traces, f)) << Dump(traces);
        EXPECT_EQ(device(f).type, 0u);
        EXPECT_TRUE(Has(traces, L"RegEnumKeyEx(" + std::to_wstring(at + 1) + L") : failed. GetLastError() = 259\n"))
            << Dump(traces);
    }
    {
        SCOPED_TRACE("a profile's Windows key vanishes between the read and the write");
        makeProfiles();
        bool armed = false;
        injection_.afterEnum = [&](DWORD, const wchar_t *name) { armed = d == name; };
        injection_.afterQuery = [&]() {
            if (armed) {
                armed = false;
                harness::DeleteKeyTree(HKEY_USERS, d + L"\\" + harness::kWindowsPath);
            }
        };
        const std::vector<std::wstring> traces = Run();
        injection_.afterEnum = nullptr;
        injection_.afterQuery = nullptr;
        EXPECT_TRUE(Has(traces, L"SetDefaultPrinterInRegistry(" + full + L") : RegOpenKeyEx() : failed. GetLastError() = 2"))
            << Dump(traces);
        EXPECT_FALSE(harness::KeyExists(HKEY_USERS, d + L"\\" + harness::kWindowsPath)) << "nothing is created";
        EXPECT_EQ(device(f), Sz(full));
    }
    profiles_.clear();
    harness::DeleteKeyTree(HKEY_USERS, c);
}

}  // namespace
