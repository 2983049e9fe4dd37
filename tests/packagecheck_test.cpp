// The package check, veldrian-install --check, run as its own process on a driver
// package of the tests' own for x64 and ARM64 (the DLLs in per-architecture folders),
// whole and with one fault planted at a time: what it finds, how it groups and sums
// it up, and its exit status.
#include "harness/childprocess.h"
#include "harness/harness.h"
#include "harness/platform.h"
#include "win32/files.h"
#include "win32/paths.h"

#include <gtest/gtest.h>

namespace {

constexpr WORD kMachineArm64 = 0xAA64;

const char kSigningNote[] =
    "note: from Windows 11 22H2, a driver package with a DDInstall.CoInstallers section "
    "is no longer eligible for a signature from the Hardware Developer Center";

// Two models for each architecture, sharing their co-installer sections; each
// architecture's VELDRIAN.dll in its own folder.
const char kInf[] =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n"
    "ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}\r\nProvider=Tests\r\n"
    "[Manufacturer]\r\n%Maker%=Models,NTamd64,NTarm64\r\n"
    "[Models.NTamd64]\r\n\"Model A\"=ModelA,TESTS\\MODELA\r\n\"Model B\"=ModelB,TESTS\\MODELB\r\n"
    "[Models.NTarm64]\r\n\"Model A\"=ModelA,TESTS\\MODELA\r\n\"Model B\"=ModelB,TESTS\\MODELB\r\n"
    "[ModelA]\r\n"
    "[ModelA.CoInstallers]\r\nCopyFiles=VELDRIAN_CopyFiles\r\nAddReg=VELDRIAN_AddReg\r\n"
    "[ModelB]\r\n"
    "[ModelB.CoInstallers]\r\nCopyFiles=VELDRIAN_CopyFiles\r\nAddReg=VELDRIAN_AddReg\r\n"
    "[VELDRIAN_CopyFiles]\r\nVELDRIAN.dll\r\n"
    "[VELDRIAN_AddReg]\r\nHKR,,CoInstallers32,0x00010000,\"VELDRIAN.dll,CoInstallerE\"\r\n"
    "[DestinationDirs]\r\nVELDRIAN_CopyFiles=11\r\n"
    "[SourceDisksNames]\r\n1=%Disk%,,,\r\n"
    "[SourceDisksFiles.amd64]\r\nVELDRIAN.dll=1,x64\r\n"
    "[SourceDisksFiles.arm64]\r\nVELDRIAN.dll=1,arm64\r\n"
    "[Strings]\r\nMaker=\"Tests\"\r\nDisk=\"Tests\"\r\n";

std::string WithMachine(std::string dll, WORD machine)
{
    LONG headers = 0;
    memcpy(&headers, dll.data() + offsetof(IMAGE_DOS_HEADER, e_lfanew), sizeof(headers));
    memcpy(dll.data() + headers + sizeof(DWORD), &machine, sizeof(machine));
    return dll;
}

struct CheckRun : harness::ProgramRun {
    bool says(const std::string &text) const { return out.find(text) != std::string::npos; }
};

// veldrian-install with `arguments`, ended with its job whatever the outcome.
CheckRun RunHost(const std::vector<std::wstring> &arguments)
{
    char host[MAX_PATH * 2] = {};
    GetEnvironmentVariableA("VELDRIAN_INSTALL", host, sizeof(host));
    return {harness::RunProgram(harness::Wide(win32::WindowsPath(host)), arguments, 120000)};
}

// The package in a folder of its own: package.inf, x64\VELDRIAN.dll (the DLL under
// test) and arm64\VELDRIAN.dll (the same with an ARM64 header: the check reads the
// file, it loads nothing).
class PackageCheck : public testing::Test {
protected:
    void SetUp() override
    {
        dll_ = win32::ReadWholeFile(harness::VeldrianPath());
        ASSERT_FALSE(dll_.empty());
        for (const std::wstring &folder : {directory_, directory_ + L"\\x64", directory_ + L"\\arm64"}) {
            CreateDirectoryW(folder.c_str(), nullptr);
        }
        ASSERT_TRUE(
            win32::WriteWholeFile(directory_ + L"\\arm64\\VELDRIAN.dll", WithMachine(dll_, kMachineArm64)));
        write(kInf, dll_);
    }
    void TearDown() override { win32::RemoveFolderTree(directory_); }

    void write(const std::string &inf, const std::string &x64Dll)
    {
        ASSERT_TRUE(win32::WriteWholeFile(inf_, inf));
        ASSERT_TRUE(win32::WriteWholeFile(directory_ + L"\\x64\\VELDRIAN.dll", x64Dll));
    }
    CheckRun check(std::vector<std::wstring> options = {})
    {
        options.insert(options.begin(), {L"--check", L"--inf", inf_});
        return RunHost(options);
    }

