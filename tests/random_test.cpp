// A seeded random run: each case builds profiles under HKEY_USERS (names, Devices
// entries of every type and size, Windows keys present or not), a PortName for a
// real installed device, a driver description, and a spooler answer, from the
// same hostile ingredients; then runs the whole post-processing and checks what
// must hold whatever the contents: no crash, every block freed and key closed,
// only Device values changed, each one the queue, a comma and that profile's
// entry, in exactly the profiles that list the queue and can take it.
//
// The run replays a fixed seed; VELDRIAN_SEED=random takes a new one, and
// VELDRIAN_SEED=<n> replays a run (or, with VELDRIAN_RANDOM_CASES=1, one case);
// VELDRIAN_RANDOM_CASES=<n> sets the number of cases.
#include "harness/harness.h"
#include "harness/platform.h"
#include "harness/spoolerreply.h"

#include <gtest/gtest.h>

#include <winspool.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>

namespace {

using harness::Narrow;

constexpr int kDefaultCases = 2000;
constexpr unsigned long long kFixedSeed = 20261208;
constexpr DWORD kFullNameBytes = 260;  // what the walk gives the full printer name
constexpr std::size_t kMaxUserKey = 206;

std::optional<unsigned long long> EnvNumber(const char *name)
{
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    return std::strtoull(text, nullptr, 0);
}

class Random {
public:
    explicit Random(unsigned long long seed) : engine_(seed) {}
    std::size_t Below(std::size_t n)
    {
        return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_);
    }
    std::size_t Between(std::size_t low, std::size_t high) { return low + Below(high - low + 1); }
    bool Chance(int percent) { return static_cast<int>(Below(100)) < percent; }
    template <typename T>
    const T &Pick(const std::vector<T> &items)
    {
        return items[Below(items.size())];
    }

private:
    std::mt19937_64 engine_;
};

const std::vector<std::wstring> kIngredients = {
    L"%",
    L"%s%n",
    L"%d",
    L"\\",
    L",",
    L"Imprimante \u00C9T\u00C9",
    L"\u6253\u5370\u673A",
    L"winspool",
    L"USB001",
    L"S-1-5-21-",
    L"x",
    L" ",
    L"\u00E9",
    L"LPT1:",
    L"\\\\srv\\q",
    L"Model X",
    L"\u00DF",
};

// A text of `length` units made of the ingredients; key names cannot hold a backslash.
std::wstring Mix(Random &random, std::size_t length, bool keyName = false)
{
    std::wstring text;
    while (text.size() < length) {
        text += random.Pick(kIngredients);
    }
    text.resize(length);
    if (keyName) {
        for (wchar_t &unit : text) {
            if (unit == L'\\') {
                unit = L'_';
            }
        }
    }
    return text;
}

// The same text in other letter cases: equal for a comparison that ignores case.
std::wstring Recase(Random &random, std::wstring text)
{
    for (wchar_t &unit : text) {
        if (random.Chance(50)) {
            CharUpperBuffW(&unit, 1);
        } else {
            CharLowerBuffW(&unit, 1);
        }
    }
    return text;
}

std::size_t Length(Random &random, std::size_t room)
{
    // Mostly short, sometimes right at the room a buffer has.
    switch (random.Below(4)) {
    case 0:
        return random.Between(room > 2 ? room - 2 : 0, room + 2);
    default:
        return random.Between(0, 24);
    }
}

// A registry value of any shape holding `text`.
harness::RegValue Shape(Random &random, const std::wstring &text)
{
    harness::RegValue value;
    auto bytes = [&](const std::wstring &units, std::size_t extra) {
        const std::wstring padded = units + std::wstring(2, L'\0');
        const BYTE *start = reinterpret_cast<const BYTE *>(padded.data());
        value.data.assign(start, start + units.size() * sizeof(wchar_t) + extra);
    };
    switch (random.Below(10)) {
    case 0:
        value.type = REG_SZ;
        bytes(text, 1);  // an odd byte count
        break;
    case 1:
        value.type = REG_BINARY;
        bytes(text, 0);  // no terminator
        break;
    case 2: {
        value.type = REG_DWORD;
        const DWORD number =
            static_cast<DWORD>(random.Below(0x10000)) | (random.Chance(50) ? 0x00410000u : 0u);
        value.data.assign(reinterpret_cast<const BYTE *>(&number),
                          reinterpret_cast<const BYTE *>(&number) + 4);
        break;
    }
    case 3:
        value.type = REG_MULTI_SZ;
        bytes(text + L'\0' + Mix(random, 3), 4);
        break;
    case 4:
        value.type = REG_SZ;  // no data at all
        break;
    case 5:
        value.type = REG_SZ;
        bytes(text.substr(0, text.size() / 2) + L'\0' + text.substr(text.size() / 2), 2);  // a zero inside
        break;
    case 6:
        value.type = REG_EXPAND_SZ;
        bytes(text, 2);
        break;
    default:
        value.type = REG_SZ;
        bytes(text, 2);
        break;
    }
    return value;
}

