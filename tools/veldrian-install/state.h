// Registry values and files as they were before the run, so that the journal can
// put them back and leave the Wine prefix as it found it. The registry work is the
// shared helpers'; files are the host's own.
#pragma once

#include "win32/registry.h"

#include <windows.h>

#include <optional>
#include <string>

namespace host {

using win32::KeyExists;

// The text of a string value, or nothing when there is no such value.
std::optional<std::wstring> ReadString(HKEY root, const std::wstring &path, const std::wstring &name);

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
