// A DLL a package ships, read from its file (an ARM64 DLL cannot be loaded here to
// look): whether it can be VELDRIAN on 64-bit Windows, and for which machine.
#pragma once

#include <windows.h>

#include <string>

namespace host {

struct DllFile {
    std::wstring reason;  // why it cannot be VELDRIAN on any 64-bit Windows, or ""
    WORD machine = 0;     // IMAGE_FILE_MACHINE_*
};

DllFile ReadDll(const std::wstring &path);

// "x64", "ARM64", or "other".
const wchar_t *MachineName(WORD machine);
// 0x%04X (digits 4) or 0x%08X.
std::wstring Hex(DWORD value, int digits);

// A one-line reason why a DLL cannot be VELDRIAN for 64-bit (x64) Windows, or empty.
std::wstring CheckVeldrianDll(const std::wstring &path);

}  // namespace host
