// The stack protector of the built DLL, found from the binary itself whichever
// toolchain built it: the guard is the one data word that the start-up changes at
// load (it is chosen at random then, not left at its value in the file); the
// guarded functions, listed by the exception directory, read it on entry and
// check it on exit, and all of them call one routine when it no longer matches.
// Where the DLL keeps its COFF symbol table, the names are checked as well.
#include "harness/harness.h"
#include "harness/pefile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <set>

namespace {

// The loaded DLL: its base in memory, and its headers as the file gives them.
struct Image {
    BYTE *base = nullptr;
    const harness::PeFile *file = nullptr;
    const IMAGE_DATA_DIRECTORY &Directory(int index) const { return file->directories[index]; }
};

bool Overlaps(DWORD start, DWORD size, const IMAGE_DATA_DIRECTORY &dir)
{
    return dir.Size != 0 && start < dir.VirtualAddress + dir.Size && dir.VirtualAddress < start + size;
}

// The RVAs the loader relocates (64-bit slots of the base relocation table).
std::set<DWORD> RelocatedSlots(const Image &image)
{
    std::set<DWORD> slots;
    const IMAGE_DATA_DIRECTORY &dir = image.Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC);
    for (DWORD offset = 0; offset + sizeof(IMAGE_BASE_RELOCATION) <= dir.Size;) {
        const auto *block =
            reinterpret_cast<const IMAGE_BASE_RELOCATION *>(image.base + dir.VirtualAddress + offset);
        if (block->SizeOfBlock < sizeof(IMAGE_BASE_RELOCATION)) {
            break;
        }
        const auto *entries = reinterpret_cast<const WORD *>(block + 1);
        const std::size_t count = (block->SizeOfBlock - sizeof(IMAGE_BASE_RELOCATION)) / sizeof(WORD);
        for (std::size_t index = 0; index < count; ++index) {
            if ((entries[index] >> 12) == IMAGE_REL_BASED_DIR64) {
                slots.insert(block->VirtualAddress + (entries[index] & 0xFFF));
            }
        }
        offset += block->SizeOfBlock;
    }
    return slots;
}

