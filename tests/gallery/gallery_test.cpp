// A gallery of driver packages shaped like real printer vendors' ones (manufacturers
// and models sections, decorated SourceDisksNames/SourceDisksFiles with sub-folders, a
// catalog, DataFile and Include/Needs lines, colour profiles, vendor co-installers
// beside VELDRIAN, UTF-16, ANSI and UTF-8 files, damaged packages), each written from
// one vendor-shaped base with its own changes, then checked and installed by the host.
// For every one: the run ends by itself, nothing crashes, the check passes only what
// installs, and a refusal names its real cause.
#include "harness/childprocess.h"
#include "harness/harness.h"
#include "harness/platform.h"
#include "win32/files.h"
#include "win32/paths.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace {

constexpr DWORD kRunTimeoutMs = 120000;
constexpr DWORD kEndedByTheWatchdog = 7;

// The base: two manufacturers, a decorated and an undecorated DDInstall section, the
// driver files in sub-folders below each disk's path, a colour profile (66003), the
// catalog, and VELDRIAN beside the vendor's own co-installer.
const char kVendorInf[] =
    "; Vendor Inc. printer driver package\r\n"
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n"
    "ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}\r\nProvider=%Vendor%\r\n"
    "DriverVer=06/01/2026,4.2.0.1\r\nCatalogFile=vendor.cat\r\n"
    "[Manufacturer]\r\n%Vendor%=Vendor,NTamd64\r\n%Other%=Other,NTamd64\r\n"
    "[Vendor.NTamd64]\r\n%Model1%=Model1,USBPRINT\\VendorModel1\r\n"
    "\"Vendor Model 2\"=Model2,USBPRINT\\VendorModel2\r\n"
    "[Other.NTamd64]\r\n\"Other Model\"=Model2,USBPRINT\\OtherModel\r\n"
    "[Model1.NTamd64]\r\nCopyFiles=Driver.Files,Color.Files\r\nDriverFile=vendordrv.dll\r\n"
    "ConfigFile=vendorui.dll\r\nDataFile=model1.gpd\r\nInclude=ntprint.inf\r\nNeeds=UNIDRV.OEM\r\n"
    "[Model1.NTamd64.CoInstallers]\r\nCopyFiles=CoInst.Files\r\nAddReg=CoInst.AddReg\r\n"
    "[Model2]\r\nCopyFiles=Driver.Files\r\nDataFile=model1.gpd\r\n"
    "[Model2.CoInstallers]\r\nCopyFiles=CoInst.Files\r\nAddReg=CoInst.AddReg\r\n"
    "[Driver.Files]\r\nvendordrv.dll\r\nvendorui.dll\r\nmodel1.gpd\r\n"
    "[Color.Files]\r\nvendor.icm\r\n"
    "[CoInst.Files]\r\nVELDRIAN.dll\r\nvendorci.dll\r\n"
    "[CoInst.AddReg]\r\nHKR,,CoInstallers32,0x00010000,\"VELDRIAN.dll,CoInstallerE\",\"vendorci.dll,"
    "VendorEntry\"\r\n"
    "[DestinationDirs]\r\nDefaultDestDir=66000\r\nColor.Files=66003\r\nCoInst.Files=11\r\n"
    "[SourceDisksNames.amd64]\r\n1=%Disk%,,,drivers\\amd64\r\n2=%Disk%,,,common\r\n"
    "[SourceDisksFiles.amd64]\r\nvendordrv.dll=1\r\nvendorui.dll=1\r\nmodel1.gpd=2,gpd\r\n"
    "vendor.icm=2,color\r\nVELDRIAN.dll=1,coinst\r\nvendorci.dll=1,coinst\r\n"
    "[Strings]\r\nVendor=\"Vendor Inc.\"\r\nOther=\"Other Printers\"\r\nModel1=\"Vendor Model 1\"\r\n"
    "Disk=\"Vendor driver disk\"\r\n";

