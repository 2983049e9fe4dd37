// The installation host, veldrian-install, run as its own process on the example
// package and on packages of the tests' own: the trace it shows, the default printer
// each profile ends with, its errors, and the Wine prefix it leaves behind.
#include "harness/childprocess.h"
#include "harness/harness.h"
#include "harness/iat.h"
#include "harness/platform.h"
#include "win32/dbwin.h"
#include "win32/files.h"
#include "win32/paths.h"
#include "win32/registry.h"
#include "win32/wine.h"

#include <gtest/gtest.h>

#include <winspool.h>

#include <algorithm>
#include <map>
#include <optional>
#include <regex>
#include <set>

namespace {

const wchar_t *const kPrinterClassKey = win32::kPrinterClassPath;
const std::wstring kRootPrinters = std::wstring(win32::kEnumPath) + L"ROOT\\PRINTER";
const wchar_t *const kPrint = win32::kPrintPath;
const char kRule[] = "===========================================";

std::wstring WindowsFormOf(const std::string &path)
{
    return harness::Wide(win32::WindowsPath(path));
}

std::wstring HostPath()
{
    char value[MAX_PATH * 2] = {};
    GetEnvironmentVariableA("VELDRIAN_INSTALL", value, sizeof(value));
    return WindowsFormOf(value);
}

std::wstring SystemDirectory()
{
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

std::wstring WindowsDirectory()
{
    wchar_t path[MAX_PATH] = {};
    GetWindowsDirectoryW(path, MAX_PATH);
    return path;
}

std::string Replaced(std::string text, const std::string &from, const std::string &to)
{
    const std::size_t at = text.find(from);
    if (at != std::string::npos) {
        text.replace(at, from.size(), to);
    }
    return text;
}

// The DLL's bytes with its header's machine set to x86: a 32-bit DLL to 64-bit Windows.
std::string Machine32(std::string dll)
{
    const auto lfanew = *reinterpret_cast<const LONG *>(dll.data() + offsetof(IMAGE_DOS_HEADER, e_lfanew));
    const WORD machine = IMAGE_FILE_MACHINE_I386;
    memcpy(dll.data() + lfanew + sizeof(DWORD), &machine, sizeof(machine));
    return dll;
}

// What one run of the host printed, and how it ended.
struct HostRun : harness::ProgramRun {

    // The trace as shown: each line that opens with the prefix, and the rules that
    // a profile's message carries on a line of its own.
    std::vector<std::string> trace() const
    {
        std::vector<std::string> lines;
        for (const std::string &line : harness::Lines(out)) {
            if (line.rfind("VELDRIAN : ", 0) == 0 || line == kRule) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    // The table row of a profile: its Device value before and after, as shown.
    std::vector<std::string> row(const std::string &profile) const
    {
        for (const std::string &line : harness::Lines(out)) {
            if (line.rfind(profile + " ", 0) == 0) {
                std::vector<std::string> cells;
                std::size_t at = profile.size();
                while (at < line.size()) {
                    const std::size_t start = line.find_first_not_of(" *", at);
                    if (start == std::string::npos) {
                        break;
                    }
                    std::size_t end = line.find("  ", start);
                    end = end == std::string::npos ? line.size() : end;
                    cells.push_back(line.substr(start, end - start));
                    at = end;
                }
                return cells;
            }
        }
        return {};
    }

    bool says(const std::string &text) const { return out.find(text) != std::string::npos; }
};

constexpr DWORD kHostTimeoutMs = 120000;

HostRun RunHostProgram(const std::wstring &program, const std::vector<std::wstring> &arguments,
                       const std::wstring &directory = L"")
{
    return {harness::RunProgram(program, arguments, kHostTimeoutMs, directory)};
}

HostRun RunHost(const std::vector<std::wstring> &arguments, const std::wstring &directory = L"")
{
    return RunHostProgram(HostPath(), arguments, directory);
}

std::wstring ExampleInf()
{
    const std::wstring host = HostPath();
    return host.substr(0, host.find_last_of(L'\\') + 1) + L"examples\\VELDRIAN-example.inf";
}

std::set<std::wstring> FileNames(const std::wstring &directory)
{
    std::set<std::wstring> names;
    for (const win32::FolderEntry &entry : win32::ListFolder(directory)) {
        names.insert(entry.name);
    }
    return names;
}

// What a run may touch in the Wine prefix.
struct PrefixState {
    harness::RegSnapshot users, devices, driverKeys, spooler, journal;
    std::string systemDll;
    bool systemDllExists = false;
    std::set<std::wstring> infFiles, tempFiles, spoolDrivers, spoolX64, systemDrivers;

    static PrefixState Take()
    {
        PrefixState state;
        state.users = harness::Snapshot(HKEY_USERS);
        state.devices = harness::Snapshot(HKEY_LOCAL_MACHINE, kRootPrinters);
        state.driverKeys = harness::Snapshot(HKEY_LOCAL_MACHINE, kPrinterClassKey);
        state.spooler = harness::Snapshot(HKEY_LOCAL_MACHINE, kPrint);
        const std::wstring dll = SystemDirectory() + L"\\VELDRIAN.dll";
        state.systemDllExists = GetFileAttributesW(dll.c_str()) != INVALID_FILE_ATTRIBUTES;
        state.systemDll = win32::ReadWholeFile(dll);
        state.infFiles = FileNames(WindowsDirectory() + L"\\inf");
        state.tempFiles = FileNames(harness::TempDirectory());
        state.spoolDrivers = FileNames(SystemDirectory() + L"\\spool\\drivers\\x64\\3");
        state.spoolX64 = FileNames(SystemDirectory() + L"\\spool\\drivers\\x64");
        state.systemDrivers = FileNames(SystemDirectory() + L"\\drivers");
        state.journal = harness::Snapshot(HKEY_LOCAL_MACHINE, L"Software\\VELDRIAN");
        return state;
    }

    // One line per difference, for a readable assertion.
    std::vector<std::string> differencesFrom(const PrefixState &before) const
    {
        std::vector<std::string> lines;
        auto registry = [&](const char *what, const harness::RegSnapshot &a, const harness::RegSnapshot &b) {
            for (const std::wstring &line : harness::Diff(a, b)) {
                lines.push_back(std::string(what) + ": " + harness::Narrow(line));
            }
        };
        registry("HKEY_USERS", before.users, users);
        registry("devices", before.devices, devices);
        registry("driver keys", before.driverKeys, driverKeys);
        registry("spooler", before.spooler, spooler);
        registry("journal", before.journal, journal);
        if (before.systemDllExists != systemDllExists || before.systemDll != systemDll) {
            lines.push_back("system32\\VELDRIAN.dll differs");
        }
        auto files = [&](const char *what, const std::set<std::wstring> &a, const std::set<std::wstring> &b) {
            for (const std::wstring &name : b) {
                if (!a.contains(name)) {
                    lines.push_back(std::string(what) + ": added " + harness::Narrow(name));
                }
            }
            for (const std::wstring &name : a) {
                if (!b.contains(name)) {
                    lines.push_back(std::string(what) + ": removed " + harness::Narrow(name));
                }
            }
        };
        files("inf", before.infFiles, infFiles);
        files("temp", before.tempFiles, tempFiles);
        files("spool drivers", before.spoolDrivers, spoolDrivers);
        files("spool x64", before.spoolX64, spoolX64);
        files("system32 drivers", before.systemDrivers, systemDrivers);
        return lines;
    }
};

// Matches each expected pattern to the line at the same place.
void ExpectLines(const std::vector<std::string> &lines, std::size_t from,
                 const std::vector<std::string> &patterns)
{
    ASSERT_LE(from + patterns.size(), lines.size());
    for (std::size_t index = 0; index < patterns.size(); ++index) {
        EXPECT_TRUE(std::regex_match(lines[from + index], std::regex(patterns[index])))
            << "line " << from + index << ": " << lines[from + index] << "\n  expected: " << patterns[index];
    }
}

std::size_t Find(const std::vector<std::string> &lines, const std::string &line, std::size_t from = 0)
{
    const auto found = std::find(lines.begin() + static_cast<std::ptrdiff_t>(std::min(from, lines.size())),
                                 lines.end(), line);
    return static_cast<std::size_t>(found - lines.begin());
}

// An INF of the tests' own that registers VELDRIAN as the example does, for a
// model that writes a port and one that writes none, and a model that does not
// register VELDRIAN at all. Written where no VELDRIAN.dll
// lies, so that the host must stage the DLL under test for it.
class TestPackage {
public:
    TestPackage()
        : directory_(harness::TempDirectory() + L"install-test-package-" +
                     std::to_wstring(GetCurrentProcessId())),
          path_(directory_ + L"\\testpackage.inf")
    {
        CreateDirectoryW(directory_.c_str(), nullptr);
        const std::wstring inf =
            L"[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\nClassGUID=" +
            std::wstring(win32::kPrinterClassText) +
            L"\r\nProvider=Tests\r\n"
            L"[Manufacturer]\r\nTests=Models,NTamd64\r\n"
            L"[Models.NTamd64]\r\n\"Model X\"=PortModel,TESTS\\PORTMODEL\r\n\"Model "
            L"Y\"=NoPortModel,TESTS\\NOPORT\r\n"
            L"\"Model Z\"=Unregistered,TESTS\\UNREGISTERED\r\n"
            L"[PortModel]\r\n[PortModel.CoInstallers]\r\nCopyFiles=Veldrian.Copy\r\nAddReg=Veldrian.Reg\r\n"
            L"[PortModel.HW]\r\nAddReg=PortModel.HW.Reg\r\n[PortModel.HW.Reg]\r\nHKR,,PortName,,"
            L"\"USB042\"\r\n"
            L"[NoPortModel]\r\n[NoPortModel.CoInstallers]\r\nCopyFiles=Veldrian.Copy\r\nAddReg=Veldrian."
            L"Reg\r\n"
            L"[Unregistered]\r\n[Unregistered.HW]\r\nAddReg=Unregistered.HW.Reg\r\n"
            L"[Unregistered.HW.Reg]\r\nHKR,,PortName,,\"USB043\"\r\n"
            L"[Veldrian.Copy]\r\nVELDRIAN.dll\r\n"
            L"[Veldrian.Reg]\r\nHKR,,CoInstallers32,0x00010000,\"VELDRIAN.dll,CoInstallerE\"\r\n"
            L"[DestinationDirs]\r\nVeldrian.Copy=11\r\n"
            L"[SourceDisksNames]\r\n1=\"Tests\",,,\r\n[SourceDisksFiles]\r\nVELDRIAN.dll=1\r\n";
        harness::WriteUtf16File(path_, inf);
    }
    ~TestPackage()
    {
        DeleteFileW(path_.c_str());
        RemoveDirectoryW(directory_.c_str());
    }
    TestPackage(const TestPackage &) = delete;
    TestPackage &operator=(const TestPackage &) = delete;
    const std::wstring &path() const { return path_; }

private:
    std::wstring directory_;
    std::wstring path_;
};

class InstallHost : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(HostPath().empty()) << "VELDRIAN_INSTALL names the host";
        // The current user lists every new queue: its Windows key must be there.
        ASSERT_TRUE(windowsKey_.exists());
        before_ = PrefixState::Take();
    }

    void ExpectPrefixAsFound()
    {
        const std::vector<std::string> differences = PrefixState::Take().differencesFrom(before_);
        EXPECT_TRUE(differences.empty()) << testing::PrintToString(differences);
    }

    void ExpectBadRuns(const TestPackage &package);

    std::wstring dll_ = harness::VeldrianPath();
    PrefixState before_;
    harness::CurrentUserWindowsKey windowsKey_;
};

TEST_F(InstallHost, ExamplePackageMakesTheListingProfileDefaultAndLeavesThePrefixAsFound)
{
    // No options: the bundled example, the demonstration profiles, VELDRIAN.dll beside the host.
    const HostRun run = RunHost({});
    ASSERT_EQ(run.exitCode, 0u) << run.err << run.out;
    EXPECT_EQ(run.err, "");

    const std::vector<std::string> trace = run.trace();
    // newdev sends the requests in Windows' order: VELDRIAN, registered for
    // DIF_REGISTER_COINSTALLERS, is first called at DIF_INSTALLINTERFACES, and the
    // post-processing comes at the end of DIF_INSTALLDEVICE, once the queue exists.
    ExpectLines(
        trace, 0,
        {"VELDRIAN : DIF_INSTALLINTERFACES", "VELDRIAN : DIF_INSTALLDEVICE",
         "VELDRIAN : DIF_INSTALLDEVICE PostProcessing",
         "VELDRIAN : GetPrinterModelName\\(\\) : Model Name = \"Model X\"",
         "VELDRIAN : Device Instance ID = ROOT\\\\PRINTER\\\\[0-9]{4}", "VELDRIAN : PortName = USB001",
         "VELDRIAN : EnumPrinters\\(0\\) return ERROR_INSUFFICIENT_BUFFER \\([1-9][0-9]*\\)",
         "VELDRIAN : GlobalAlloc\\(GMEM_FIXED, [1-9][0-9]*\\) succeeded",
         "VELDRIAN : EnumPrinters\\(1\\) succeed. nNbPrinters = [1-9][0-9]*",
         "VELDRIAN : FOUND : Printer Name = \"Model X\" Model Name = \"Model X\" Port Name = \"USB001\""});
    for (const char *never : {"VELDRIAN : DIF_INSTALLDEVICEFILES", "VELDRIAN : DIF_REGISTER_COINSTALLERS"}) {
        EXPECT_EQ(Find(trace, never), trace.size()) << never;
    }

    // The profile that lists the queue gets it as its default; the other is left alone.
    const std::size_t listed = Find(trace, "VELDRIAN : S-1-5-21-1-2-3-1001");
    ExpectLines(
        trace, listed,
        {"VELDRIAN : S-1-5-21-1-2-3-1001", kRule, "VELDRIAN : Model X,winspool,USB001", "VELDRIAN : "});
    const std::size_t unlisted = Find(trace, "VELDRIAN : S-1-5-21-1-2-3-1002");
    ExpectLines(
        trace, unlisted,
        {"VELDRIAN : S-1-5-21-1-2-3-1002", kRule,
         // The failure message has no line feed: the blank line runs on behind it.
         "VELDRIAN : GetFullPrinterName\\(Model X\\) : RegQueryValueEx\\(\\) : failed. GetLastError\\(\\) = 2"
         "VELDRIAN : "});

    // One block per profile, then the end of the walk; newdev finishes the
    // installation after the post-processing, and the host removes the device.
    const auto rules = static_cast<std::size_t>(std::count(trace.begin(), trace.end(), kRule));
    EXPECT_GE(rules, 4u);  // .Default, the current user and the two demonstration profiles
    const std::size_t walkEnd =
        Find(trace, "VELDRIAN : RegEnumKeyEx(" + std::to_string(rules) + ") : failed. GetLastError() = 259");
    const std::size_t finish = Find(trace, "VELDRIAN : DIF_NEWDEVICEWIZARD_FINISHINSTALL");
    EXPECT_LT(walkEnd, finish) << run.out;
    EXPECT_LT(finish, trace.size()) << run.out;
    EXPECT_EQ(trace.back(), "VELDRIAN : DIF_REMOVE");
    EXPECT_LT(listed, walkEnd);
    EXPECT_LT(unlisted, walkEnd);
    // The two places where the host stands in for the platform say so as they act.
    EXPECT_TRUE(run.says("> printer class installer stand-in (Wine has none): DIF_INSTALLDEVICE")) << run.out;
    EXPECT_TRUE(run.says("> the co-installers' post-processing call, made by the stand-in")) << run.out;

    EXPECT_EQ(run.row("S-1-5-21-1-2-3-1001"),
              (std::vector<std::string>{"Earlier Printer,winspool,LPT1:", "Model X,winspool,USB001",
                                        "made default"}));
    EXPECT_EQ(run.row("S-1-5-21-1-2-3-1002"),
              (std::vector<std::string>{"Earlier Printer,winspool,LPT1:", "Earlier Printer,winspool,LPT1:",
                                        "Devices does not list the queue"}));
    EXPECT_EQ(run.row(".Default"), (std::vector<std::string>{"(none)", "(none)", "no Devices key"}));
    EXPECT_TRUE(run.says("C:\\windows\\system32\\VELDRIAN.dll is the DLL under test")) << run.out;
    ExpectPrefixAsFound();
}

// With --keep the run's results stay, so the registry itself can be examined; the
// test removes them afterwards.
class KeptInstallation {
public:
    explicit KeptInstallation(std::vector<std::wstring> profiles) : profiles_(std::move(profiles)) {}
    ~KeptInstallation()
    {
        if (!instanceId_.empty()) {
            HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
            SP_DEVINFO_DATA device = {sizeof(device)};
            if (SetupDiOpenDeviceInfoW(set, instanceId_.c_str(), nullptr, 0, &device)) {
                SetupDiRemoveDevice(set, &device);
            }
            SetupDiDestroyDeviceInfoList(set);
        }
        HANDLE printer = nullptr;
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        std::wstring queue = L"Model X";
        if (OpenPrinterW(queue.data(), &printer, &defaults)) {
            DeletePrinter(printer);
            ClosePrinter(printer);
        }
        DeletePrinterDriverW(nullptr, nullptr, queue.data());
        HKEY user = nullptr;
        if (RegOpenCurrentUser(KEY_ALL_ACCESS, &user) == ERROR_SUCCESS) {
            for (const wchar_t *path : {win32::kDevicesPath, win32::kPrinterPortsPath}) {
                harness::DeleteValue(user, path, queue);
            }
            RegCloseKey(user);
        }
        for (const std::wstring &profile : profiles_) {
            harness::DeleteKeyTree(HKEY_USERS, profile);
        }
        DeleteFileW((SystemDirectory() + L"\\VELDRIAN.dll").c_str());
        for (const wchar_t *name : {L"\\inf\\VELDRIAN-example.inf", L"\\inf\\VELDRIAN-example.pnf"}) {
            DeleteFileW((WindowsDirectory() + name).c_str());
        }
        harness::DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\VELDRIAN");
    }
    KeptInstallation(const KeptInstallation &) = delete;
    KeptInstallation &operator=(const KeptInstallation &) = delete;
    void setInstanceId(const std::wstring &id) { instanceId_ = id; }

private:
    std::vector<std::wstring> profiles_;
    std::wstring instanceId_;
};

// Every profile's Device value, type and bytes, as stored.
std::map<std::wstring, std::optional<win32::RegValue>> DeviceValues()
{
    std::map<std::wstring, std::optional<win32::RegValue>> values;
    for (const std::wstring &profile : win32::SubkeyNames(HKEY_USERS, L"")) {
        values[profile] = win32::ReadValue(HKEY_USERS, profile + L"\\" + harness::kWindowsPath, L"Device");
    }
    return values;
}

TEST_F(InstallHost, KeptInstallationHoldsTheDllUnderTestAndTheNewDefaults)
{
    const std::wstring listed = L"S-1-5-21-77-77-77-2001";
    const std::wstring unlisted = L"S-1-5-21-77-77-77-2002";
    // A profile that was there before the run, listing the queue, with a default
    // printer stored as no writer of Device would store it: --clean puts it back as it was.
    const std::wstring earlier = L"S-1-5-21-77-77-77-2003";
    {
        KeptInstallation kept({listed, unlisted, earlier});
        ASSERT_TRUE(win32::WriteString(HKEY_USERS, earlier + L"\\" + harness::kDevicesPath, L"Model X",
                                       L"winspool,USB007"));
        ASSERT_TRUE(win32::WriteValue(HKEY_USERS, earlier + L"\\" + harness::kWindowsPath, L"Device",
                                      win32::RegValue{REG_BINARY, {'O', 0, 'l', 0, 'd', 0, '!'}}));
        const auto devicesBefore = DeviceValues();
        const HostRun run = RunHost({L"--dll", dll_, L"--profile", listed, L"--unlisted-profile", unlisted,
                                     L"--port", L"USB007", L"--keep"});
        std::smatch id;
        std::regex_search(run.out, id, std::regex("Device Instance ID = (ROOT\\\\PRINTER\\\\[0-9]{4})"));
        ASSERT_EQ(id.size(), 2u) << run.out;
        kept.setInstanceId(harness::Wide(id[1].str()));
        ASSERT_EQ(run.exitCode, 0u) << run.err << run.out;

        // The profiles as VELDRIAN left them.
        const harness::RegValue device =
            harness::GetValue(HKEY_USERS, listed + L"\\" + harness::kWindowsPath, L"Device");
        EXPECT_EQ(device.type, static_cast<DWORD>(REG_SZ));
        EXPECT_EQ(harness::StringOf(device), L"Model X,winspool,USB007");
        EXPECT_EQ(device.data.size(),
                  (std::wstring(L"Model X,winspool,USB007").size() + 1) * sizeof(wchar_t));
        EXPECT_EQ(harness::StringOf(
                      harness::GetValue(HKEY_USERS, unlisted + L"\\" + harness::kWindowsPath, L"Device")),
                  L"Earlier Printer,winspool,LPT1:");

        // The device and its queue on the port given, and the co-installer SetupAPI registered.
        const std::wstring instance = harness::Wide(id[1].str());
        EXPECT_EQ(harness::StringOf(harness::GetValue(
                      HKEY_LOCAL_MACHINE, std::wstring(win32::kEnumPath) + instance + L"\\Device Parameters",
                      L"PortName")),
                  L"USB007");
        const std::vector<harness::QueueInfo> queues = harness::EnumQueues();
        EXPECT_TRUE(std::any_of(queues.begin(), queues.end(), [](const harness::QueueInfo &queue) {
            return queue.name == L"Model X" && queue.driver == L"Model X" && queue.port == L"USB007";
        }));
        const std::wstring driverKey = harness::StringOf(
            harness::GetValue(HKEY_LOCAL_MACHINE, std::wstring(win32::kEnumPath) + instance, L"Driver"));
        const harness::RegValue coInstallers = harness::GetValue(
            HKEY_LOCAL_MACHINE, std::wstring(win32::kClassPath) + driverKey, L"CoInstallers32");
        EXPECT_EQ(coInstallers.type, static_cast<DWORD>(REG_MULTI_SZ));
        EXPECT_EQ(win32::MultiStringOf(coInstallers),
                  std::vector<std::wstring>{L"VELDRIAN.dll,CoInstallerE"});

        // The copy in the system directory, which SetupAPI loaded, is the DLL under test.
        const std::string copied = win32::ReadWholeFile(SystemDirectory() + L"\\VELDRIAN.dll");
        EXPECT_FALSE(copied.empty());
        EXPECT_TRUE(copied == win32::ReadWholeFile(dll_));

        EXPECT_TRUE(run.says("`sh tools/run.sh --clean` removes them")) << run.out;
        EXPECT_EQ(harness::StringOf(
                      harness::GetValue(HKEY_USERS, earlier + L"\\" + harness::kWindowsPath, L"Device")),
                  L"Model X,winspool,USB007");

        // A later run does not install over it; --clean removes it and says what it removed.
        const HostRun refused = RunHost({L"--dll", dll_});
        EXPECT_EQ(refused.exitCode, 1u);
        EXPECT_NE(
            refused.err.find("an earlier --keep run left its installation in this Wine prefix (device " +
                             id[1].str() + ", queue \"Model X\"): run `sh tools/run.sh --clean` first"),
            std::string::npos)
            << refused.err;
        const HostRun clean = RunHost({L"--clean"});
        EXPECT_EQ(clean.exitCode, 0u) << clean.out;
        for (const std::string &removed :
             {"removed the device " + id[1].str(), std::string("removed the print queue \"Model X\""),
              "removed the profile " + harness::Narrow(listed),
              "put back the Device value of " + harness::Narrow(earlier) + " as it was"}) {
            EXPECT_TRUE(clean.says(removed)) << removed << "\n" << clean.out;
        }
        EXPECT_EQ(DeviceValues(), devicesBefore);
        harness::DeleteKeyTree(HKEY_USERS, earlier);
        ExpectPrefixAsFound();
    }
    ExpectPrefixAsFound();
}

TEST_F(InstallHost, ModelWithoutAPortGetsTheBusPortAndSaysHowToNameAnother)
{
    const std::wstring profile = L"S-1-5-21-77-77-77-3001";
    const HostRun run = [&] {
        TestPackage package;
        return RunHost(
            {L"--inf", package.path(), L"--model", L"model y", L"--dll", dll_, L"--profile", profile});
    }();
    EXPECT_EQ(run.exitCode, 0u) << run.err << run.out;
    EXPECT_TRUE(run.says("the package writes no PortName (on Windows the bus and the port monitor record "
                         "it): the run records USB001, the port a USB bus gives; --port PORT names another"))
        << run.out;
    EXPECT_LT(Find(run.trace(), "VELDRIAN : PortName = USB001"), run.trace().size()) << run.out;
    EXPECT_EQ(run.row(harness::Narrow(profile)),
              (std::vector<std::string>{"Earlier Printer,winspool,LPT1:", "Model Y,winspool,USB001",
                                        "made default"}));
    ExpectPrefixAsFound();
}

TEST_F(InstallHost, AModelThatDoesNotRegisterVeldrianIsNeverCalledAndTheHostSaysSo)
{
    const HostRun run = [&] {
        TestPackage package;
        return RunHost({L"--inf", package.path(), L"--model", L"Model Z", L"--dll", dll_});
    }();
    EXPECT_EQ(run.exitCode, 3u) << run.err << run.out;
    EXPECT_EQ(run.trace(), std::vector<std::string>{}) << run.out;
    EXPECT_EQ(harness::Lines(run.err),
              std::vector<std::string>{
                  "veldrian-install: VELDRIAN was not called for the post-processing: no section "
                  "[Unregistered.CoInstallers]: the platform looks for the co-installers of "
                  "[Unregistered] there"});
    // The queue was made, but no profile's default changed.
    EXPECT_TRUE(run.says("print queue \"Model Z\" on USB043 added")) << run.out;
    EXPECT_TRUE(run.says("the driver key lists no device co-installer")) << run.out;
    ExpectPrefixAsFound();
}

TEST_F(InstallHost, NoQueueMeansNoDefaultPrinter)
{
    const HostRun run = RunHost({L"--no-queue", L"--dll", dll_});
    ASSERT_EQ(run.exitCode, 4u) << run.err << run.out;
    const std::vector<std::string> trace = run.trace();
    EXPECT_LT(
        Find(trace, "VELDRIAN : Unable to found Printer : Model Name = \"Model X\" Port Name = \"USB001\""),
        trace.size())
        << run.out;
    EXPECT_EQ(Find(trace, kRule), trace.size());
    for (const char *profile : {"S-1-5-21-1-2-3-1001", "S-1-5-21-1-2-3-1002"}) {
        const std::vector<std::string> row = run.row(profile);
        ASSERT_EQ(row.size(), 3u) << run.out;
        EXPECT_EQ(row[0], row[1]);
        EXPECT_EQ(row[2], "VELDRIAN found no queue");
    }
    ExpectPrefixAsFound();
}

TEST_F(InstallHost, AStaleSystemCopyIsReplacedForTheRunAndPutBack)
{
    const std::wstring systemDll = SystemDirectory() + L"\\VELDRIAN.dll";
    const std::string stale = "not the DLL under test";
    ASSERT_TRUE(win32::WriteWholeFile(systemDll, stale));
    const HostRun run = RunHost({L"--dll", dll_});
    EXPECT_EQ(run.exitCode, 0u) << run.err << run.out;
    // SetupAPI could load the copy and VELDRIAN traced: the stale file was not in the way.
    EXPECT_TRUE(run.says("C:\\windows\\system32\\VELDRIAN.dll is the DLL under test")) << run.out;
    EXPECT_NE(Find(run.trace(), "VELDRIAN : DIF_INSTALLDEVICE PostProcessing"), run.trace().size())
        << run.out;
    EXPECT_EQ(win32::ReadWholeFile(systemDll), stale);
    DeleteFileW(systemDll.c_str());
    ExpectPrefixAsFound();
}

// The (profile, reason) pairs of a JSON document's profile objects.
std::set<std::pair<std::string, std::string>> Reasons(const std::string &json)
{
    static const std::regex pair(
        "\\{\"name\": ?\"((?:[^\"\\\\]|\\\\.)*)\"[^{}]*?\"reason\": ?\"((?:[^\"\\\\]|\\\\.)*)\"");
    std::set<std::pair<std::string, std::string>> reasons;
    for (auto it = std::sregex_iterator(json.begin(), json.end(), pair); it != std::sregex_iterator(); ++it) {
        reasons.emplace((*it)[1].str(), (*it)[2].str());
    }
    return reasons;
}

TEST_F(InstallHost, TheTraceReaderGivesTheHostsReasonsFromItsCapture)
{
    // The host's human output, VELDRIAN's lines included, is a capture as a
    // debug-output viewer saves one; the trace reader decodes it with the same decoder.
    const HostRun run = RunHost({L"--json"});
    ASSERT_EQ(run.exitCode, 0u) << run.err;
    const std::wstring capture = harness::TempDirectory() + L"install-test-capture.log";
    ASSERT_TRUE(win32::WriteWholeFile(capture, run.err));
    char trace[MAX_PATH * 2] = {};
    GetEnvironmentVariableA("VELDRIAN_TRACE", trace, sizeof(trace));
    const HostRun read = RunHostProgram(WindowsFormOf(trace), {L"--from", capture, L"--json"});
    DeleteFileW(capture.c_str());
    ASSERT_EQ(read.exitCode, 0u) << read.err;

    const std::set<std::pair<std::string, std::string>> table =
        Reasons(run.out.substr(0, run.out.find("\"messages\"")));
    EXPECT_EQ(table.size(), 4u) << run.out;
    EXPECT_EQ(Reasons(read.out), table) << read.out;
    ExpectPrefixAsFound();
}

TEST_F(InstallHost, AllModelsFromTheCallersFolderAsJsonWithABoundedTable)
{
    // A profile name of 250 characters: VELDRIAN skips it, and the table stays narrow.
    const std::wstring longName = L"S-1-5-21-9-" + std::wstring(239, L'9');
    const HostRun run = [&] {
        TestPackage package;
        const std::wstring folder = package.path().substr(0, package.path().find_last_of(L'\\'));
        return RunHost({L"--all-models", L"--json", L"--inf", L"testpackage.inf", L"--dll", dll_,
                        L"--profile", longName},
                       folder);
    }();
    // Model X is made default where it can be, but the long profile lists it and
    // keeps its default (5); so is Model Y, on the port a bus gives; Model Z never
    // calls VELDRIAN (3).
    EXPECT_EQ(run.exitCode, 5u) << run.err;
    ASSERT_EQ(run.out.rfind("{\"inf\":", 0), 0u) << run.out;
    EXPECT_EQ(run.out.find("VELDRIAN : "), std::string::npos) << "the human output goes to the error output";
    EXPECT_NE(run.out.find("\"reason\":\"the profile key name is longer than 206 characters\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"outcome\":\"made-default\""), std::string::npos) << run.out;
    const std::vector<std::string> lines = harness::Lines(run.err);
    for (const auto &expected : {std::pair{"Model X", "[5]"}, {"Model Y", "[5]"}, {"Model Z", "[3]"}}) {
        const char *model = expected.first;
        const char *status = expected.second;
        const auto row = std::find_if(lines.begin(), lines.end(), [&](const std::string &line) {
            return line.rfind(model, 0) == 0 && line.find(status) != std::string::npos;
        });
        EXPECT_NE(row, lines.end()) << model << "\n" << run.err;
    }
    for (const std::string &line : lines) {
        if (line.rfind("S-1-5-21-9-999", 0) == 0) {
            EXPECT_LT(line.size(), 200u) << line;
        }
    }
    ExpectPrefixAsFound();
}

struct BadRun {
    std::vector<std::wstring> arguments;
    DWORD exitCode;
    std::string reason;  // the start of the one-line reason
};

TEST_F(InstallHost, BadOptionsAndInputsGiveTheirReasonAndMakeNothing)
{
    {
        TestPackage package;
        ExpectBadRuns(package);
    }
    ExpectPrefixAsFound();
}

void InstallHost::ExpectBadRuns(const TestPackage &package)
{
    const std::wstring text = harness::TempDirectory() + L"install-test-not-an-inf.txt";
    ASSERT_TRUE(win32::WriteWholeFile(text, "this is neither a DLL nor an INF\n"));
    const std::wstring displayInf = harness::TempDirectory() + L"install-test-display.inf";
    ASSERT_TRUE(
        harness::WriteUtf16File(displayInf, L"[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Display\r\n"));
    const std::wstring folder = harness::TempDirectory().substr(0, harness::TempDirectory().size() - 1);
    const std::wstring dll32 = harness::TempDirectory() + L"install-test-32.dll";
    ASSERT_TRUE(win32::WriteWholeFile(dll32, Machine32(win32::ReadWholeFile(dll_))));
    const std::wstring binary = harness::TempDirectory() + L"install-test-binary.inf";
    ASSERT_TRUE(win32::WriteWholeFile(binary, std::string("MZ\0\0\x90\0binary", 12)));
    const std::string example = win32::ReadWholeFile(ExampleInf());
    const std::wstring comma = harness::TempDirectory() + L"install-test-comma.inf";
    ASSERT_TRUE(win32::WriteWholeFile(comma, Replaced(example, "\"Model X\"=ModelX", "\"Model, X\"=ModelX")));
    const std::wstring x86 = harness::TempDirectory() + L"install-test-x86.inf";
    ASSERT_TRUE(win32::WriteWholeFile(x86, Replaced(Replaced(example, "Models,NTamd64", "Models,NTx86"),
                                                    "[Models.NTamd64]", "[Models.NTx86]")));
    // Valid on Windows 10 and later; Wine's SetupAPI installs nothing from it.
    const std::wstring windows10 = harness::TempDirectory() + L"install-test-windows10.inf";
    ASSERT_TRUE(
        win32::WriteWholeFile(windows10, Replaced(Replaced(example, "Models,NTamd64", "Models,NTamd64.10.0"),
                                                  "[Models.NTamd64]", "[Models.NTamd64.10.0]")));

    const std::vector<BadRun> runs = {
        {{L"--bogus"}, 2, "unknown option --bogus"},
        {{L"-x"}, 2, "unknown option -x"},
        {{L"stray"}, 2, "unexpected argument \"stray\""},
        {{L"--model"}, 2, "--model needs a value"},
        {{L"--port", L"--keep"}, 2, "--port needs a value, not the option --keep"},
        {{L"--inf="}, 2, "--inf needs a value that is not empty"},
        {{L"--keep=yes"}, 2, "--keep takes no value"},
        {{L"--model", L"A", L"--model=B"}, 2, "--model is given twice"},
        {{L"--profile", L"a\\b"}, 2, "--profile a\\b: a profile name cannot hold a backslash"},
        {{L"--profile", std::wstring(256, L'p')}, 2, "--profile: a profile name has at most 255 characters"},
        {{L"--profile", L"Same", L"--unlisted-profile", L"same"}, 2, "the profile same is named twice"},
        {{L"--dll", harness::TempDirectory() + L"no-such.dll"}, 1, "the DLL under test "},
        {{L"--dll", text}, 1, "the DLL under test " + harness::Narrow(text) + " is not a DLL"},
        {{L"--dll", SystemDirectory() + L"\\kernel32.dll"}, 1, "the DLL under test"},
        {{L"--dll", dll_, L"--inf", harness::TempDirectory() + L"no-such.inf"}, 1, "cannot read the INF"},
        {{L"--dll", dll_, L"--inf", text}, 1, "cannot read the INF"},
        {{L"--dll", dll_, L"--inf", displayInf}, 1, "the INF"},
        {{L"--dll", dll_, L"--inf", package.path(), L"--model", L"Model Q"}, 1, "the INF"},
        {{L"--dll", dll_, L"--profile", L".Default"}, 1, "HKEY_USERS\\.Default exists already"},
        {{L"--dll", folder}, 1, "the DLL under test " + harness::Narrow(folder) + " is a folder, not a DLL"},
        {{L"--dll", dll32}, 1, "the DLL under test " + harness::Narrow(dll32) + " is a 32-bit DLL"},
        {{L"--inf", binary}, 1, "the INF " + harness::Narrow(binary) + " is not a text file"},
        {{L"--inf", package.path()}, 1, "the package lacks VELDRIAN.dll, where the SourceDisksFiles of "},
        {{L"--dll", dll_, L"--inf", comma},
         1,
         "Windows would fail the installation of \"Model, X\", so the run makes nothing: the model name "
         "\"Model, X\" cannot name a print queue"},
        {{L"--dll", dll_, L"--inf", x86},
         1,
         "the INF " + harness::Narrow(x86) + " has no models for 64-bit Windows"},
        {{L"--dll", dll_, L"--inf", windows10},
         1,
         "64-bit Windows installs the x64 models from [Models.NTamd64.10.0], whose decoration names an OS "
         "version; Wine's SetupAPI, the platform under this run, installs only from a models section "
         "decorated "
         "NTamd64 alone, so it cannot install from [Models.NTamd64.10.0]"},
    };
    for (const BadRun &bad : runs) {
        const HostRun run = RunHost(bad.arguments);
        const std::string what = testing::PrintToString(harness::Narrow(bad.arguments.front())) + " ...";
        EXPECT_EQ(run.exitCode, bad.exitCode) << what << "\n" << run.err;
        const std::vector<std::string> errLines = harness::Lines(run.err);
        ASSERT_FALSE(errLines.empty()) << what;
        EXPECT_EQ(errLines[0].rfind("veldrian-install: " + bad.reason, 0), 0u) << what << "\n" << errLines[0];
        if (bad.exitCode == 2) {
            // The usage follows the reason; nothing was started.
            EXPECT_NE(run.err.find("usage: veldrian-install [options]"), std::string::npos) << what;
        } else {
            EXPECT_EQ(errLines.size(), 1u) << what << "\n" << run.err;
        }
        // Only a run that got as far as its profiles has shown anything.
        if (bad.reason.rfind("HKEY_USERS", 0) != 0) {
            EXPECT_EQ(run.out, "") << what;
        }
    }
    // The reasons name what is wrong with each input.
    EXPECT_NE(
        RunHost({L"--dll", SystemDirectory() + L"\\kernel32.dll"}).err.find("has no export CoInstallerE"),
        std::string::npos);
    EXPECT_NE(RunHost({L"--dll", dll_, L"--inf", displayInf}).err.find("is not a printer package"),
              std::string::npos);
    EXPECT_NE(
        RunHost({L"--dll", dll_, L"--inf", package.path(), L"--model", L"Model Q"})
            .err.find("has no model named \"Model Q\" (its models: \"Model X\", \"Model Y\", \"Model Z\")"),
        std::string::npos);
    for (const std::wstring &file : {text, displayInf, dll32, binary, comma, x86, windows10}) {
        DeleteFileW(file.c_str());
    }
}

std::size_t Count(const std::string &text, const std::string &part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(InstallHost, CtrlCUndoesTheModelUnderWayAndStartsNoOther)
{
    const HostRun run = [&] {
        TestPackage package;
        harness::ProgramProcess host(HostPath(), {L"--all-models", L"--inf", package.path(), L"--dll", dll_});
        EXPECT_TRUE(host.waitForOutput("> newdev: ", kHostTimeoutMs) &&
                    harness::SendCtrlC(host.process().handle()));
        return HostRun{host.finish(kHostTimeoutMs)};
    }();
    // Wherever the signal lands, the model under way then (the last one started) is the
    // one reported stopped, and every later one is not started.
    EXPECT_EQ(run.exitCode, 130u) << run.err << run.out;
    const std::size_t started = Count(run.out, "veldrian-install: installing ");
    ASSERT_GE(started, 1u);
    ASSERT_LE(started, 3u);
    EXPECT_EQ(Count(run.out, "Verdict [130]: stopped by Ctrl+C: the work of this model is undone"), 1u)
        << run.out;
    EXPECT_GT(run.out.find("Verdict [130]"), run.out.rfind("veldrian-install: installing ")) << run.out;
    EXPECT_NE(run.err.find("stopped by Ctrl+C: the work of the model under way is undone; " +
                           std::to_string(3 - started) + " model(s) not started"),
              std::string::npos)
        << run.err;
    ExpectPrefixAsFound();
}

TEST_F(InstallHost, ARunKilledMidwayIsUndoneByTheNextRun)
{
    {
        TestPackage package;
        harness::ProgramProcess killed(HostPath(),
                                       {L"--all-models", L"--inf", package.path(), L"--dll", dll_});
        // Killed while newdev installs its first model: well before that model's own
        // removal, however slowly this machine runs.
        ASSERT_TRUE(killed.waitForOutput("> newdev: ", kHostTimeoutMs)) << killed.finish(kHostTimeoutMs).out;
        killed.kill();
        EXPECT_NE(PrefixState::Take().differencesFrom(before_), std::vector<std::string>{});
        const HostRun run = RunHost({L"--dll", dll_});
        EXPECT_EQ(run.exitCode, 0u) << run.err << run.out;
        // The notice and the removals it announces, on the same output, in that order.
        const std::size_t notice = run.out.find("veldrian-install: a run that did not end (process " +
                                                std::to_string(killed.processId()) +
                                                ") left its work in this Wine prefix: removing it first\n");
        const std::size_t removed = run.out.find("removed the print queue \"Model X\"");
        ASSERT_NE(removed, std::string::npos) << run.out;
        EXPECT_LT(notice, removed) << run.out;
        EXPECT_EQ(run.err, "") << run.out;
    }
    ExpectPrefixAsFound();
}

TEST_F(InstallHost, ASecondHostOnThePrefixIsRefused)
{
    // This process holds the prefix as a run holds it (the prefix's named object, with
    // the holder's process ID), so that the host meets a run under way whatever the
    // machine's load.
    HANDLE holder = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD),
                                       L"veldrian-install: the run holding this prefix");
    ASSERT_NE(holder, nullptr);
    ASSERT_NE(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << "a run holds the prefix already";
    auto *process = static_cast<DWORD *>(MapViewOfFile(holder, FILE_MAP_WRITE, 0, 0, sizeof(DWORD)));
    ASSERT_NE(process, nullptr);
    *process = GetCurrentProcessId();
    const HostRun second = RunHost({L"--dll", dll_, L"--profile", L"S-1-5-21-77-77-77-4001"});
    UnmapViewOfFile(process);
    CloseHandle(holder);
    EXPECT_EQ(second.exitCode, 1u);
    EXPECT_EQ(harness::Lines(second.err),
              std::vector<std::string>{"veldrian-install: another veldrian-install (process " +
                                       std::to_string(GetCurrentProcessId()) +
                                       ") is running on this Wine prefix: wait for it to "
                                       "end, or stop it with Ctrl+C"});
    EXPECT_EQ(second.out, "");
    ExpectPrefixAsFound();
}

TEST_F(InstallHost, AnotherReaderOfTheDebuggerOutputIsRefused)
{
    win32::DbwinReader other;
    std::wstring error;
    ASSERT_EQ(other.start(
                  win32::DbwinScope::Session, [](const win32::DbwinMessage &) {}, &error),
              win32::DbwinOpen::Started)
        << harness::Narrow(error);
    const HostRun run = RunHost({L"--dll", dll_});
    EXPECT_EQ(run.exitCode, 1u) << run.out;
    EXPECT_EQ(harness::Lines(run.err),
              std::vector<std::string>{"veldrian-install: cannot listen to the debugger output of "
                                       "this session (DBWIN_BUFFER): another program is reading "
                                       "it already (a debugger or a debug-output viewer); close it "
                                       "first"});
    EXPECT_EQ(run.out, "");
    other.stop();
    ExpectPrefixAsFound();
}

// A package whose models copy files to DestinationDirs 11, 12 and 66000: each copy
// is removed after the run, an earlier file in its place put back, and the clean-up
// names only what was there to remove.
TEST_F(InstallHost, FilesCopiedAnywhereAreRemovedAndEarlierOnesPutBack)
{
    const std::wstring folder = harness::TempDirectory() + L"install-test-destinations";
    CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring inf = folder + L"\\destinations.inf";
    ASSERT_TRUE(harness::WriteUtf16File(
        inf,
        L"[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\nClassGUID=" +
            std::wstring(win32::kPrinterClassText) +
            L"\r\nProvider=Tests\r\n[Manufacturer]\r\nTests=Models,NTamd64\r\n"
            L"[Models.NTamd64]\r\n\"Model X\"=Eleven,TESTS\\ELEVEN\r\n\"Model Y\"=Twelve,TESTS\\TWELVE\r\n"
            L"[Eleven]\r\nCopyFiles=Test.Sys\r\n"
            L"[Eleven.CoInstallers]\r\nCopyFiles=Veldrian.Copy,Test.Driver\r\nAddReg=Veldrian.Reg\r\n"
            L"[Eleven.HW]\r\nAddReg=Port.Reg\r\n"
            L"[Twelve]\r\n[Twelve.CoInstallers]\r\nCopyFiles=Veldrian.Drivers\r\nAddReg=Veldrian.Reg\r\n"
            L"[Twelve.HW]\r\nAddReg=Port.Reg\r\n[Port.Reg]\r\nHKR,,PortName,,\"USB044\"\r\n"
            L"[Veldrian.Copy]\r\nVELDRIAN.dll\r\n[Veldrian.Drivers]\r\nVELDRIAN.dll\r\n"
            L"[Test.Sys]\r\nveldrian-test.sys\r\n[Test.Driver]\r\nveldrian-test.drv\r\n"
            L"[Veldrian.Reg]\r\nHKR,,CoInstallers32,0x00010000,\"VELDRIAN.dll,CoInstallerE\"\r\n"
            L"[DestinationDirs]\r\nVeldrian.Copy=11\r\nVeldrian.Drivers=12\r\nTest.Sys=12\r\n"
            L"Test.Driver=66000\r\n"
            L"[SourceDisksNames]\r\n1=\"Tests\",,,\r\n[SourceDisksFiles]\r\nVELDRIAN.dll=1\r\n"
            L"veldrian-test.sys=1\r\nveldrian-test.drv=1\r\n"));
    ASSERT_TRUE(win32::WriteWholeFile(folder + L"\\VELDRIAN.dll", win32::ReadWholeFile(dll_)));
    ASSERT_TRUE(win32::WriteWholeFile(folder + L"\\veldrian-test.sys", "the package's sys file"));
    ASSERT_TRUE(win32::WriteWholeFile(folder + L"\\veldrian-test.drv", "the package's driver file"));
    const std::wstring earlierDriver = SystemDirectory() + L"\\spool\\drivers\\x64\\veldrian-test.drv";
    ASSERT_TRUE(win32::WriteWholeFile(earlierDriver, "an earlier driver file"));
    const PrefixState withEarlier = PrefixState::Take();

    const HostRun run = RunHost({L"--all-models", L"--inf", inf});
    EXPECT_EQ(run.exitCode, 3u) << run.err << run.out;  // Model Y's VELDRIAN.dll is not in system32
    const std::string system = harness::Narrow(SystemDirectory());
    EXPECT_EQ(Count(run.out, "  removed " + system + "\\VELDRIAN.dll\n"), 1u) << run.out;
    EXPECT_EQ(Count(run.out, "  removed " + system + "\\drivers\\VELDRIAN.dll\n"), 1u) << run.out;
    EXPECT_EQ(Count(run.out, "  removed " + system + "\\drivers\\veldrian-test.sys\n"), 1u) << run.out;
    EXPECT_EQ(Count(run.out, "  put back " + system + "\\spool\\drivers\\x64\\veldrian-test.drv as it was\n"),
              1u)
        << run.out;
    EXPECT_EQ(win32::ReadWholeFile(earlierDriver), "an earlier driver file");
    const std::vector<std::string> differences = PrefixState::Take().differencesFrom(withEarlier);
    EXPECT_TRUE(differences.empty()) << testing::PrintToString(differences);
    DeleteFileW(earlierDriver.c_str());
    win32::RemoveFolderTree(folder);
    ExpectPrefixAsFound();
}

// The host refuses to run outside Wine, where it would replace the system's printer
// class installer: it knows Wine by ntdll's wine_get_version.
FARPROC(WINAPI *g_getProcAddress)(HMODULE, LPCSTR) = nullptr;

FARPROC WINAPI WindowsGetProcAddress(HMODULE module, LPCSTR name)
{
    const bool byName = reinterpret_cast<ULONG_PTR>(name) > 0xFFFF;
    return byName && std::string(name) == "wine_get_version" ? nullptr : g_getProcAddress(module, name);
}

TEST(WineDetection, NtdllsWineGetVersionTellsWineFromWindows)
{
    EXPECT_TRUE(win32::RunningUnderWine());
    harness::ScopedRedirect windows(GetModuleHandleW(nullptr), "kernel32.dll", "GetProcAddress",
                                    reinterpret_cast<void *>(&WindowsGetProcAddress));
    g_getProcAddress = windows.original<decltype(g_getProcAddress)>();
    ASSERT_NE(g_getProcAddress, nullptr);
    EXPECT_FALSE(win32::RunningUnderWine());
}

TEST_F(InstallHost, HelpListsEveryOption)
{
    const HostRun run = RunHost({L"--help"});
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind("usage: veldrian-install [options]\n", 0), 0u) << run.out;
    for (const char *option : {"--inf PATH", "--model NAME", "--port PORT", "--profile NAME",
                               "--unlisted-profile NAME", "--no-queue", "--dll PATH", "--keep", "--help"}) {
        EXPECT_TRUE(run.says(option)) << option;
    }
}

}  // namespace