struct Profile {
    std::wstring name;
    bool devices = false;
    std::vector<std::pair<std::wstring, harness::RegValue>> entries;
    bool windows = false;
    std::optional<std::wstring> oldDevice;
};

enum class Spooler { Answers, Down, Grows };

struct Case {
    unsigned long long seed = 0;
    std::vector<wchar_t> description;  // the driver record's 256 units, as the platform fills them
    harness::RegValue portName;
    std::vector<harness::QueueRecord> queues;
    Spooler spooler = Spooler::Answers;
    std::vector<Profile> profiles;
};

std::string Show(const std::optional<std::wstring> &text)
{
    return text ? "\"" + Narrow(*text) + "\"" : "null";
}

std::string Describe(const Case &c)
{
    std::ostringstream out;
    out << "model \"" << Narrow(std::wstring(c.description.data(), wcsnlen(c.description.data(), 256)))
        << "\"; PortName type " << c.portName.type << ", " << c.portName.data.size() << " bytes; spooler "
        << static_cast<int>(c.spooler) << "\n";
    for (const harness::QueueRecord &queue : c.queues) {
        out << "  queue " << Show(queue.name) << " driver " << Show(queue.driver) << " port "
            << Show(queue.port) << "\n";
    }
    for (const Profile &profile : c.profiles) {
        out << "  profile \"" << Narrow(profile.name) << "\" (" << profile.name.size() << ")"
            << (profile.devices ? "" : " no Devices") << (profile.windows ? "" : " no Windows") << "\n";
        for (const auto &[name, value] : profile.entries) {
            out << "    entry \"" << Narrow(name) << "\" type " << value.type << ", " << value.data.size()
                << " bytes\n";
        }
    }
    return out.str();
}

Case Generate(unsigned long long seed, int serial)
{
    Random random(seed);
    Case c;
    c.seed = seed;

    // The model: now and then 255 units, or all 256 with no terminator.
    std::size_t modelLength =
        random.Chance(10) ? random.Between(250, 256) : random.Between(random.Chance(3) ? 0 : 1, 30);
    const std::wstring model = Mix(random, modelLength);
    c.description.assign(256, L'\0');
    std::copy(model.begin(), model.end(), c.description.begin());
    if (modelLength == 256 || random.Chance(5)) {
        for (std::size_t index = model.size(); index < 256; ++index) {
            c.description[index] = L'q';
        }
    }

    const std::wstring port = Mix(random, random.Between(random.Chance(5) ? 0 : 1, 12));
    c.portName = Shape(random, port);

    const std::size_t queueCount = random.Chance(10) ? 0 : random.Between(1, 5);
    std::vector<std::wstring> queueNames;
    for (std::size_t index = 0; index < queueCount; ++index) {
        harness::QueueRecord queue;
        if (!random.Chance(5)) {
            queue.name = Mix(random, random.Chance(15) ? random.Between(126, 131) : random.Between(1, 30));
            queueNames.push_back(*queue.name);
        }
        switch (random.Below(6)) {
        case 0:
            break;  // no driver name
        case 1:
            queue.driver = Mix(random, random.Between(0, 20));
            break;
        case 2:
            queue.driver = Recase(random, model);
            break;
        default:
            queue.driver = model;
            break;
        }
        switch (random.Below(7)) {
        case 0:
            break;  // no port name
        case 1:
            queue.port = port + L"," + Mix(random, 6);
            break;
        case 2:
            queue.port = Recase(random, port);
            break;
        case 3:
            queue.port = Mix(random, random.Between(0, 8));
            break;
        default:
            queue.port = port;
            break;
        }
        c.queues.push_back(queue);
    }
    c.spooler = random.Chance(5) ? Spooler::Down : random.Chance(4) ? Spooler::Grows : Spooler::Answers;

    const std::size_t profileCount = random.Between(0, 4);
    for (std::size_t index = 0; index < profileCount; ++index) {
        Profile profile;
        const std::wstring stem =
            L"VR" + std::to_wstring(serial % 1000) + L"-" + std::to_wstring(index) + L"-";
        std::size_t length = random.Chance(15) ? random.Pick(std::vector<std::size_t>{205, 206, 207, 255})
                                               : stem.size() + random.Between(0, 30);
        profile.name = stem + Mix(random, length - stem.size(), true);
        profile.devices = !random.Chance(15);
        if (profile.devices) {
            for (const std::wstring &queue : queueNames) {
                if (random.Chance(70)) {
                    const std::size_t used = 2 * (queue.size() + 1);
                    const std::size_t room = used < kFullNameBytes ? (kFullNameBytes - used) / 2 : 1;
                    profile.entries.emplace_back(queue, Shape(random, Mix(random, Length(random, room))));
                }
            }
            if (random.Chance(30)) {
                profile.entries.emplace_back(Mix(random, 8), Shape(random, Mix(random, 10)));
            }
        }
        profile.windows = !random.Chance(15);
        if (profile.windows && random.Chance(50)) {
            profile.oldDevice = Mix(random, random.Between(0, 40));
        }
        c.profiles.push_back(profile);
    }
    return c;
}

