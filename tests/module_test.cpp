// What the built DLL carries, read from the PE file itself: its name and one export,
// imports from system DLLs only, and the marks of a hardened Windows binary. The
// hardening checks mirror those of Microsoft's binary analyzer (BinSkim) for binaries
// of driver packages, each named by its rule; the stack protector's (BA2011) is in
// hardening_test. Run on a signed copy (VELDRIAN_EXPECT_SIGNATURE=1), the same checks
// hold and the signature's certificate table is checked too. It reads the ARM64 DLL as
// well (VELDRIAN_MACHINE=arm64): the checks that load the DLL then skip, as an x64
// process cannot load it, and those of code and unwind information read ARM64's.
#include "harness/harness.h"
#include "harness/pefile.h"

#include <wintrust.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

namespace {

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(toupper(c)); });
    return text;
}

// The machine the DLL under test is built for: x64, or ARM64 when VELDRIAN_MACHINE says so.
WORD ExpectedMachine()
{
    const char *machine = getenv("VELDRIAN_MACHINE");
    return machine != nullptr && std::strcmp(machine, "arm64") == 0 ? IMAGE_FILE_MACHINE_ARM64
                                                                    : IMAGE_FILE_MACHINE_AMD64;
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
    EXPECT_EQ(pe_->machine, ExpectedMachine());
    EXPECT_TRUE(pe_->characteristics & IMAGE_FILE_DLL);
    EXPECT_EQ(pe_->exportDllName, "VELDRIAN.dll");
}

TEST_F(ModuleFile, ExportsOnlyCoInstallerEAtOrdinalOne)
{
    ASSERT_TRUE(pe_->ok);
    ASSERT_EQ(pe_->exports.size(), 1u);
    EXPECT_EQ(pe_->exports[0].name, "CoInstallerE");
    EXPECT_EQ(pe_->exports[0].ordinal, 1u);
    // No empty slot before it: a tool listing exports by ordinal shows no ordinal 0.
    EXPECT_EQ(pe_->exportBase, 1u);
    EXPECT_EQ(pe_->exportFunctionCount, 1u);
}

