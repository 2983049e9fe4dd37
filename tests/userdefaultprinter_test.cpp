// The walk over the profiles under HKEY_USERS that makes the found queue each one's
// default printer: profile keys made directly under HKEY_USERS, Wine's own two
// profiles beside them, and the trace as the DLL sends it and as a viewer reads it.
#include "assignment.h"

#include <algorithm>
#include <functional>

namespace {

using namespace assignment;

std::wstring DiffLine(const std::wstring &user, const std::wstring &device)
{
    return L"value added: " + user + L"\\" + harness::kWindowsPath + L" : Device = \"" + device + L"\"";
}

bool ListedBefore(const std::wstring &first, const std::wstring &second)
{
    const std::vector<std::wstring> users = harness::SubkeyNames(HKEY_USERS, L"");
    const auto a = std::find(users.begin(), users.end(), first);
    const auto b = std::find(users.begin(), users.end(), second);
    return a != users.end() && b != users.end() && a < b;
}

class UserDefault : public Assignment {
protected:
    void SetUp() override
    {
        Assignment::SetUp();
        device_ = MakeDevice(L"Model X", L"USB001");
    }
    void TearDown() override
    {
        printer_.reset();
        device_.reset();
        Assignment::TearDown();
    }

    // The queue the installation made, on the device's driver and port.
    void MakeQueue(const std::wstring &name)
    {
        printer_.reset();
        printer_ = std::make_unique<harness::ScopedPrinter>(name, L"Model X", L"USB001");
        ASSERT_TRUE(printer_->ok()) << printer_->error();
        queue_ = name;
    }

    // Runs the post-processing; the traces up to the walk must be those of the queue found.
    Traces RunWalk()
    {
        const DWORD needed = EnumNeeded();
        EXPECT_EQ(Run(*device_), static_cast<DWORD>(NO_ERROR));
        Traces traces = harness_.traces();
        const Traces head =
            Concat({{Start(), ModelName(L"Model X"), InstanceId(device_->instanceId()), PortName(L"USB001")},
                    Enumeration(needed, 1),
                    {Found(queue_, L"Model X", L"USB001")}});
        const auto cut = static_cast<std::ptrdiff_t>(std::min(traces.size(), head.size()));
        EXPECT_TRACES(Traces(traces.begin(), traces.begin() + cut), head);
        traces.erase(traces.begin(), traces.begin() + cut);
        return traces;
    }