// The driver record as the platform fills it, with the case's description.
harness::Answer<decltype(&SetupDiGetSelectedDriverW)> DriverWith(const Case &c)
{
    return [&c](auto real, HDEVINFO set, PSP_DEVINFO_DATA device, PSP_DRVINFO_DATA_W driver) {
        const BOOL ok = real(set, device, driver);
        if (ok) {
            std::copy(c.description.begin(), c.description.end(), driver->Description);
        }
        return ok;
    };
}

// ---- What the case must end in ----

// A value as the library's query gets it into a buffer of `room` bytes: the text up
// to its terminator within what was written, or nothing when the query fails or
// the text leaves no room for a terminator.
std::optional<std::wstring> AsText(HKEY root, const std::wstring &path, const std::wstring &name, DWORD room)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::vector<BYTE> buffer(room + 2);
    DWORD size = room;
    DWORD type = 0;
    const LONG result = RegQueryValueExW(key, name.c_str(), nullptr, &type, buffer.data(), &size);
    RegCloseKey(key);
    if (result != ERROR_SUCCESS) {
        return std::nullopt;
    }
    const std::size_t written = std::min(size, room) / sizeof(wchar_t);
    const auto *units = reinterpret_cast<const wchar_t *>(buffer.data());
    const std::size_t length = wcsnlen(units, written);
    if (length >= room / sizeof(wchar_t)) {
        return std::nullopt;
    }
    return std::wstring(units, length);
}

// The port as the library reads it: null when the value has no data.
std::optional<std::wstring> PortText(const std::wstring &path)
{
    HKEY key = nullptr;
    DWORD size = 0;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    RegQueryValueExW(key, L"PortName", nullptr, nullptr, nullptr, &size);
    std::vector<BYTE> buffer(size + 2, 0);
    RegQueryValueExW(key, L"PortName", nullptr, nullptr, buffer.data(), &size);
    RegCloseKey(key);
    if (size == 0) {
        return std::nullopt;
    }
    const auto *units = reinterpret_cast<const wchar_t *>(buffer.data());
    return std::wstring(units, wcsnlen(units, size / sizeof(wchar_t)));
}

// The queue the pass must find, or none.
std::optional<std::wstring> ExpectedQueue(const Case &c, const std::optional<std::wstring> &port)
{
    const std::wstring model(c.description.data(), wcsnlen(c.description.data(), 255));
    if (model.empty() || !port || c.spooler != Spooler::Answers) {
        return std::nullopt;
    }
    for (const harness::QueueRecord &queue : c.queues) {
        if (queue.driver && queue.port && lstrcmpiW(model.c_str(), queue.driver->c_str()) == 0 &&
            lstrcmpiW(port->c_str(), queue.port->c_str()) == 0) {
            return queue.name;  // the first match ends the search, named or not
        }
    }
    return std::nullopt;
}

