#include "prefixlock.h"

#include <windows.h>

namespace host {

namespace {

// A named object lives as long as a process holds it, and Wine keeps one set of names
// per prefix (per wineserver): it is the prefix's lock, and it names its holder.
const wchar_t kHolderName[] = L"veldrian-install: the run holding this prefix";

}  // namespace

bool HoldPrefix(std::wstring *error)
{
    HANDLE holder =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(DWORD), kHolderName);
    const bool held = GetLastError() == ERROR_ALREADY_EXISTS;
    auto *process =
        holder == nullptr
            ? nullptr
            : static_cast<volatile DWORD *>(MapViewOfFile(holder, FILE_MAP_WRITE, 0, 0, sizeof(DWORD)));
    if (process == nullptr) {
        *error = L"cannot hold this Wine prefix for the run: error " + std::to_wstring(GetLastError());
        if (holder != nullptr) {
            CloseHandle(holder);
        }
        return false;
    }
    if (!held) {
        *process = GetCurrentProcessId();
        return true;  // the handle stays open until the process ends
    }
    // The holder writes its ID right after making the object: wait for it a little.
    for (int tries = 0; tries < 50 && *process == 0; ++tries) {
        Sleep(20);
    }
    *error = L"another veldrian-install (process " + std::to_wstring(*process) +
             L") is running on this Wine prefix: wait for it to end, or stop it with Ctrl+C";
    UnmapViewOfFile(const_cast<DWORD *>(process));
    CloseHandle(holder);
    return false;
}

}  // namespace host