TEST(StackProtector, GuardedFunctionsCheckAGuardChosenAtLoad)
{
    const harness::PeFile pe = harness::ReadPeFile(harness::VeldrianPath());
    ASSERT_TRUE(pe.ok);
    HMODULE module = harness::Veldrian();
    ASSERT_NE(module, nullptr);
    const Image image{reinterpret_cast<BYTE *>(module), &pe};
    const std::set<DWORD> relocated = RelocatedSlots(image);

    // The guard: a word of initialised writable data that differs from the file once
    // loaded, not because the loader relocated or bound it.
    std::vector<DWORD> changed;
    std::uint64_t fileValue = 0;
    std::uint64_t loadedValue = 0;
    for (const IMAGE_SECTION_HEADER &section : pe.sections) {
        if (!(section.Characteristics & IMAGE_SCN_MEM_WRITE) || section.SizeOfRawData == 0 ||
            Overlaps(section.VirtualAddress, section.Misc.VirtualSize,
                     image.Directory(IMAGE_DIRECTORY_ENTRY_IAT)) ||
            Overlaps(section.VirtualAddress, section.Misc.VirtualSize,
                     image.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT))) {
            continue;
        }
        const DWORD bytes = std::min(section.SizeOfRawData, section.Misc.VirtualSize);
        for (DWORD offset = 0; offset + 8 <= bytes; offset += 8) {
            const DWORD rva = section.VirtualAddress + offset;
            std::uint64_t inFile = 0;
            std::uint64_t inMemory = 0;
            std::memcpy(&inFile, pe.bytes.data() + section.PointerToRawData + offset, 8);
            std::memcpy(&inMemory, image.base + rva, 8);
            if (inFile != inMemory && !relocated.contains(rva)) {
                changed.push_back(rva);
                fileValue = inFile;
                loadedValue = inMemory;
            }
        }
    }
    ASSERT_EQ(changed.size(), 1u) << "the start-up chooses exactly one value at load: the stack guard";
    const DWORD guard = changed[0];
    EXPECT_NE(loadedValue, fileValue);
    EXPECT_NE(loadedValue, 0u);

    // Code reaches the guard directly or through a pointer slot the loader fills.
    std::set<DWORD> targets = {guard};
    const std::uint64_t guardAddress = reinterpret_cast<std::uint64_t>(image.base) + guard;
    for (const IMAGE_SECTION_HEADER &section : pe.sections) {
        for (DWORD offset = 0; offset + 8 <= section.Misc.VirtualSize; offset += 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, image.base + section.VirtualAddress + offset, 8);
            if (word == guardAddress) {
                targets.insert(section.VirtualAddress + offset);
            }
        }
    }

    // The functions, from the exception directory; a guarded one holds RIP-relative
    // references to the guard, and every guarded one calls the same failure routine.
    const IMAGE_DATA_DIRECTORY &exceptions = image.Directory(IMAGE_DIRECTORY_ENTRY_EXCEPTION);
    const auto *functions =
        reinterpret_cast<const RUNTIME_FUNCTION *>(image.base + exceptions.VirtualAddress);
    const std::size_t functionCount = exceptions.Size / sizeof(RUNTIME_FUNCTION);
    ASSERT_GT(functionCount, 0u);
    std::vector<std::pair<const RUNTIME_FUNCTION *, std::set<DWORD>>> referencing;  // with their call targets
    std::map<DWORD, int> callees;  // call target -> number of referencing functions calling it
    for (std::size_t index = 0; index < functionCount; ++index) {
        const RUNTIME_FUNCTION &function = functions[index];
        bool references = false;
        std::set<DWORD> calls;
        for (DWORD rva = function.BeginAddress; rva + 4 <= function.EndAddress; ++rva) {
            std::int32_t displacement = 0;
            std::memcpy(&displacement, image.base + rva, 4);
            const DWORD next = rva + 4;
            references = references ||
                         targets.contains(static_cast<DWORD>(static_cast<std::int64_t>(next) + displacement));
            if (rva > function.BeginAddress && image.base[rva - 1] == 0xE8) {
                calls.insert(static_cast<DWORD>(static_cast<std::int64_t>(next) + displacement));
            }
        }
        if (references) {
            referencing.emplace_back(&function, calls);
            for (DWORD target : calls) {
                ++callees[target];
            }
        }
    }
    // The failure routine is the one most of them call (the start-up, which sets the
    // guard, calls nothing of the kind); the guarded functions are those calling it.
    ASSERT_FALSE(callees.empty()) << "no function reads the guard";
    const DWORD failure = std::max_element(callees.begin(), callees.end(), [](const auto &a, const auto &b) {
                              return a.second < b.second;
                          })->first;
    std::vector<const RUNTIME_FUNCTION *> guarded;
    for (const auto &[function, calls] : referencing) {
        if (calls.contains(failure)) {
            guarded.push_back(function);
        }
    }
    std::cout << "[ guard    ] at RVA 0x" << std::hex << guard << ", failure routine at RVA 0x" << failure
              << std::dec << ", " << guarded.size() << " of " << functionCount << " functions guarded"
              << std::endl;
    // Every function of the library with a local text buffer is guarded.
    EXPECT_GE(guarded.size(), 6u);

    const std::map<std::string, DWORD> &symbols = pe.symbols;
    if (symbols.empty()) {
        std::cout << "[ guard    ] no COFF symbol table in this build: names not checked" << std::endl;
        return;
    }
    EXPECT_EQ(symbols.contains("__stack_chk_guard") ? symbols.at("__stack_chk_guard") : 0u, guard);
    EXPECT_EQ(symbols.contains("__stack_chk_fail") ? symbols.at("__stack_chk_fail") : 0u, failure);
    for (const char *name :
         {"TraceMessage", "GetPrinterModelName", "GetPrinterPortName", "GetFullPrinterName",
          "SetDefaultPrinterInRegistry", "SetDefaultPrinterForAllUsers"}) {
        bool found = false;
        for (const auto &[symbol, rva] : symbols) {
            if (symbol.find(name) == std::string::npos) {
                continue;
            }
            for (const RUNTIME_FUNCTION *function : guarded) {
                found = found || function->BeginAddress == rva;
            }
        }
        EXPECT_TRUE(found) << name << " is not guarded";
    }
}

}  // namespace