    std::unique_ptr<harness::ScopedDevice> device_;
    std::unique_ptr<harness::ScopedPrinter> printer_;
    std::wstring queue_;
};

TEST_F(UserDefault, AProfileThatCannotTakeTheDefaultIsSkippedAndTheWalkGoesOn)
{
    harness::DbwinReader reader;
    ASSERT_TRUE(reader.ok());
    harness_.passTracesThrough(true);
    MakeQueue(L"Model X");
    harness::ScopedProfile first(L"P-1", L"Model X", L"winspool,USB001");
    harness::ScopedProfile noDevices(L"P-2", L"Model X", nullptr);
    harness::ScopedProfile noEntry(L"P-3", L"Another queue", L"winspool,USB009");
    harness::ScopedProfile noWindows(L"P-4", L"Model X", L"winspool,USB001", false);
    harness::ScopedProfile last(L"P-5", L"Model X", L"Ne04:");
    const harness::RegSnapshot before = harness::Snapshot(HKEY_USERS);
    const size_t dbwinBefore = reader.drain().size();

    Blocks blocks = WineProfiles(L"Model X", L"USB001");
    blocks[L"P-1"] = Written(L"Model X,winspool,USB001");
    blocks[L"P-2"] = NoDevicesKey(L"Model X", L"P-2");
    blocks[L"P-3"] = QueryFailed(L"Model X", ERROR_FILE_NOT_FOUND);
    blocks[L"P-4"] = OpenWindowsFailed(L"Model X,winspool,USB001");
    blocks[L"P-5"] = Written(L"Model X,Ne04:");
    EXPECT_TRACES(RunWalk(), Walk(blocks));

    EXPECT_FALSE(harness::KeyExists(HKEY_USERS, noWindows.windowsPath())) << "no key is created";
    const std::vector<std::wstring> changes = {DiffLine(L"P-1", L"Model X,winspool,USB001"),
                                               DiffLine(L"P-5", L"Model X,Ne04:")};
    EXPECT_EQ(harness::Diff(before, harness::Snapshot(HKEY_USERS)), changes);

    // A viewer shows the messages one after the other: the separator's rule stands on a
    // line of its own, and a message without a line feed runs on into the next one.
    std::string text;
    const std::vector<std::string> messages = reader.drain();
    for (size_t index = dbwinBefore; index < messages.size(); ++index) {
        if (messages[index].rfind("VELDRIAN : ", 0) == 0) {
            text += messages[index];
        }
    }
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(text.substr(start, end - start));
    }
    const auto has = [&lines](const std::string &line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    EXPECT_TRUE(has("VELDRIAN : GetFullPrinterName(Model X) : RegQueryValueEx() : failed. GetLastError() = "
                    "2VELDRIAN : "));
    EXPECT_TRUE(
        has("VELDRIAN : SetDefaultPrinterInRegistry(Model X,winspool,USB001) : RegOpenKeyEx() : failed. "
            "GetLastError() = 2VELDRIAN : "));
    const auto rule = std::find(lines.begin(), lines.end(), "VELDRIAN : P-1");
    ASSERT_GE(lines.end() - rule, 4);  // the profile's name, its rule, its entry and the blank message
    EXPECT_EQ(*(rule + 1), std::string(43, '='));
    EXPECT_EQ(*(rule + 2), "VELDRIAN : Model X,winspool,USB001");
    EXPECT_EQ(*(rule + 3), "VELDRIAN : ");
}

TEST_F(UserDefault, AProfileThatRefusesTheDefaultKeepsItsOwnAndTheNextOneIsServed)
{
    MakeQueue(L"Model X");
    harness::ScopedProfile first(L"P-1", L"Model X", L"winspool,USB001");
    harness::ScopedProfile second(L"P-2", L"Model X", L"winspool,USB001");
    ASSERT_TRUE(ListedBefore(L"P-1", L"P-2"));
    ASSERT_TRUE(harness::SetString(HKEY_USERS, first.windowsPath(), L"Device", L"Old,winspool,LPT1:"));

    // Windows refuses a key to rights its ACL does not grant; Wine grants any, so the
    // refusal is the platform's answer here: P-1's Windows key cannot be opened.
    harness_.answer<decltype(&RegOpenKeyExW)>(
        "RegOpenKeyExW",
        [&first](auto real, HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key) {
            if (root == HKEY_USERS && path != nullptr && first.windowsPath() == path) {
                return static_cast<LONG>(ERROR_ACCESS_DENIED);
            }
            return real(root, path, options, access, key);
        });
    Blocks blocks = WineProfiles(L"Model X", L"USB001");
    blocks[L"P-1"] = OpenWindowsFailed(L"Model X,winspool,USB001", ERROR_ACCESS_DENIED);
    blocks[L"P-2"] = Written(L"Model X,winspool,USB001");
    EXPECT_TRACES(RunWalk(), Walk(blocks));
    EXPECT_EQ(harness::StringOf(first.device()), L"Old,winspool,LPT1:");
    EXPECT_EQ(harness::StringOf(second.device()), L"Model X,winspool,USB001");

    // The key opens but the value cannot be written. Wine's own profiles never get as
    // far as writing: the first write is P-1's.
    harness_.clearAnswers();
    harness::DeleteValue(HKEY_USERS, second.windowsPath(), L"Device");
    harness_.inject({"RegSetValueExW", 0, ERROR_ACCESS_DENIED});
    blocks[L"P-1"] = SetValueFailed(L"Model X,winspool,USB001", ERROR_ACCESS_DENIED);
    EXPECT_TRACES(RunWalk(), Walk(blocks));
    EXPECT_EQ(harness::StringOf(first.device()), L"Old,winspool,LPT1:");
    EXPECT_EQ(harness::StringOf(second.device()), L"Model X,winspool,USB001");
}

TEST_F(UserDefault, TheDevicesEntryEndsWithinWhatWasWrittenAndTheBytesLeft)
{
    MakeQueue(L"Model X");
    // "Model X," takes 16 of the 260 bytes: 244 are left, terminator included. The
    // name buffer is not cleared between profiles, so each entry also shows that no
    // text of the one before it is left behind it.
    struct Entry {
        std::wstring user;
        DWORD type;
        std::vector<BYTE> data;
        const wchar_t *device;  // null: skipped with 234
    };
    const std::wstring fits(121, L'e');
    const std::vector<Entry> entries = {
        {L"E-01 longest", REG_SZ, Bytes(fits, 244), nullptr},
        {L"E-02 unterminated", REG_BINARY, Bytes(L"winspool,USB001", 30), L"winspool,USB001"},
        {L"E-03 odd count", REG_BINARY, Bytes(L"winspool,USB001", 31), L"winspool,USB001"},
        {L"E-04 fills every byte", REG_BINARY, Bytes(std::wstring(122, L'f'), 244), nullptr},
        {L"E-05 unterminated, fits", REG_BINARY, Bytes(std::wstring(121, L'g'), 242), nullptr},
        {L"E-06 one unit too long", REG_SZ, Bytes(std::wstring(122, L'h'), 246), nullptr},
        {L"E-07 empty", REG_SZ, Bytes(L"", 2), L""},
        {L"E-08 short", REG_BINARY, Bytes(L"ab", 4), L"ab"},
        // The type is not examined: a number is read as text, a list up to its first zero.
        {L"E-09 number", REG_DWORD, Bytes(L"AB", 4), L"AB"},
        {L"E-10 number with a zero", REG_DWORD, Bytes(L"A", 4), L"A"},
        {L"E-11 list", REG_MULTI_SZ, Bytes(std::wstring(L"one\0two\0", 8), 18), L"one"},
        {L"E-12 zero inside", REG_SZ, Bytes(std::wstring(L"win\0spool", 9), 20), L"win"},
        {L"E-13 far too long", REG_SZ, Bytes(std::wstring(5000, L'x'), 10002), nullptr},
        {L"E-14 odd count as text", REG_SZ, Bytes(L"winspool,USB001", 31), L"winspool,USB001"},
    };
    std::vector<std::unique_ptr<harness::ScopedProfile>> profiles;
    Blocks blocks = WineProfiles(L"Model X", L"USB001");
    for (const Entry &entry : entries) {
        profiles.push_back(std::make_unique<harness::ScopedProfile>(entry.user, L"Model X", nullptr));
        ASSERT_TRUE(harness::SetValue(HKEY_USERS, profiles.back()->devicesPath(), L"Model X", entry.type,
                                      entry.data.data(), static_cast<DWORD>(entry.data.size())));
    }
    ASSERT_TRUE(ListedBefore(entries.front().user, entries.back().user));
    // The longest entry that fits, first; those that fit exactly 121 units write 260 bytes.
    const std::map<std::wstring, std::wstring> fitting = {
        {L"E-01 longest", fits}, {L"E-05 unterminated, fits", std::wstring(121, L'g')}};
    std::vector<std::vector<BYTE>> writes;  // in the walk's order, each with its terminator
    for (const Entry &entry : entries) {
        const auto found = fitting.find(entry.user);
        if (found != fitting.end()) {
            blocks[entry.user] = Written(L"Model X," + found->second);
            writes.push_back(WithTerminator(L"Model X," + found->second));
        } else if (entry.device != nullptr) {
            blocks[entry.user] = Written(L"Model X," + std::wstring(entry.device));
            writes.push_back(WithTerminator(L"Model X," + std::wstring(entry.device)));
        } else {
            blocks[entry.user] = QueryFailed(L"Model X", ERROR_MORE_DATA);
        }
    }
    EXPECT_TRACES(RunWalk(), Walk(blocks));
    // Wine terminates a REG_SZ on read whatever was written: the bytes handed over tell.
    std::vector<std::vector<BYTE>> handedOver;
    for (const harness::Call &call : harness_.log("RegSetValueExW")) {
        handedOver.push_back(call.data);
    }
    EXPECT_EQ(handedOver, writes);

    for (size_t index = 0; index < entries.size(); ++index) {
        const harness::RegValue device = profiles[index]->device();
        const auto found = fitting.find(entries[index].user);
        if (found != fitting.end()) {
            EXPECT_EQ(device.data.size(), 260u) << harness::Narrow(entries[index].user);
            EXPECT_EQ(harness::StringOf(device), L"Model X," + found->second);
        } else if (entries[index].device != nullptr) {
            const std::wstring text = L"Model X," + std::wstring(entries[index].device);
            EXPECT_EQ(device.type, static_cast<DWORD>(REG_SZ));
            EXPECT_EQ(device.data.size(), (text.size() + 1) * sizeof(wchar_t))
                << harness::Narrow(entries[index].user);
            EXPECT_EQ(harness::StringOf(device), text);
        } else {
            EXPECT_EQ(device.type, 0u) << harness::Narrow(entries[index].user) << " is not written";
        }
    }
}

TEST_F(UserDefault, AUserKeyNameTooLongForTheKeyPathSkipsThatProfile)
{
    MakeQueue(L"Model X");
    // The 53 fixed units of a profile key path and a terminator leave 206 for the name.
    const std::wstring fits = L"S-1-5-21-" + std::wstring(206 - 9, L'\u00C9');
    const std::wstring tooLong(207, L'v');
    std::wstring longest = L"S-1-5-21-";
    while (longest.size() < 255) {
        longest += L"%s";
    }
    longest.resize(255);
    harness::ScopedProfile a(fits, L"Model X", L"winspool,USB001");
    harness::ScopedProfile b(tooLong, L"Model X", L"winspool,USB001");
    harness::ScopedProfile c(longest, L"Model X", L"winspool,USB001");
    ASSERT_TRUE(harness::KeyExists(HKEY_USERS, c.devicesPath()));
    const harness::RegSnapshot before = harness::Snapshot(HKEY_USERS);

    Blocks blocks = WineProfiles(L"Model X", L"USB001");
    blocks[fits] = Written(L"Model X,winspool,USB001");
    blocks[tooLong] = UserKeyTooLong(L"Model X");
    blocks[longest] = UserKeyTooLong(L"Model X");
    EXPECT_TRACES(RunWalk(), Walk(blocks));
    EXPECT_EQ(harness::StringOf(a.device()), L"Model X,winspool,USB001");
    // Only the profile whose name fits is written.
    EXPECT_EQ(harness::Diff(before, harness::Snapshot(HKEY_USERS)),
              std::vector<std::wstring>{DiffLine(fits, L"Model X,winspool,USB001")});
}

TEST_F(UserDefault, AQueueNameTakesAtMost128UnitsOfTheFullName)
{
    // 128 units, the comma and the terminator fill the 260 bytes: only an empty entry fits.
    std::wstring queue128;
    while (queue128.size() < 128) {
        queue128 += L"Q\u00DC";
    }
    MakeQueue(queue128);
    harness::ScopedProfile empty(L"Q-1", queue128, L"");
    harness::ScopedProfile entry(L"Q-2", queue128, L"winspool,USB001");
    Blocks blocks = {{kDefaultUser, NoDevicesKey(queue128, kDefaultUser)},
                     {kCurrentUser, QueryFailed(queue128, ERROR_MORE_DATA)},
                     {L"Q-1", Written(queue128 + L",")},
                     {L"Q-2", QueryFailed(queue128, ERROR_MORE_DATA)}};
    EXPECT_TRACES(RunWalk(), Walk(blocks));
    EXPECT_EQ(empty.device().data.size(), 260u);
    EXPECT_EQ(harness::StringOf(empty.device()), queue128 + L",");
    EXPECT_EQ(entry.device().type, 0u);

    // One more unit: no profile gets further than its separator.
    const std::wstring queue129 = queue128 + L"R";
    MakeQueue(queue129);
    harness::ScopedProfile another(L"Q-3", queue129, L"");
    blocks.clear();
    for (const std::wstring &user : harness::SubkeyNames(HKEY_USERS, L"")) {
        blocks[user] = Skipped();
    }
    EXPECT_TRACES(RunWalk(), Walk(blocks));
    EXPECT_EQ(another.device().type, 0u);
    EXPECT_EQ(harness::StringOf(empty.device()), queue128 + L",") << "left as it was";
    EXPECT_EQ(harness_.calls("RegOpenKeyExW"), 2) << "the device key and HKEY_USERS only";
    EXPECT_EQ(harness_.calls("RegQueryValueExW"), 2) << "only the device's PortName is read";
}

TEST_F(UserDefault, OnlyAFailedEnumerationEndsTheWalk)
{
    MakeQueue(L"Model X");
    harness::ScopedProfile profile(L"S-1-5-21-1-2-3-500", L"Model X", L"winspool,USB001");
    const Blocks blocks = WineProfiles(L"Model X", L"USB001");

    // HKEY_USERS itself cannot be opened (the device key was the first open).
    harness_.inject({"RegOpenKeyExW", 1, ERROR_ACCESS_DENIED});
    EXPECT_TRACES(RunWalk(), Traces{Line(L"RegOpenKeyEx(HKEY_USERS) : failed. GetLastError() = 5\n")});
    EXPECT_EQ(harness_.calls("RegEnumKeyExW"), 0);

    // The second subkey's name cannot be read: the walk ends after the first.
    harness_.clearFaults();
    harness_.inject({"RegEnumKeyExW", 1, ERROR_MORE_DATA});
    const std::wstring firstUser = harness::SubkeyNames(HKEY_USERS, L"").front();
    ASSERT_EQ(blocks.count(firstUser), 1u);
    const Traces expected = Concat({{Separator(firstUser)},
                                    blocks.at(firstUser),
                                    {Line(L"RegEnumKeyEx(1) : failed. GetLastError() = 234\n")}});
    EXPECT_TRACES(RunWalk(), expected);
    EXPECT_EQ(profile.device().type, 0u);
}

// A registry call that answers success without doing anything: HKEY_USERS, a
// Devices key or a Windows key "opened" with no key, the last enumeration "listing"
// no name. Each is met on no key, or with the name the buffer still holds.
TEST_F(UserDefault, ARegistryThatAnswersSuccessWithoutDoingAnything)
{
    MakeQueue(L"Model X");
    harness::ScopedProfile profile(L"P-1", L"Model X", L"winspool,USB001");
    RunWalk();
    // The place of each call in an undisturbed pass.
    const auto openOf = [this](const std::wstring &path) {
        const std::vector<harness::Call> opens = harness_.log("RegOpenKeyExW");
        const auto found = std::find_if(opens.begin(), opens.end(),
                                        [&path](const harness::Call &call) { return call.name == path; });
        return static_cast<int>(found - opens.begin());
    };
    const int usersOpen = openOf(L"");
    const int devicesOpen = openOf(profile.devicesPath());
    const int windowsOpen = openOf(profile.windowsPath());
    const int lastEnum = static_cast<int>(harness_.log("RegEnumKeyExW").size()) - 1;
    const std::wstring lastUser = harness::SubkeyNames(HKEY_USERS, L"").back();
    Blocks blocks = WineProfiles(L"Model X", L"USB001");
    blocks[L"P-1"] = Written(L"Model X,winspool,USB001");

    harness_.inject({"RegOpenKeyExW", usersOpen, NO_ERROR});
    EXPECT_TRACES(RunWalk(), Traces{Line(L"RegEnumKeyEx(0) : failed. GetLastError() = 6\n")});

    harness_.clearFaults();
    harness_.inject({"RegOpenKeyExW", devicesOpen, NO_ERROR});
    Blocks noDevicesKey = blocks;
    noDevicesKey[L"P-1"] = QueryFailed(L"Model X", ERROR_INVALID_HANDLE);
    EXPECT_TRACES(RunWalk(), Walk(noDevicesKey));

    harness_.clearFaults();
    harness::DeleteValue(HKEY_USERS, profile.windowsPath(), L"Device");
    harness_.inject({"RegOpenKeyExW", windowsOpen, NO_ERROR});
    Blocks noWindowsKey = blocks;
    noWindowsKey[L"P-1"] = SetValueFailed(L"Model X,winspool,USB001", ERROR_INVALID_HANDLE);
    EXPECT_TRACES(RunWalk(), Walk(noWindowsKey));
    EXPECT_EQ(profile.device().type, 0u);

    // The walk takes the last name once more, and ends one index later.
    harness_.clearFaults();
    harness_.inject({"RegEnumKeyExW", lastEnum, NO_ERROR});
    Traces expected = Walk(blocks);
    expected.pop_back();
    expected = Concat({expected,
                       {Separator(lastUser)},
                       blocks.at(lastUser),
                       {Line(L"RegEnumKeyEx(" + Dec(static_cast<DWORD>(lastEnum) + 1) +
                             L") : failed. GetLastError() = 259\n")}});
    EXPECT_TRACES(RunWalk(), expected);
}

TEST_F(UserDefault, ProfilesThatComeAndGoDuringTheWalkAreSeenAsTheRegistryListsThem)
{
    MakeQueue(L"Model X");
    const std::wstring full = L"Model X,winspool,USB001";
    const std::wstring b = L"VELDRIAN-WALK-B";
    const std::wstring c = L"VELDRIAN-WALK-C";
    const std::wstring d = L"VELDRIAN-WALK-D";
    const std::wstring f = L"VELDRIAN-WALK-F";
    std::vector<std::unique_ptr<harness::ScopedProfile>> profiles;
    const auto makeProfiles = [&] {
        profiles.clear();
        for (const std::wstring &name : {b, d, f}) {
            profiles.push_back(
                std::make_unique<harness::ScopedProfile>(name, L"Model X", L"winspool,USB001"));
        }
    };
    const auto index = [](const std::wstring &name) {
        const std::vector<std::wstring> names = harness::SubkeyNames(HKEY_USERS, L"");
        return static_cast<DWORD>(std::find(names.begin(), names.end(), name) - names.begin());
    };
    const auto has = [](const Traces &traces, const std::wstring &line) {
        return std::find(traces.begin(), traces.end(), line) != traces.end();
    };
    const auto device = [](const std::wstring &name) {
        return harness::StringOf(
            harness::GetValue(HKEY_USERS, name + L"\\" + harness::kWindowsPath, L"Device"));
    };
    // The registry changes under the walk: `before` runs ahead of the enumeration of
    // each index, `after` behind each name it lists.
    using Enum = decltype(&RegEnumKeyExW);
    const auto changeWalk = [this](const std::function<void(DWORD)> &before,
                                   const std::function<void(const std::wstring &)> &after) {
        harness_.answer<Enum>("RegEnumKeyExW", [before, after](Enum real, HKEY key, DWORD at, LPWSTR name,
                                                               LPDWORD capacity, LPDWORD reserved,
                                                               LPWSTR className, LPDWORD classCapacity,
                                                               PFILETIME lastWrite) {
            if (before) {
                before(at);
            }
            const LONG result = real(key, at, name, capacity, reserved, className, classCapacity, lastWrite);
            if (result == ERROR_SUCCESS && after) {
                after(std::wstring(name, *capacity));
            }
            return result;
        });
    };

    {
        SCOPED_TRACE("a profile listed earlier vanishes: the next one moves up into its place");
        makeProfiles();
        const DWORD at = index(d);
        changeWalk(
            [&](DWORD i) {
                if (i == at) {
                    harness::DeleteKeyTree(HKEY_USERS, b);
                }
            },
            nullptr);
        const Traces traces = RunWalk();
        EXPECT_TRUE(has(traces, Separator(b)));
        EXPECT_FALSE(has(traces, Separator(d))) << "the registry listed F at D's index";
        EXPECT_EQ(device(d), L"");
        EXPECT_EQ(device(f), full);
        EXPECT_FALSE(harness::KeyExists(HKEY_USERS, b)) << "nothing is created";
    }
    {
        SCOPED_TRACE("a profile appears ahead of the walk: it is served like the others");
        makeProfiles();
        const DWORD at = index(d);
        std::unique_ptr<harness::ScopedProfile> appeared;
        changeWalk(
            [&](DWORD i) {
                if (i == at && !appeared) {
                    appeared = std::make_unique<harness::ScopedProfile>(c, L"Model X", L"winspool,USB001");
                }
            },
            nullptr);
        RunWalk();
        for (const std::wstring &name : {b, c, d, f}) {
            EXPECT_EQ(device(name), full) << harness::Narrow(name);
        }
    }
    {
        SCOPED_TRACE("a profile vanishes right after it was listed");
        makeProfiles();
        const DWORD at = index(d);
        changeWalk(nullptr, [&](const std::wstring &name) {
            if (name == d) {
                harness::DeleteKeyTree(HKEY_USERS, d);
            }
        });
        const Traces traces = RunWalk();
        EXPECT_TRUE(has(traces, NoDevicesKey(L"Model X", d)[0]));
        EXPECT_FALSE(harness::KeyExists(HKEY_USERS, d)) << "nothing is created";
        EXPECT_EQ(device(b), full);
        // F moved up into the index just taken: the next index finds the list's end.
        EXPECT_FALSE(has(traces, Separator(f)));
        EXPECT_EQ(device(f), L"");
        EXPECT_EQ(traces.back(),
                  Line(L"RegEnumKeyEx(" + Dec(at + 1) + L") : failed. GetLastError() = 259\n"));
    }
    {
        SCOPED_TRACE("a profile's Windows key vanishes between the read and the write");
        makeProfiles();
        bool armed = false;
        changeWalk(nullptr, [&](const std::wstring &name) { armed = name == d; });
        using Query = decltype(&RegQueryValueExW);
        harness_.answer<Query>("RegQueryValueExW", [&](Query real, HKEY key, LPCWSTR name, LPDWORD reserved,
                                                       LPDWORD type, LPBYTE data, LPDWORD size) {
            const LONG result = real(key, name, reserved, type, data, size);
            if (armed) {
                armed = false;
                harness::DeleteKeyTree(HKEY_USERS, d + L"\\" + harness::kWindowsPath);
            }
            return result;
        });
        const Traces traces = RunWalk();
        EXPECT_TRUE(has(traces, OpenWindowsFailed(full)[1]));
        EXPECT_FALSE(harness::KeyExists(HKEY_USERS, d + L"\\" + harness::kWindowsPath))
            << "nothing is created";
        EXPECT_EQ(device(f), full);
    }
    harness_.clearAnswers();
    profiles.clear();
    harness::DeleteKeyTree(HKEY_USERS, c);
}

}  // namespace
