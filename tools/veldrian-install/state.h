// Registry values and files as they were before the run, so that the run can put
// them back and leave the Wine prefix as it found it. The registry work is the
// shared helpers'; files are the host's own.
#pragma once

#include "win32/registry.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace host {

using win32::DeleteKeyTree;
using win32::KeyExists;
using win32::SubkeyNames;
using win32::WriteString;

// The text of a string value, or nothing when there is no such value.
std::optional<std::wstring> ReadString(HKEY root, const std::wstring &path, const std::wstring &name);
// The texts of a REG_MULTI_SZ value (none when there is no such value).
std::vector<std::wstring> MultiString(HKEY root, const std::wstring &path, const std::wstring &name);

struct SavedValue {
    HKEY root = nullptr;
    std::wstring path;
    std::wstring name;
    std::optional<win32::RegValue> value;  // nothing: there was none
};
SavedValue SaveValue(HKEY root, const std::wstring &path, const std::wstring &name);
void RestoreValue(const SavedValue &saved);  // puts the value back, or deletes it

struct SavedFile {
    std::wstring path;
    bool existed = false;
    bool complete = false;  // its contents could be read (a file that could not is left alone)
    std::string data;
    FILETIME created{}, accessed{}, written{};
    DWORD attributes = 0;
};
SavedFile SaveFile(const std::wstring &path);
// Puts the file back as it was, or deletes it when there was none.
bool RestoreFile(const SavedFile &saved);

}  // namespace host