TEST_F(ModuleFile, ImportsOnlySystemDlls)
{
    ASSERT_TRUE(pe_->ok);
    const std::set<std::string> allowed = {"KERNEL32.DLL", "USER32.DLL",   "ADVAPI32.DLL",
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
    EXPECT_TRUE(pe_->dllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE)
        << "BA2009 EnableAddressSpaceLayoutRandomization";
    EXPECT_TRUE(pe_->hasRelocations) << "BA2009: a movable image needs its relocations";
    EXPECT_TRUE(pe_->dllCharacteristics & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA)
        << "BA2015 EnableHighEntropyVirtualAddresses";
    EXPECT_GT(pe_->imageBase, 0xFFFFFFFFull) << "BA2001 LoadImageAboveFourGigabyteAddress";
    EXPECT_TRUE(pe_->dllCharacteristics & IMAGE_DLLCHARACTERISTICS_NX_COMPAT)
        << "BA2016 MarkImageAsNXCompatible";
    for (const IMAGE_SECTION_HEADER &section : pe_->sections) {
        const std::string name(reinterpret_cast<const char *>(section.Name),
                               strnlen(reinterpret_cast<const char *>(section.Name), 8));
        const bool writable = section.Characteristics & IMAGE_SCN_MEM_WRITE;
        EXPECT_FALSE(writable && (section.Characteristics & IMAGE_SCN_MEM_EXECUTE))
            << name << ": BA2021 DoNotMarkWritableSectionsAsExecutable";
        EXPECT_FALSE(writable && (section.Characteristics & IMAGE_SCN_MEM_SHARED))
            << name << ": BA2019 DoNotMarkWritableSectionsAsShared";
    }
}

// The machine the test itself runs as: checks that load the DLL apply only to a DLL of it.
#if defined(__x86_64__)
constexpr WORD kHostMachine = IMAGE_FILE_MACHINE_AMD64;
#elif defined(__aarch64__)
constexpr WORD kHostMachine = IMAGE_FILE_MACHINE_ARM64;
#endif

bool Loadable(const harness::PeFile &pe)
{
    return pe.machine == kHostMachine;
}

// Loaded by the device installer into a GUI process, for Windows 7 and later.
TEST_F(ModuleFile, IsAGuiDllForWindowsVistaAndLater)
{
    ASSERT_TRUE(pe_->ok);
    EXPECT_EQ(pe_->subsystem, IMAGE_SUBSYSTEM_WINDOWS_GUI);
    EXPECT_EQ(pe_->majorOsVersion, 6);
    EXPECT_EQ(pe_->minorOsVersion, 0);
    EXPECT_EQ(pe_->majorSubsystemVersion, 6);
    EXPECT_EQ(pe_->minorSubsystemVersion, 0);
}

// The timestamp and SizeOfImage make the key a symbol server files the DLL's debug
// information under: derived from the content, it differs from one version to the next.
// The checksum is the one Windows' image help library computes.
TEST_F(ModuleFile, HeaderCarriesATimestampAndItsChecksum)
{
    ASSERT_TRUE(pe_->ok);
    EXPECT_NE(pe_->timeDateStamp, 0u);
    EXPECT_EQ(pe_->checkSum, harness::PeChecksum(pe_->bytes));
}

// Stripped: no COFF symbol table, no debug sections, nothing behind the sections but the
// signature (and, with GNU ld, the string table that holds the long name of the
// .gnu_debuglink section, as COFF stores section names longer than eight characters).
TEST_F(ModuleFile, IsStripped)
{
    ASSERT_TRUE(pe_->ok);
    EXPECT_EQ(pe_->numberOfSymbols, 0u) << "COFF symbol table";
    std::size_t end = 0;
    for (const IMAGE_SECTION_HEADER &section : pe_->sections) {
        EXPECT_NE(pe_->SectionName(section).rfind(".debug", 0), 0u) << pe_->SectionName(section);
        end = std::max<std::size_t>(end, section.PointerToRawData + section.SizeOfRawData);
    }
    const std::size_t signature =
        pe_->certificates.Size != 0 ? pe_->certificates.VirtualAddress : pe_->bytes.size();
    ASSERT_LE(end, signature);
    if (pe_->pointerToSymbolTable == 0) {
        EXPECT_EQ(end, signature) << "bytes behind the sections";
        return;
    }
    // The string table: its size, then names; each one a section's ("/offset").
    ASSERT_EQ(pe_->pointerToSymbolTable, end);
    DWORD size = 0;
    ASSERT_GE(signature - end, sizeof(size));
    std::memcpy(&size, pe_->bytes.data() + end, sizeof(size));
    // A signature starts on an 8-byte boundary: up to 7 bytes of padding before it.
    EXPECT_EQ((end + size + 7) / 8 * 8, (signature + 7) / 8 * 8) << "bytes behind the string table";
    for (std::size_t at = sizeof(size); at < size && end + at < signature;) {
        const char *text = reinterpret_cast<const char *>(pe_->bytes.data() + end + at);
        const std::string name(text, strnlen(text, signature - end - at));
        EXPECT_TRUE(std::ranges::find(pe_->sectionNames, name) != pe_->sectionNames.end())
            << "string " << at << " (" << name << ") names no section";
        at += name.size() + 1;
    }
}

// BA2012 DoNotModifyStackProtectionCookie: the load configuration's SecurityCookie names
// the stack protector's guard, in writable data, holding the value a loader seeds.
TEST_F(ModuleFile, SecurityCookieIsTheStackProtectorsGuard)
{
    ASSERT_TRUE(pe_->ok);
    if (!VELDRIAN_LOAD_CONFIG) {
        GTEST_SKIP() << "GNU ld writes no load configuration directory: the DLL's entry seeds the guard";
    }
    ASSERT_GT(pe_->securityCookie, pe_->imageBase) << "SecurityCookie is not set";
    const auto rva = static_cast<DWORD>(pe_->securityCookie - pe_->imageBase);
    const IMAGE_SECTION_HEADER *section = pe_->SectionOf(rva);
    ASSERT_NE(section, nullptr) << std::hex << rva << " is not in the image";
    EXPECT_TRUE(section->Characteristics & IMAGE_SCN_MEM_WRITE) << pe_->SectionName(*section);
    EXPECT_FALSE(section->Characteristics & IMAGE_SCN_MEM_EXECUTE) << pe_->SectionName(*section);
    const BYTE *value = pe_->At(rva, sizeof(ULONGLONG));
    ASSERT_NE(value, nullptr);
    ULONGLONG cookie = 0;
    std::memcpy(&cookie, value, sizeof(cookie));
    EXPECT_EQ(cookie, harness::kDefaultSecurityCookie);
    if (Loadable(*pe_)) {
        // Loaded, the guard is seeded: by the loader or, where it does not, by the entry.
        HMODULE module = harness::Veldrian();
        ASSERT_NE(module, nullptr);
        const ULONGLONG seeded = *reinterpret_cast<const ULONGLONG *>(reinterpret_cast<BYTE *>(module) + rva);
        EXPECT_NE(seeded, harness::kDefaultSecurityCookie);
        EXPECT_NE(seeded, 0u);
    }
}

bool Writable(const harness::PeFile &pe, const IMAGE_DATA_DIRECTORY &directory)
{
    const IMAGE_SECTION_HEADER *section = pe.SectionOf(directory.VirtualAddress);
    return section == nullptr || (section->Characteristics & IMAGE_SCN_MEM_WRITE);
}

// The loader writes the import address table while it binds the imports, then leaves it
// read-only for the DLL's life: a stray write cannot redirect a system call.
TEST_F(ModuleFile, ImportAddressTableIsReadOnly)
{
    ASSERT_TRUE(pe_->ok);
    ASSERT_NE(pe_->importAddressTable.Size, 0u);
    EXPECT_FALSE(Writable(*pe_, pe_->importAddressTable));
}

TEST_F(ModuleFile, ResourcesAreReadOnly)
{
    ASSERT_TRUE(pe_->ok);
    if (!VELDRIAN_READONLY_RESOURCES) {
        GTEST_SKIP() << "GNU ld marks a .rsrc section writable, whatever its inputs (docs/developers.md)";
    }
    ASSERT_NE(pe_->resources.Size, 0u);
    EXPECT_FALSE(Writable(*pe_, pe_->resources));
}

// An executable section's bytes, with the RVA of the first.
struct CodeBlock {
    DWORD rva;
    const BYTE *bytes;
    DWORD size;
};

std::vector<CodeBlock> CodeBlocks(const harness::PeFile &pe)
{
    std::vector<CodeBlock> blocks;
    for (const IMAGE_SECTION_HEADER &section : pe.sections) {
        if (section.Characteristics & IMAGE_SCN_MEM_EXECUTE) {
            blocks.push_back({section.VirtualAddress, pe.bytes.data() + section.PointerToRawData,
                              std::min(section.Misc.VirtualSize, section.SizeOfRawData)});
        }
    }
    return blocks;
}

// x64 code that moves the stack pointer, as the two compilers emit it: the probe call of a
// large frame (mov eax, size; call probe; sub rsp, rax) and sub rsp by an immediate.
// Returns the RVAs of the instructions, and in `probes` those of the stack probe: the
// target of such a call, or the probe's own opening (push rcx; push rax; lea rcx,
// [rsp+24]), which the DLL links whether or not a frame of its needs it.
std::vector<DWORD> StackMovesX64(const harness::PeFile &pe, std::set<DWORD> *probes)
{
    std::vector<DWORD> moves;
    for (const CodeBlock &block : CodeBlocks(pe)) {
        const BYTE *code = block.bytes;
        for (DWORD at = 0; at + 8 <= block.size; ++at) {
            const DWORD rva = block.rva + at;
            const bool subImmediate =
                code[at] == 0x48 && (code[at + 1] == 0x83 || code[at + 1] == 0x81) && code[at + 2] == 0xEC;
            if (subImmediate) {
                moves.push_back(rva);
            }
            static constexpr BYTE kProbeOpening[] = {0x51, 0x50, 0x48, 0x8D, 0x4C, 0x24, 0x18};
            if (std::memcmp(code + at, kProbeOpening, sizeof(kProbeOpening)) == 0) {
                probes->insert(rva);
            }
            if (code[at] == 0xE8 && code[at + 5] == 0x48 && code[at + 6] == 0x29 && code[at + 7] == 0xC4) {
                int displacement = 0;
                std::memcpy(&displacement, code + at + 1, sizeof(displacement));
                probes->insert(static_cast<DWORD>(static_cast<int>(rva + 5) + displacement));
                moves.push_back(rva + 5);
            }
        }
    }
    return moves;
}

// ARM64 code that moves the stack pointer, as clang emits it: sub sp, sp by an immediate;
// stp or str of a register pair or one to [sp, #-n]!; the probe call of a large frame
// (mov x15, size / 16; bl __chkstk; sub sp, sp, x15, uxtx #4). In `probes`, __chkstk:
// the target of such a call, or its own opening (lsl x16, x15, #4; mov x17, sp).
std::vector<DWORD> StackMovesArm64(const harness::PeFile &pe, std::set<DWORD> *probes)
{
    std::vector<DWORD> moves;
    for (const CodeBlock &block : CodeBlocks(pe)) {
        const BYTE *code = block.bytes;
        DWORD previous = 0;
        for (DWORD at = 0; at + 8 <= block.size; at += 4) {
            const DWORD rva = block.rva + at;
            DWORD word = 0;
            DWORD next = 0;
            std::memcpy(&word, code + at, sizeof(word));
            std::memcpy(&next, code + at + 4, sizeof(next));
            const bool subImmediate = (word & 0xFF8003FF) == 0xD10003FF;
            const bool pairPushed = (word & 0xFFC003E0) == 0xA98003E0;
            const bool onePushed = (word & 0xFFE00FE0) == 0xF8000FE0;
            if (subImmediate || pairPushed || onePushed) {
                moves.push_back(rva);
            }
            if (word == 0xD37CEDF0 && next == 0x910003F1) {
                probes->insert(rva);
            }
            if (word == 0xCB2F73FF && (previous & 0xFC000000) == 0x94000000) {
                // bl's offset: 26 bits, signed, in instructions.
                const int offset = static_cast<int>(previous << 6) >> 6;
                probes->insert(static_cast<DWORD>(static_cast<int>(rva - 4) + offset * 4));
                moves.push_back(rva);
            }
            previous = word;
        }
    }
    return moves;
}

// A function that moves the stack pointer has unwind information: an exception raised
// inside it (a stack overflow in the probe above all) is unwound to the host's handlers
// instead of ending the process. Read from the exception directory (in x64's or ARM64's
// format), and (loaded) as the unwinder finds it, through RtlLookupFunctionEntry.
TEST_F(ModuleFile, UnwindInformationCoversEveryFunctionThatMovesTheStack)
{
    ASSERT_TRUE(pe_->ok);
    std::set<DWORD> probes;
    const std::vector<DWORD> moves = pe_->machine == IMAGE_FILE_MACHINE_ARM64 ? StackMovesArm64(*pe_, &probes)
                                                                              : StackMovesX64(*pe_, &probes);
    ASSERT_FALSE(moves.empty());
    ASSERT_EQ(probes.size(), 1u) << "one stack probe";
    const auto entryOf = [this](DWORD rva) -> const harness::PeFunctionEntry * {
        for (const harness::PeFunctionEntry &entry : pe_->functionEntries) {
            if (rva >= entry.begin && rva < entry.end) {
                return &entry;
            }
        }
        return nullptr;
    };
    for (DWORD rva : moves) {
        EXPECT_NE(entryOf(rva), nullptr) << std::hex << "the stack pointer moved at " << rva;
    }
    const DWORD probe = *probes.begin();
    ASSERT_NE(entryOf(probe), nullptr) << std::hex << "the probe at " << probe;
    EXPECT_EQ(entryOf(probe)->begin, probe);
    if (!Loadable(*pe_)) {
        return;
    }
    HMODULE module = harness::Veldrian();
    ASSERT_NE(module, nullptr);
    const auto base = reinterpret_cast<DWORD64>(module);
    for (DWORD rva : moves) {
        DWORD64 found = 0;
        EXPECT_NE(RtlLookupFunctionEntry(base + rva, &found, nullptr), nullptr) << std::hex << rva;
        EXPECT_EQ(found, base);
    }
    DWORD64 found = 0;
    RUNTIME_FUNCTION *entry = RtlLookupFunctionEntry(base + probe, &found, nullptr);
    ASSERT_NE(entry, nullptr) << "the probe";
    EXPECT_EQ(entry->BeginAddress, probe);

    // Unwound from inside the probe, past its two pushes (push rcx; push rax), the frame
    // gives back the caller's return address and stack, and the saved rcx.
    const DWORD64 stack[3] = {0x1111, 0x2222, 0x12345678};  // saved rax, saved rcx, return
    CONTEXT context = {};
    context.Rip = base + probe + 2;
    context.Rsp = reinterpret_cast<DWORD64>(stack);
    void *handlerData = nullptr;
    DWORD64 establisher = 0;
    RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, entry, &context, &handlerData, &establisher,
                     nullptr);
    EXPECT_EQ(context.Rip, stack[2]);
    EXPECT_EQ(context.Rsp, reinterpret_cast<DWORD64>(stack + 3));
    EXPECT_EQ(context.Rcx, stack[1]);
}