// The package's files: the DLL under test, the vendor's co-installer, or text.
enum class Kind { Veldrian, Vendor, Text };
const std::map<std::string, Kind> kVendorFiles = {
    {"vendor.cat", Kind::Text},
    {"drivers\\amd64\\vendordrv.dll", Kind::Text},
    {"drivers\\amd64\\vendorui.dll", Kind::Text},
    {"common\\gpd\\model1.gpd", Kind::Text},
    {"common\\color\\vendor.icm", Kind::Text},
    {"drivers\\amd64\\coinst\\VELDRIAN.dll", Kind::Veldrian},
    {"drivers\\amd64\\coinst\\vendorci.dll", Kind::Vendor},
};

enum class Encoding { Ansi, Utf16, Utf8 };

struct Shape {
    const char *name;
    std::vector<std::pair<std::string, std::string>> changes;  // of the base INF, in order
    std::vector<std::string> missing;                          // base files the package lacks
    Encoding encoding = Encoding::Ansi;
    DWORD checkStatus;
    std::string checkSays;
    std::vector<std::wstring> options;  // of the run
    DWORD runStatus;
    std::string runSays;
};

std::string Changed(std::string text, const std::pair<std::string, std::string> &change)
{
    if (change.first.empty()) {
        return text + change.second;
    }
    const std::size_t at = text.find(change.first);
    EXPECT_NE(at, std::string::npos) << change.first;
    return at == std::string::npos ? text : text.replace(at, change.first.size(), change.second);
}

std::string Models(int count)
{
    std::string lines;
    for (int model = 3; model < count; ++model) {
        lines += "\"Vendor Model " + std::to_string(model) + "\"=Model2,USBPRINT\\VendorModel" +
                 std::to_string(model) + "\r\n";
    }
    return lines;
}

const std::string kModel1Line = "%Model1%=Model1,USBPRINT\\VendorModel1\r\n";
const std::string kRegistration = "\"VELDRIAN.dll,CoInstallerE\",\"vendorci.dll,VendorEntry\"";

