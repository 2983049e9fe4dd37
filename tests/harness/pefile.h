// Reads a PE file from disk (not loaded), for checks of what the built DLL carries.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

namespace harness {

struct PeExport {
    std::string name;
    DWORD ordinal;
    DWORD rva = 0;  // the function's, from the export address table
};

// Values newer than the mingw-w64 headers (Windows SDK's winnt.h names).
constexpr DWORD kDebugTypeExDllCharacteristics = 20;    // IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS
constexpr DWORD kDllCharacteristicsExCetCompat = 0x01;  // IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT
constexpr DWORD kGuardCfInstrumented = 0x100;           // IMAGE_GUARD_CF_INSTRUMENTED
constexpr DWORD kGuardCfFunctionTablePresent = 0x400;   // IMAGE_GUARD_CF_FUNCTION_TABLE_PRESENT
constexpr DWORD kGuardFlagsOffset = 0x90;               // GuardFlags in the 64-bit load configuration
constexpr DWORD kSecurityCookieOffset = 0x58;           // SecurityCookie in the 64-bit load configuration
constexpr ULONGLONG kDefaultSecurityCookie = 0x00002B992DDFA232ULL;  // the loader's unseeded 64-bit cookie

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

// One function's entry of the exception directory (.pdata), as RVAs. x64 entries give
// the end; ARM64 entries give the length, in the entry (packed unwind data) or in the
// unwind data it points at (`unwind`, 0 when packed), from which `end` is reckoned.
struct PeFunctionEntry {
    DWORD begin;
    DWORD end;
    DWORD unwind;
};

struct PeFile {
    bool ok = false;
    WORD machine = 0;
    WORD characteristics = 0;
    WORD dllCharacteristics = 0;
    DWORD timeDateStamp = 0;
    DWORD pointerToSymbolTable = 0;
    DWORD numberOfSymbols = 0;
    WORD subsystem = 0;
    WORD majorOsVersion = 0, minorOsVersion = 0;
    WORD majorSubsystemVersion = 0, minorSubsystemVersion = 0;
    DWORD checkSum = 0;  // as the header holds it
    ULONGLONG imageBase = 0;
    DWORD sizeOfImage = 0;
    DWORD entryPoint = 0;
    std::vector<IMAGE_SECTION_HEADER> sections;
    std::vector<std::string> sectionNames;  // whole, a long one read from the string table
    IMAGE_DATA_DIRECTORY directories[IMAGE_NUMBEROF_DIRECTORY_ENTRIES] = {};
    std::map<std::string, DWORD> symbols;          // the COFF symbol table, name to RVA (none when stripped)
    std::vector<PeFunctionEntry> functionEntries;  // the exception directory (x64 or ARM64)
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
    IMAGE_DATA_DIRECTORY importAddressTable = {};
    IMAGE_DATA_DIRECTORY resources = {};
    ULONGLONG securityCookie = 0;  // the load configuration's SecurityCookie (a VA), 0 when none
    PeGuard guard;
    IMAGE_DATA_DIRECTORY certificates = {};  // a file offset, not an RVA
    std::vector<BYTE> bytes;

    // The section holding an RVA, or nullptr.
    const IMAGE_SECTION_HEADER *SectionOf(DWORD rva) const;
    // The whole name of one of `sections`.
    const std::string &SectionName(const IMAGE_SECTION_HEADER &section) const;
    // The file's bytes at an RVA, or nullptr when fewer than `count` lie in the file there.
    const BYTE *At(DWORD rva, std::size_t count) const;
};

PeFile ReadPeFile(const std::wstring &path);

// The header checksum of a PE file's bytes, computed as Windows' image help library
// computes it (the checksum field itself counts as zero).
DWORD PeChecksum(const std::vector<BYTE> &bytes);

}  // namespace harness