// BA2025 EnableShadowStack: the extended DLL characteristics, a debug directory entry.
TEST_F(ModuleFile, IsCetCompatible)
{
    ASSERT_TRUE(pe_->ok);
    if (!VELDRIAN_CET_COMPAT) {
        GTEST_SKIP() << "GNU ld cannot mark a DLL CET-compatible (docs/developers.md)";
    }
    if (pe_->machine == IMAGE_FILE_MACHINE_ARM64) {
        GTEST_SKIP() << "CET shadow stacks are an x64 feature";
    }
    EXPECT_EQ(
        std::count(pe_->debugTypes.begin(), pe_->debugTypes.end(), harness::kDebugTypeExDllCharacteristics),
        1);
    EXPECT_TRUE(pe_->dllCharacteristicsEx & harness::kDllCharacteristicsExCetCompat)
        << "BA2025 EnableShadowStack";
}

// BA2008 EnableControlFlowGuard: the characteristic, and the load configuration's guard
// fields and table as the loader reads them.
TEST_F(ModuleFile, CarriesControlFlowGuardTables)
{
    ASSERT_TRUE(pe_->ok);
    if (!VELDRIAN_CONTROL_FLOW_GUARD) {
        GTEST_SKIP() << "GNU ld builds no Control Flow Guard tables";
    }
    const harness::PeFile &pe = *pe_;
    EXPECT_TRUE(pe.dllCharacteristics & IMAGE_DLLCHARACTERISTICS_GUARD_CF) << "BA2008 EnableControlFlowGuard";
    ASSERT_NE(pe.loadConfig.VirtualAddress, 0u) << "no load configuration directory";
    EXPECT_NE(pe.SectionOf(pe.loadConfig.VirtualAddress), nullptr);
    EXPECT_LE(pe.loadConfig.VirtualAddress + pe.loadConfig.Size, pe.sizeOfImage);
    ASSERT_GE(pe.guard.size, harness::kGuardFlagsOffset + sizeof(DWORD))
        << "too small for the guard's fields";
    EXPECT_LE(pe.guard.size, pe.loadConfig.Size);
    EXPECT_TRUE(pe.guard.flags & harness::kGuardCfInstrumented);
    EXPECT_TRUE(pe.guard.flags & harness::kGuardCfFunctionTablePresent);

    // The check and dispatch pointers lie in the image, each holding the address of code.
    // ARM64 code checks the target and makes the call itself: it has no dispatch pointer.
    std::vector<ULONGLONG> pointers = {pe.guard.checkFunctionPointer};
    if (pe.machine == IMAGE_FILE_MACHINE_ARM64) {
        EXPECT_EQ(pe.guard.dispatchFunctionPointer, 0u);
    } else {
        pointers.push_back(pe.guard.dispatchFunctionPointer);
    }
    const auto sectionOf = [&pe](ULONGLONG va) {
        return va > pe.imageBase ? pe.SectionOf(static_cast<DWORD>(va - pe.imageBase)) : nullptr;
    };
    const auto executable = [&sectionOf](ULONGLONG va) {
        const IMAGE_SECTION_HEADER *section = sectionOf(va);
        return section != nullptr && (section->Characteristics & IMAGE_SCN_MEM_EXECUTE);
    };
    for (ULONGLONG pointer : pointers) {
        const IMAGE_SECTION_HEADER *section = sectionOf(pointer);
        ASSERT_NE(section, nullptr) << std::hex << pointer << " is not in the image";
        ULONGLONG target = 0;
        std::memcpy(&target,
                    pe.bytes.data() + section->PointerToRawData +
                        (pointer - pe.imageBase - section->VirtualAddress),
                    8);
        EXPECT_TRUE(executable(target)) << std::hex << pointer << " points at " << target;
    }

    // The valid targets: sorted, all code, among them the export and the entry point.
    ASSERT_GT(pe.guard.functionCount, 0u);
    ASSERT_EQ(pe.guard.functions.size(), pe.guard.functionCount) << "the table runs out of the image";
    EXPECT_TRUE(std::is_sorted(pe.guard.functions.begin(), pe.guard.functions.end()));
    for (DWORD rva : pe.guard.functions) {
        EXPECT_TRUE(executable(pe.imageBase + rva)) << std::hex << rva;
    }
    ASSERT_EQ(pe.exports.size(), 1u);
    for (DWORD target : {pe.exports[0].rva, pe.entryPoint}) {
        EXPECT_NE(std::find(pe.guard.functions.begin(), pe.guard.functions.end(), target),
                  pe.guard.functions.end())
            << std::hex << target << " is not a valid call target";
    }
}