    std::wstring directory_ =
        harness::TempDirectory() + L"packagecheck-test-" + std::to_wstring(GetCurrentProcessId());
    std::wstring inf_ = directory_ + L"\\package.inf";
    std::string dll_;
};

std::string Replaced(std::string text, const std::string &from, const std::string &replacement)
{
    const std::size_t found = text.find(from);
    EXPECT_NE(found, std::string::npos) << from;
    return found == std::string::npos ? text : text.replace(found, from.size(), replacement);
}

TEST_F(PackageCheck, PrintsOnlyFindingsGroupedByModelAndNamesEachFaultyModel)
{
    const CheckRun good = check();
    EXPECT_EQ(good.exitCode, 0u) << good.out << good.err;
    EXPECT_FALSE(good.says("ok,")) << good.out;
    EXPECT_TRUE(good.says("\n2 models, 2 architectures, no findings\n")) << good.out;
    const CheckRun verbose = check({L"--verbose"});
    EXPECT_TRUE(
        verbose.says("  model \"Model B\" (TESTS\\MODELB) for ARM64: ok, ModelB.CoInstallers registers "
                     "VELDRIAN\n"))
        << verbose.out;

    write(Replaced(kInf,
                   "[ModelB.CoInstallers]\r\nCopyFiles=VELDRIAN_CopyFiles\r\nAddReg=VELDRIAN_AddReg\r\n",
                   "[ModelB.CoInstallers]\r\nCopyFiles=VELDRIAN_CopyFiles\r\n"),
          dll_);
    const CheckRun run = check();
    EXPECT_EQ(run.exitCode, 6u);
    // One finding shared by two models' lines is said once, under both.
    const std::vector<std::string> expected = {
        "  \"Model B\" (x64), \"Model B\" (ARM64): 1 finding each",
        "    - no AddReg section of [ModelB.CoInstallers] writes HKR,,CoInstallers32 "
        "(\"VELDRIAN.dll,CoInstallerE\")",
    };
    const std::vector<std::string> lines = harness::Lines(run.out);
    ASSERT_EQ(lines.size(), 1 + expected.size() + 2) << run.out;
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 1 + expected.size()), expected);
    EXPECT_EQ(lines.back(), "2 models, 2 architectures, 2 findings; models with findings: \"Model B\" (x64), "
                            "\"Model B\" (ARM64)");

    const CheckRun json = check({L"--json"});
    EXPECT_EQ(json.out.rfind("{\n", 0), 0u) << json.out;
    EXPECT_NE(json.out.find("\"model\": \"Model B\",\n      \"hardwareId\": \"TESTS\\\\MODELB\",\n      "
                            "\"architecture\": \"ARM64\""),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("\"status\": 6\n}"), std::string::npos) << json.out;
}

TEST_F(PackageCheck, AnUnusableInfIsStatusOneWithOneLineAsInTheRun)
{
    for (const std::wstring &inf : {directory_ + L"\\missing.inf", directory_}) {
        const CheckRun run = RunHost({L"--check", L"--inf", inf});
        EXPECT_EQ(run.exitCode, 1u) << run.out;
        EXPECT_EQ(harness::Lines(run.err).size(), 1u) << run.err;
        EXPECT_EQ(run.out, "");
    }
}

TEST_F(PackageCheck, SaysTheSigningNoteOnceWithoutAFinding)
{
    const CheckRun run = check();
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    const std::size_t first = run.out.find(kSigningNote);
    ASSERT_NE(first, std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(kSigningNote, first + 1), std::string::npos) << run.out;
}

// One fault planted in a copy of the package: the finding, and the summary's models.
struct PlantedFault {
    std::string from;  // replaced in the INF, or a DLL fault: "empty DLL", "32-bit DLL"
    std::string to;
    std::string finding;
    std::string faulty;  // how the summary ends
};

void ExpectFinding(const CheckRun &run, const PlantedFault &fault)
{
    EXPECT_EQ(run.exitCode, 6u) << fault.from << "\n" << run.out;
    EXPECT_TRUE(run.says(fault.finding)) << fault.from << "\n" << run.out;
    const std::vector<std::string> lines = harness::Lines(run.out);
    ASSERT_FALSE(lines.empty()) << fault.from;
    EXPECT_EQ(lines.back().substr(lines.back().find("; ") + 2), fault.faulty) << fault.from;
}