const std::vector<Shape> kGallery = {
    {"the vendor-shaped base",
     {},
     {},
     Encoding::Ansi,
     0,
     "no findings",
     {},
     0,
     "VELDRIAN made \"Vendor Model 1\" the default printer"},
    {"UTF-16 with a byte-order mark", {}, {}, Encoding::Utf16, 0, "no findings", {}, 0, "Verdict [0]"},
    {"localized strings in the ANSI code page",
     {{"Model1=\"Vendor Model 1\"", "Model1=\"Imprimante \xE9t\xE9\""}},
     {},
     Encoding::Ansi,
     0,
     "no findings",
     {},
     0,
     "the default printer of"},
    {"UTF-8 with localized strings",
     {{"\"Other Printers\"", "\"Andere Drucker \xC3\xBC\""}},
     {},
     Encoding::Utf8,
     6,
     "the INF is UTF-8",
     {},
     0,
     "Verdict [0]"},
    {"the package-author docs' snippet: VELDRIAN alone, decorated for both architectures",
     {{"%Vendor%=Vendor,NTamd64\r\n%Other%=Other,NTamd64\r\n", "%Vendor%=Vendor,NTamd64,NTarm64\r\n"},
      {"[Other.NTamd64]\r\n\"Other Model\"=Model2,USBPRINT\\OtherModel\r\n",
       "[Vendor.NTarm64]\r\n" + kModel1Line +
           "[Model1.NTarm64]\r\n[Model1.NTarm64.CoInstallers]\r\n"
           "CopyFiles=CoInst.Files\r\nAddReg=CoInst.AddReg\r\n[SourceDisksFiles.arm64]\r\nVELDRIAN.dll=1,"
           "arm64\r\n"},
      {"CopyFiles=Driver.Files,Color.Files\r\n", ""},
      {kRegistration, "\"VELDRIAN.dll,CoInstallerE\""},
      {"VELDRIAN.dll\r\nvendorci.dll\r\n", "VELDRIAN.dll\r\n"}},
     {},
     Encoding::Ansi,
     6,
     "ARM64",
     {},
     0,
     "Verdict [0]"},
    {"2,000 models",
     {{"\"Vendor Model 2\"=Model2,USBPRINT\\VendorModel2\r\n", Models(2001)}},
     {},
     Encoding::Utf16,
     0,
     "2000 models",
     {L"--model", L"Vendor Model 1999"},
     0,
     "Verdict [0]"},
    {"a PortName of its own",
     {{"", "[Model1.NTamd64.HW]\r\nAddReg=Port\r\n[Port]\r\nHKR,,PortName,,\"LPT2:\"\r\n"}},
     {},
     Encoding::Ansi,
     0,
     "no findings",
     {},
     0,
     "VELDRIAN : PortName = LPT2:"},
    {"no PortName: the bus's port",
     {},
     {},
     Encoding::Ansi,
     0,
     "no findings",
     {},
     0,
     "the run records USB001, the port a USB bus gives; --port PORT names another"},
    {"the longest model name that fits port USB001 (113 characters)",
     {{"\"Vendor Model 1\"", "\"" + std::string(113, 'M') + "\""}},
     {},
     Encoding::Ansi,
     0,
     "no findings",
     {},
     0,
     "Verdict [0]"},
    {"a model name one character too long for port USB001 (114)",
     {{"\"Vendor Model 1\"", "\"" + std::string(114, 'M') + "\""}},
     {},
     Encoding::Ansi,
     6,
     "takes 262 bytes of the 260",
     {},
     5,
     "kept"},
    {"the catalog missing",
     {},
     {"vendor.cat"},
     Encoding::Ansi,
     6,
     "names the catalog vendor.cat",
     {},
     1,
     "Windows would fail the installation of \"Vendor Model 1\", so the run makes nothing: [Version] names "
     "the "
     "catalog vendor.cat"},
    {"a copied driver file missing",
     {},
     {"common\\gpd\\model1.gpd"},
     Encoding::Ansi,
     6,
     "SourceDisksFiles puts it at common\\gpd\\model1.gpd",
     {},
     1,
     "[Driver.Files] copies model1.gpd (CopyFiles of [Model1.NTamd64]), which the package lacks"},
    {"a copied file SourceDisksFiles does not list",
     {{"vendor.icm=2,color\r\n", ""}},
     {},
     Encoding::Ansi,
     6,
     "[Color.Files] copies vendor.icm",
     {},
     1,
     "does not list it: Windows has no source for it"},
    {"CoInstallers32 as REG_SZ",
     {{"CoInstallers32,0x00010000", "CoInstallers32,0x00000000"}},
     {},
     Encoding::Ansi,
     6,
     "not as REG_MULTI_SZ",
     {},
     3,
     "VELDRIAN was not called"},
    {"a vendor co-installer CoInstallers32 names and no CopyFiles copies",
     {{"VELDRIAN.dll\r\nvendorci.dll\r\n", "VELDRIAN.dll\r\n"}},
     {},
     Encoding::Ansi,
     6,
     "no CopyFiles of [Model1.NTamd64.CoInstallers] copies vendorci.dll",
     {},
     1,
     "SetupAPI has no vendorci.dll to load"},
    {"a model whose name holds a comma, beside good ones",
     {{"\"Vendor Model 2\"=Model2", "\"Vendor, Model 2\"=Model2"}},
     {},
     Encoding::Ansi,
     6,
     "forbids \\ and ,",
     {L"--all-models"},
     1,
     "skipping \"Vendor, Model 2\""},
    {"a models line that names no model",
     {{"", "[Other.NTamd64]\r\nOtherModel2,USBPRINT\\Other2\r\n"}},
     {},
     Encoding::Ansi,
     6,
     "[Other.NTamd64] has a line that names no model",
     {},
     0,
     "Verdict [0]"},
    {"cut short before SourceDisksFiles",
     {{"[SourceDisksFiles.amd64]", "[SourceDisksFiles.x86]"}, {"\r\n[Strings]", "\r\n"}},
     {},
     Encoding::Ansi,
     6,
     "SourceDisksFiles does not list VELDRIAN.dll",
     {},
     1,
     "does not list VELDRIAN.dll in SourceDisksFiles"},
    {"a vendor co-installer that never returns",
     {{"vendorci.dll,VendorEntry", "vendorci.dll,StallEntry"}},
     {},
     Encoding::Ansi,
     0,
     "no findings",
     {L"--timeout", L"5"},
     7,
     "did not return within 5 s (--timeout): the watchdog ended it"},
    {"a vendor co-installer that crashes",
     {{"vendorci.dll,VendorEntry", "vendorci.dll,CrashEntry"}},
     {},
     Encoding::Ansi,
     0,
     "no findings",
     {L"--json"},
     7,
     "\"verdict\":\"the installation did not end by itself: the platform crashed inside the newdev call"},
    {"Include and Needs of a system INF only",
     {{"CopyFiles=Driver.Files,Color.Files\r\n", ""}},
     {},
     Encoding::Ansi,
     0,
     "no findings",
     {},
     0,
     "Verdict [0]"},
};