// An Authenticode signature sits in the certificate table at the end of the file.
TEST_F(ModuleFile, SignatureIsAtTheEndAndWellFormed)
{
    ASSERT_TRUE(pe_->ok);
    const char *expected = getenv("VELDRIAN_EXPECT_SIGNATURE");
    if (pe_->certificates.Size == 0 && (expected == nullptr || std::strcmp(expected, "1") != 0)) {
        GTEST_SKIP() << "unsigned";
    }
    const IMAGE_DATA_DIRECTORY &table = pe_->certificates;
    ASSERT_NE(table.Size, 0u) << "no certificate table";
    ASSERT_EQ(static_cast<std::size_t>(table.VirtualAddress) + table.Size, pe_->bytes.size());
    EXPECT_EQ(table.VirtualAddress % 8, 0u);
    ASSERT_GE(table.Size, offsetof(WIN_CERTIFICATE, bCertificate));
    WIN_CERTIFICATE header;
    std::memcpy(&header, pe_->bytes.data() + table.VirtualAddress, offsetof(WIN_CERTIFICATE, bCertificate));
    EXPECT_LE(header.dwLength, table.Size);
    EXPECT_EQ(header.wRevision, WIN_CERT_REVISION_2_0);
    EXPECT_EQ(header.wCertificateType, WIN_CERT_TYPE_PKCS_SIGNED_DATA);
}