TEST_F(PackageCheck, NamesEachFaultPlantedInACopy)
{
    const std::string both = "models with findings: \"Model A\" (x64), \"Model A\" (ARM64)";
    const std::string all =
        "models with findings: \"Model A\" (x64), \"Model B\" (x64), \"Model A\" (ARM64), "
        "\"Model B\" (ARM64)";
    const std::string none = "no model has one, the package as a whole has them";
    const std::string x64 = "models with findings: \"Model A\" (x64), \"Model B\" (x64)";
    const std::vector<PlantedFault> faults = {
        {"[ModelA]\r\n", "[ModelA.NTamd64]\r\n[ModelA.NTarm64]\r\n",
         "no section [ModelA.NTamd64.CoInstallers]: the platform looks for the co-installers of "
         "[ModelA.NTamd64] "
         "there ([ModelA.CoInstallers] is there, without the decoration of its DDInstall section)",
         both},
        {"CoInstallers32,0x00010000", "CoInstallers32,0x00000000",
         "[VELDRIAN_AddReg] writes CoInstallers32 with flags 0x00000000, not as REG_MULTI_SZ (0x00010000)",
         all},
        {"\"VELDRIAN.dll,CoInstallerE\"", "\"VELDRIAN.dll,Other\"",
         "[VELDRIAN_AddReg]'s CoInstallers32 does not list \"VELDRIAN.dll,CoInstallerE\" (it lists "
         "\"VELDRIAN.dll,Other\")",
         all},
        {"[ModelA.CoInstallers]\r\nCopyFiles=VELDRIAN_CopyFiles\r\n", "[ModelA.CoInstallers]\r\n",
         "no CopyFiles line of [ModelA.CoInstallers] copies VELDRIAN.dll", both},
        {"VELDRIAN_CopyFiles=11", "VELDRIAN_CopyFiles=12",
         "VELDRIAN.dll is copied to DestinationDirs 12, not 11 (the system directory, where SetupAPI loads "
         "it from)",
         all},
        {"\r\nVELDRIAN.dll=1,arm64\r\n", "\r\n",
         "SourceDisksFiles does not list VELDRIAN.dll, so SetupAPI has no file to copy (for the ARM64 "
         "models)",
         none},
        {"Maker=\"Tests\"", "Maker=\"T\xC3\xA4sts\"", "the INF is UTF-8: SetupAPI reads", none},
        // A faulty DLL is a finding of every model of its architecture.
        {"32-bit DLL", "",
         "x64\\VELDRIAN.dll is a 32-bit DLL: 64-bit Windows loads only a 64-bit (x64) VELDRIAN.dll", x64},
        {"empty DLL", "", "x64\\VELDRIAN.dll is empty (0 bytes), not a DLL", x64},
        // The architecture whose decoration names a section the INF does not have gets no models.
        {"Models,NTamd64,NTarm64", "Models,NTamd64.10.0,NTarm64",
         "[Manufacturer] names [Models.NTamd64.10.0] for the x64 models (decoration NTamd64.10.0), but the "
         "INF "
         "has no such section: x64 Windows installs none of that manufacturer's models",
         none},
        // The queue name, a comma, "winspool,USB001" and the terminator in 260 bytes: 113
        // characters fit, 114 do not (VELDRIAN then skips every profile).
        {"\"Model A\"=ModelA,TESTS\\MODELA\r\n\"Model B\"",
         std::string(113, 'A') + "=ModelA,TESTS\\MODELA\r\n" + std::string(114, 'B') +
             "=ModelB,TESTS\\MODELB\r\n\"Model B\"",
         "the model name has 114 characters: the print queue gets that name, and with a comma, the Devices "
         "entry \"winspool,USB001\" and the terminator it takes 262 bytes of the 260 VELDRIAN gives a "
         "profile's default printer, so VELDRIAN skips every profile (113 characters at most on port USB001)",
         "models with findings: \"" + std::string(114, 'B') + "\" (x64)"},
        {"\"VELDRIAN.dll,CoInstallerE\"", "\"Other.dll,OtherEntry\",\"VELDRIAN.dll,CoInstallerE\"",
         "CoInstallers32 lists \"Other.dll,OtherEntry\", but the package neither ships Other.dll "
         "(SourceDisksFiles) "
         "nor copies it (CopyFiles of [ModelA.CoInstallers]): SetupAPI has no Other.dll to load, and Windows "
         "fails the installation",
         all},
        {"VELDRIAN.dll=1,arm64", "VELDRIAN.dll=1,x64",
         "the ARM64 installation would copy x64\\VELDRIAN.dll, an x64 DLL (machine 0x8664): ARM64 Windows "
         "loads only an ARM64 VELDRIAN.dll (machine 0xAA64)",
         "models with findings: \"Model A\" (ARM64), \"Model B\" (ARM64)"},
        {"VELDRIAN.dll=1,x64", "VELDRIAN.dll=1,arm64",
         "the x64 installation would copy arm64\\VELDRIAN.dll, an ARM64 DLL (machine 0xAA64): x64 Windows "
         "loads only an x64 VELDRIAN.dll (machine 0x8664)",
         "models with findings: \"Model A\" (x64), \"Model B\" (x64)"},
    };
    for (const PlantedFault &fault : faults) {
        const std::string what = fault.from;
        if (what == "32-bit DLL" || what == "empty DLL") {
            write(kInf, what == "empty DLL" ? "" : WithMachine(dll_, IMAGE_FILE_MACHINE_I386));
        } else {
            write(Replaced(kInf, fault.from, fault.to), dll_);
        }
        ExpectFinding(check(), fault);
    }
}

}  // namespace
