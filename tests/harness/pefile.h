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

struct PeFile {
    bool ok = false;
    WORD machine = 0;
    WORD characteristics = 0;
    WORD dllCharacteristics = 0;
    std::vector<std::string> importedDlls;
    std::vector<std::string> importedFunctions;  // "DLL!Function"
    std::vector<PeExport> exports;
    std::string exportDllName;
    bool hasRelocations = false;
    bool hasDebugDirectory = false;
    std::vector<BYTE> bytes;
};

PeFile ReadPeFile(const std::wstring &path);

}  // namespace harness