// The DLL under test can be loaded here: it is of this process's machine.
bool LoadableHere()
{
    return Loadable(harness::ReadPeFile(harness::VeldrianPath()));
}

TEST(ModuleLoad, LoadsAndResolvesTheExportByNameAndOrdinal)
{
    if (!LoadableHere()) {
        GTEST_SKIP() << "the DLL is of another machine than this process";
    }
    HMODULE module = harness::Veldrian();
    ASSERT_NE(module, nullptr) << "LoadLibrary failed: " << GetLastError();
    FARPROC byName = GetProcAddress(module, "CoInstallerE");
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(1));
    ASSERT_NE(byName, nullptr);
    EXPECT_EQ(byName, byOrdinal);
    EXPECT_EQ(GetProcAddress(module, "DllMain"), nullptr);
}

// The guard's check and dispatch functions that the DLL brings along, which instrumented
// code calls wherever the loader leaves them in place (Wine, Windows without the guard):
// they must let every call through. Called as the compiler's instrumentation calls them.
int Answer()
{
    return 42;
}

TEST(ModuleLoad, GuardFunctionsLetCallsThrough)
{
    if (!VELDRIAN_CONTROL_FLOW_GUARD) {
        GTEST_SKIP() << "GNU ld builds no Control Flow Guard tables";
    }
    if (!LoadableHere()) {
        GTEST_SKIP() << "the DLL is of another machine than this process";
    }
    const harness::PeFile pe = harness::ReadPeFile(harness::VeldrianPath());
    HMODULE module = harness::Veldrian();
    ASSERT_TRUE(pe.ok);
    ASSERT_NE(module, nullptr);
    const auto loaded = [&](ULONGLONG va) {
        return *reinterpret_cast<void *const *>(reinterpret_cast<BYTE *>(module) + (va - pe.imageBase));
    };
    void *const check = loaded(pe.guard.checkFunctionPointer);
    void *const dispatch = loaded(pe.guard.dispatchFunctionPointer);
    ASSERT_NE(check, nullptr);
    ASSERT_NE(dispatch, nullptr);

    // Dispatch: the target in rax, called through with the caller's arguments and shadow space.
    long long result = 0;
    __asm__ volatile("sub $32, %%rsp\n\tcall *%[dispatch]\n\tadd $32, %%rsp"
                     : "=a"(result)
                     : [dispatch] "r"(dispatch), "a"(&Answer)
                     : "rcx", "rdx", "r8", "r9", "r10", "r11", "memory", "cc");
    EXPECT_EQ(result, 42);
    // Check: the target in rcx; it returns when the target is valid (a faulty one ends the process).
    void *target = reinterpret_cast<void *>(&Answer);
    __asm__ volatile("sub $32, %%rsp\n\tcall *%[check]\n\tadd $32, %%rsp"
                     : "+c"(target)
                     : [check] "r"(check)
                     : "rax", "rdx", "r8", "r9", "r10", "r11", "memory", "cc");
}

}  // namespace
