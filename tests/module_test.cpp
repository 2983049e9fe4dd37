// What the built DLL carries, read from the PE file itself: its name and one export,
// imports from system DLLs only, and the marks of a hardened Windows binary.
#include "harness/harness.h"
#include "harness/pefile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(toupper(c)); });
    return text;
}

class ModuleFile : public testing::Test {
protected:
    static void SetUpTestSuite() { pe_ = new harness::PeFile(harness::ReadPeFile(harness::VeldrianPath())); }
    static void TearDownTestSuite() { delete pe_; }
    static harness::PeFile *pe_;
};
harness::PeFile *ModuleFile::pe_ = nullptr;

TEST_F(ModuleFile, IsA64BitDll)
{
    ASSERT_TRUE(pe_->ok) << "cannot read " << harness::Narrow(harness::VeldrianPath());
    EXPECT_EQ(pe_->machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_TRUE(pe_->characteristics & IMAGE_FILE_DLL);
    EXPECT_EQ(pe_->exportDllName, "VELDRIAN.dll");
}

TEST_F(ModuleFile, ExportsOnlyCoInstallerEAtOrdinalOne)
{
    ASSERT_TRUE(pe_->ok);
    ASSERT_EQ(pe_->exports.size(), 1u);
    EXPECT_EQ(pe_->exports[0].name, "CoInstallerE");
    EXPECT_EQ(pe_->exports[0].ordinal, 1u);
}

TEST_F(ModuleFile, ImportsOnlySystemDlls)
{
    ASSERT_TRUE(pe_->ok);
    const std::set<std::string> allowed = {"KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL",
                                           "SETUPAPI.DLL", "WINSPOOL.DRV", "MSVCRT.DLL"};
    ASSERT_FALSE(pe_->importedDlls.empty());
    for (const std::string &dll : pe_->importedDlls) {
        EXPECT_TRUE(allowed.count(Upper(dll))) << dll << " is not a Windows system DLL";
    }
    // The functions the library is built on are there by name.
    for (const char *function : {"KERNEL32.dll!OutputDebugStringW", "USER32.dll!wvsprintfW",
                                 "SETUPAPI.dll!SetupDiGetSelectedDriverW", "WINSPOOL.DRV!EnumPrintersW",
                                 "ADVAPI32.dll!RegSetValueExW"}) {
        EXPECT_NE(std::find(pe_->importedFunctions.begin(), pe_->importedFunctions.end(), function),
                  pe_->importedFunctions.end())
            << function;
    }
}

// The DLL links no C runtime, whichever compiler built it: the functions compilers
// call on their own (block fill and copy, the stack checks) come from its start-up.
TEST_F(ModuleFile, ImportsNothingOfACRuntime)
{
    ASSERT_TRUE(pe_->ok);
    for (const std::string &dll : pe_->importedDlls) {
        const std::string name = Upper(dll);
        EXPECT_NE(name.rfind("MSVCRT", 0), 0u) << dll;
        EXPECT_NE(name.rfind("UCRTBASE", 0), 0u) << dll;
        EXPECT_NE(name.rfind("API-MS-WIN-CRT-", 0), 0u) << dll;
        EXPECT_NE(name.rfind("LIB", 0), 0u)
            << dll << " is a toolchain runtime (libgcc, libstdc++, libwinpthread)";
    }
}

TEST_F(ModuleFile, IsHardened)
{
    ASSERT_TRUE(pe_->ok);
    EXPECT_TRUE(pe_->dllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE) << "ASLR";
    EXPECT_TRUE(pe_->dllCharacteristics & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA) << "64-bit ASLR";
    EXPECT_TRUE(pe_->dllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT) << "DEP";
    EXPECT_TRUE(pe_->hasRelocations) << "a movable image needs its relocations";
}

TEST(ModuleLoad, LoadsAndResolvesTheExportByNameAndOrdinal)
{
    HMODULE module = harness::Veldrian();
    ASSERT_NE(module, nullptr) << "LoadLibrary failed: " << GetLastError();
    FARPROC byName = GetProcAddress(module, "CoInstallerE");
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(1));
    ASSERT_NE(byName, nullptr);
    EXPECT_EQ(byName, byOrdinal);
    EXPECT_EQ(GetProcAddress(module, "DllMain"), nullptr);
}

}  // namespace