// The Device value of each subkey of HKEY_USERS before the pass, and the one it
// must hold after it.
struct DeviceValue {
    harness::RegValue before, after;
};
std::map<std::wstring, DeviceValue> ExpectedDevices(const std::optional<std::wstring> &queue)
{
    std::map<std::wstring, DeviceValue> expected;
    for (const std::wstring &user : harness::SubkeyNames(HKEY_USERS, L"")) {
        DeviceValue &device = expected[user];
        device.before = harness::GetValue(HKEY_USERS, user + L"\\" + harness::kWindowsPath, L"Device");
        device.after = device.before;
        const std::size_t queueBytes = queue ? 2 * (queue->size() + 1) : 0;
        if (queue && queueBytes + 2 <= kFullNameBytes && user.size() <= kMaxUserKey &&
            harness::KeyExists(HKEY_USERS, user + L"\\" + harness::kWindowsPath)) {
            const auto entry = AsText(HKEY_USERS, user + L"\\" + harness::kDevicesPath, *queue,
                                      kFullNameBytes - static_cast<DWORD>(queueBytes));
            if (entry) {
                const std::wstring full = *queue + L"," + *entry;
                const BYTE *start = reinterpret_cast<const BYTE *>(full.c_str());
                device.after.type = REG_SZ;
                device.after.data.assign(start, start + (full.size() + 1) * sizeof(wchar_t));
            }
        }
    }
    return expected;
}

