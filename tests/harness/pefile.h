// Reads a PE file from disk (not loaded), for checks of what the built DLL carries.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace harness {

struct PeExport {
    std::string name;
    DWORD ordinal;
};

// Values newer than the mingw-w64 headers (Windows SDK's winnt.h names).
constexpr DWORD kDebugTypeExDllCharacteristics = 20;    // IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS
constexpr DWORD kDllCharacteristicsExCetCompat = 0x01;  // IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT
constexpr DWORD kGuardCfInstrumented = 0x100;           // IMAGE_GUARD_CF_INSTRUMENTED
constexpr DWORD kGuardCfFunctionTablePresent = 0x400;   // IMAGE_GUARD_CF_FUNCTION_TABLE_PRESENT
constexpr DWORD kGuardFlagsOffset = 0x90;               // GuardFlags in the 64-bit load configuration

// The Control Flow Guard fields of the load configuration directory (64-bit layout).
struct PeGuard {
    DWORD size = 0;                      // the directory's own Size field
    ULONGLONG checkFunctionPointer = 0;  // VAs, as the file holds them
    ULONGLONG dispatchFunctionPointer = 0;
    ULONGLONG functionTable = 0;
    ULONGLONG functionCount = 0;
    DWORD flags = 0;
    std::vector<DWORD> functions;  // the table's RVAs, when it lies in the file
};

struct PeFile {
    bool ok = false;
    WORD machine = 0;
    WORD characteristics = 0;
    WORD dllCharacteristics = 0;
    ULONGLONG imageBase = 0;
    DWORD sizeOfImage = 0;
    DWORD entryPoint = 0;
    std::vector<IMAGE_SECTION_HEADER> sections;
    std::vector<std::string> importedDlls;
    std::vector<std::string> importedFunctions;  // "DLL!Function"
    std::vector<PeExport> exports;
    std::string exportDllName;
    DWORD exportBase = 0;
    DWORD exportFunctionCount = 0;  // slots of the export address table
    bool hasRelocations = false;
    bool hasDebugDirectory = false;
    std::vector<DWORD> debugTypes;   // IMAGE_DEBUG_TYPE_* of each debug directory entry
    DWORD dllCharacteristicsEx = 0;  // from the IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS entry
    IMAGE_DATA_DIRECTORY loadConfig = {};
    PeGuard guard;
    IMAGE_DATA_DIRECTORY certificates = {};  // a file offset, not an RVA
    std::vector<BYTE> bytes;

    // The section holding an RVA, or nullptr.
    const IMAGE_SECTION_HEADER *SectionOf(DWORD rva) const;
};

PeFile ReadPeFile(const std::wstring &path);

}  // namespace harness