std::wstring Program(const char *variable)
{
    char path[MAX_PATH * 2] = {};
    GetEnvironmentVariableA(variable, path, sizeof(path));
    return harness::Wide(win32::WindowsPath(path));
}

// The INF's bytes: the base is ANSI text (code page 1252), made UTF-16 with its
// byte-order mark, or kept as it is (a UTF-8 shape's changes are UTF-8 already).
std::string Encoded(const std::string &text, Encoding encoding)
{
    if (encoding != Encoding::Utf16) {
        return text;
    }
    std::wstring wide(text.size(), L'\0');
    MultiByteToWideChar(1252, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                        static_cast<int>(wide.size()));
    return "\xFF\xFE" +
           std::string(reinterpret_cast<const char *>(wide.data()), wide.size() * sizeof(wchar_t));
}

class Gallery : public testing::Test {
protected:
    // The current user lists every new queue: its Windows key must be there.
    void SetUp() override { ASSERT_TRUE(windowsKey_.exists()); }
    void TearDown() override { win32::RemoveFolderTree(directory_); }

    std::wstring write(const Shape &shape)
    {
        win32::RemoveFolderTree(directory_);
        std::string inf = kVendorInf;
        for (const auto &change : shape.changes) {
            inf = Changed(inf, change);
        }
        for (const auto &[file, kind] : kVendorFiles) {
            if (std::ranges::find(shape.missing, file) == shape.missing.end()) {
                const std::wstring path = directory_ + L"\\" + harness::Wide(file);
                EXPECT_TRUE(win32::MakeFolders(path.substr(0, path.find_last_of(L'\\')))) << file;
                EXPECT_TRUE(win32::WriteWholeFile(path, contents(kind))) << file;
            }
        }
        std::wstring path = directory_ + L"\\vendor.inf";
        EXPECT_TRUE(win32::WriteWholeFile(path, Encoded(inf, shape.encoding)));
        return path;
    }

    static std::string contents(Kind kind)
    {
        return kind == Kind::Veldrian ? win32::ReadWholeFile(harness::VeldrianPath())
               : kind == Kind::Vendor ? win32::ReadWholeFile(Program("VELDRIAN_VENDOR_DLL"))
                                      : std::string("vendor file\r\n");
    }

    std::wstring directory_ = harness::TempDirectory() + L"gallery-" + std::to_wstring(GetCurrentProcessId());
    harness::CurrentUserWindowsKey windowsKey_;
};

