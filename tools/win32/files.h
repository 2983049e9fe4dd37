// Files and folders as the tools and tests use them: a file's bytes read whole, a
// folder's entries, a tree removed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace win32 {

// The bytes of a file, read whole (at most 1 GiB). False when it cannot be opened
// or read, with GetLastError() telling why.
bool ReadWholeFile(const std::wstring &path, std::string *bytes);
std::string ReadWholeFile(const std::wstring &path);  // "" when it cannot be read
// Writes a file whole, replacing what was there.
bool WriteWholeFile(const std::wstring &path, const std::string &bytes);
bool FileExists(const std::wstring &path);  // a file, not a folder
bool SameFileContents(const std::wstring &firstPath, const std::wstring &secondPath);

struct FolderEntry {
    std::wstring name;
    bool folder = false;
};
// The entries of a folder (with or without a trailing backslash), less "." and "..".
std::vector<FolderEntry> ListFolder(const std::wstring &directory);
// A folder with everything in it, read-only files included.
void RemoveFolderTree(const std::wstring &directory);
// Makes `directory` (absolute) and every folder above it that is missing; false when it
// is not a folder afterwards.
bool MakeFolders(const std::wstring &directory);

}  // namespace win32