class RandomRun : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(harness::Veldrian(), nullptr);
        device_ = std::make_unique<harness::ScopedDevice>(
            harness::PrinterInf({{L"Random Model", L"VELDRIAN\\RANDOM", L"USB001"}}), L"VELDRIAN\\RANDOM",
            true);
        ASSERT_TRUE(device_->ok()) << device_->failure();
    }

    // Makes the case's profiles; returns false when the registry refused one.
    bool Build(const Case &c)
    {
        if (!harness::SetValue(HKEY_LOCAL_MACHINE, device_->parametersPath(), L"PortName", c.portName.type,
                               c.portName.data.data(), static_cast<DWORD>(c.portName.data.size()))) {
            return false;
        }
        for (const Profile &profile : c.profiles) {
            bool ok = harness::CreateKey(HKEY_USERS, profile.name);
            const std::wstring devices = profile.name + L"\\" + harness::kDevicesPath;
            const std::wstring windows = profile.name + L"\\" + harness::kWindowsPath;
            if (profile.devices) {
                ok = ok && harness::CreateKey(HKEY_USERS, devices);
                for (const auto &[name, value] : profile.entries) {
                    ok = ok && harness::SetValue(HKEY_USERS, devices, name, value.type, value.data.data(),
                                                 static_cast<DWORD>(value.data.size()));
                }
            }
            if (profile.windows) {
                ok = ok && harness::CreateKey(HKEY_USERS, windows);
                if (profile.oldDevice) {
                    ok = ok && harness::SetString(HKEY_USERS, windows, L"Device", *profile.oldDevice);
                }
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

    static void Clean(const Case &c)
    {
        for (const Profile &profile : c.profiles) {
            harness::DeleteKeyTree(HKEY_USERS, profile.name);
        }
    }

    std::unique_ptr<harness::ScopedDevice> device_;
};

TEST_F(RandomRun, PostProcessingKeepsItsInvariantsOnGeneratedRegistriesAndQueueLists)
{
    // A fixed seed, so that every run (CI's too) replays the same cases; a new one on request.
    const char *seedText = std::getenv("VELDRIAN_SEED");
    const bool randomSeed = seedText != nullptr && std::string(seedText) == "random";
    const unsigned long long base =
        randomSeed
            ? static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count()) %
                  1000000007ULL
            : EnvNumber("VELDRIAN_SEED").value_or(kFixedSeed);
    const int cases = static_cast<int>(EnvNumber("VELDRIAN_RANDOM_CASES").value_or(kDefaultCases));
    std::cout << "[ random   ] seed " << base << ", " << cases << " cases; replay with VELDRIAN_SEED=" << base
              << std::endl;

    const harness::RegSnapshot usersBefore = harness::Snapshot(HKEY_USERS);
    const auto started = std::chrono::steady_clock::now();
    int run = 0;
    int found = 0;
    int written = 0;
    for (int serial = 0; serial < cases && !HasFailure(); ++serial) {
        const Case c = Generate(base + static_cast<unsigned long long>(serial), serial);
        const std::string replay = "case " + std::to_string(serial) +
                                   ": replay it alone with VELDRIAN_SEED=" + std::to_string(c.seed) +
                                   " VELDRIAN_RANDOM_CASES=1\n" + Describe(c);
        SCOPED_TRACE(replay);
        if (!Build(c)) {
            Clean(c);
            ADD_FAILURE() << "the registry refused the case's profiles";
            break;
        }
        std::map<std::wstring, harness::RegSnapshot> before;
        for (const Profile &profile : c.profiles) {
            before[profile.name] = harness::Snapshot(HKEY_USERS, profile.name);
        }
        const std::optional<std::wstring> queue = ExpectedQueue(c, PortText(device_->parametersPath()));
        const std::map<std::wstring, DeviceValue> expected = ExpectedDevices(queue);

        std::vector<std::wstring> traces;
        {
            harness::Interposer interposer;
            interposer.useGuardPages(true);
            harness::SpoolerReply spooler;
            spooler.queues = c.queues;
            if (c.spooler == Spooler::Down) {
                spooler.failure = RPC_S_SERVER_UNAVAILABLE;
            } else if (c.spooler == Spooler::Grows) {
                spooler.appearing = {harness::QueueRecord{L"Appearing", L"Appearing", L"USB999"}};
            }
            interposer.answer<decltype(&EnumPrintersW)>("EnumPrintersW", harness::SpoolerAnswer(spooler));
            interposer.answer<decltype(&SetupDiGetSelectedDriverW)>("SetupDiGetSelectedDriverW",
                                                                    DriverWith(c));
            EXPECT_EQ(harness::CallEntry(DIF_INSTALLDEVICE, device_->set(), device_->data(), TRUE),
                      static_cast<DWORD>(NO_ERROR));
            EXPECT_EQ(interposer.outstandingBlocks(), 0) << "a block outlived the call";
            EXPECT_EQ(interposer.openKeys(), 0) << "a key outlived the call";
            traces = interposer.traces();
        }
        ++run;
        found += queue ? 1 : 0;

        // Exactly the profiles that list the queue and can take it get it.
        for (const auto &[user, device] : expected) {
            const std::wstring windows = user + L"\\" + harness::kWindowsPath;
            const harness::RegValue now = harness::GetValue(HKEY_USERS, windows, L"Device");
            EXPECT_TRUE(now == device.after)
                << "Device of " << Narrow(user) << " is \"" << Narrow(harness::StringOf(now)) << "\" (type "
                << now.type << "), expected \"" << Narrow(harness::StringOf(device.after)) << "\" (type "
                << device.after.type << ")";
            written += device.after == device.before ? 0 : 1;
            if (!before.contains(user) && !(now == device.before)) {
                // A profile that was there before the run is put back as it was.
                win32::RestoreValue(HKEY_USERS, windows, L"Device",
                                    device.before.type == 0 ? std::nullopt : std::optional(device.before));
            }
        }
        // Nothing but the Device value changes in any of the case's profiles.
        for (const Profile &profile : c.profiles) {
            harness::RegSnapshot wanted = before[profile.name];
            const DeviceValue &device = expected.at(profile.name);
            if (!(device.after == device.before)) {
                wanted[profile.name + L"\\" + harness::kWindowsPath][L"Device"] = device.after;
            }
            const std::vector<std::wstring> diff =
                harness::Diff(wanted, harness::Snapshot(HKEY_USERS, profile.name));
            EXPECT_TRUE(diff.empty()) << Narrow(diff.empty() ? L"" : diff.front());
        }
        for (const std::wstring &line : traces) {
            EXPECT_EQ(line.rfind(L"VELDRIAN : ", 0), 0u) << Narrow(line);
        }
        EXPECT_EQ(queue.has_value(),
                  std::any_of(
                      traces.begin(), traces.end(),
                      [](const std::wstring &line) { return line.rfind(L"VELDRIAN : FOUND : ", 0) == 0; }) &&
                      !std::any_of(traces.begin(), traces.end(),
                                   [](const std::wstring &line) {
                                       return line.rfind(L"VELDRIAN : Unable to found Printer", 0) == 0;
                                   }))
            << "a queue is found exactly when one matches";
        Clean(c);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::cout << "[ random   ] " << run << " cases run in " << seconds << " s: a queue found in " << found
              << ", " << written << " Device values written" << std::endl;
    EXPECT_EQ(harness::Diff(usersBefore, harness::Snapshot(HKEY_USERS)), std::vector<std::wstring>{})
        << "HKEY_USERS is left as it was found";
    EXPECT_EQ(run, cases);
}

}  // namespace