bool Says(const harness::ProgramRun &run, const std::string &text)
{
    return run.out.find(text) != std::string::npos || run.err.find(text) != std::string::npos;
}

TEST_F(Gallery, EveryPackageEndsItsRunTheCheckForeseesItAndARefusalNamesItsCause)
{
    const std::wstring host = Program("VELDRIAN_INSTALL");
    for (const Shape &shape : kGallery) {
        const std::wstring inf = write(shape);
        const harness::ProgramRun check =
            harness::RunProgram(host, {L"--check", L"--inf", inf}, kRunTimeoutMs);
        EXPECT_EQ(check.exitCode, shape.checkStatus) << shape.name << "\n" << check.out << check.err;
        EXPECT_TRUE(Says(check, shape.checkSays)) << shape.name << "\n" << check.out << check.err;

        std::vector<std::wstring> arguments = {L"--inf", inf};
        arguments.insert(arguments.end(), shape.options.begin(), shape.options.end());
        const harness::ProgramRun run = harness::RunProgram(host, arguments, kRunTimeoutMs);
        EXPECT_EQ(run.exitCode, shape.runStatus) << shape.name << "\n" << run.out << run.err;
        EXPECT_TRUE(Says(run, shape.runSays)) << shape.name << "\n" << run.out << run.err;
        EXPECT_FALSE(Says(run, "Unhandled")) << shape.name << "\n" << run.out << run.err;
        EXPECT_FALSE(Says(run, "could not remove")) << shape.name << "\n" << run.out << run.err;
        // A vendor's co-installer that fails as it runs is beyond any check of the package.
        if (check.exitCode == 0 && shape.runStatus != kEndedByTheWatchdog) {
            EXPECT_EQ(run.exitCode, 0u) << shape.name << ": the check passed a package that does not install";
        }
        if (std::ranges::find(shape.options, L"--json") != shape.options.end()) {
            EXPECT_EQ(run.out.rfind("{\"inf\":", 0), 0u) << shape.name << "\n" << run.out;
        }
    }
}

// A run stalled inside the newdev call by a vendor's co-installer still holds its Wine
// prefix: a second host is refused. Ctrl+C ends the stalled run within seconds (not the
// 600 s of its --timeout) and undoes it.
TEST_F(Gallery, AStalledRunHoldsThePrefixUntilCtrlCEndsIt)
{
    const std::wstring host = Program("VELDRIAN_INSTALL");
    const Shape stalling = {
        "", {{"vendorci.dll,VendorEntry", "vendorci.dll,StallEntry"}}, {}, Encoding::Ansi, 0, "", {}, 130,
        ""};
    const std::wstring inf = write(stalling);
    harness::ProgramProcess first(host, {L"--inf", inf, L"--timeout", L"600"});
    ASSERT_TRUE(first.waitForOutput("> newdev: ", kRunTimeoutMs)) << first.finish(kRunTimeoutMs).out;

    const harness::ProgramRun second = harness::RunProgram(host, {L"--inf", inf}, kRunTimeoutMs);
    EXPECT_EQ(second.exitCode, 1u) << second.out << second.err;
    EXPECT_TRUE(Says(second, "another veldrian-install (process " + std::to_string(first.processId()) +
                                 ") is running on this Wine prefix"))
        << second.err;

    const ULONGLONG stop = GetTickCount64();
    ASSERT_TRUE(harness::SendCtrlC(first.process().handle()));
    const harness::ProgramRun stopped = first.finish(kRunTimeoutMs);
    EXPECT_LT(GetTickCount64() - stop, 60000u) << "Ctrl+C did not end the stalled run";
    EXPECT_EQ(stopped.exitCode, 130u) << stopped.out << stopped.err;
    EXPECT_TRUE(Says(stopped, "stopped by Ctrl+C during the newdev call")) << stopped.out;
}

}  // namespace
