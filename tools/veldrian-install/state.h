// Registry values, keys and files as they were before the run, so that the run can
// put them back and leave the Wine prefix as it found it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace host {

std::optional<std::wstring> ReadString(HKEY root, const std::wstring &path, const std::wstring &name);
bool WriteString(HKEY root, const std::wstring &path, const std::wstring &name, const std::wstring &text);
bool KeyExists(HKEY root, const std::wstring &path);
bool DeleteKeyTree(HKEY root, const std::wstring &path);
std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring &path);
std::vector<std::wstring> MultiString(HKEY key, const std::wstring &name);

struct SavedValue {
    HKEY root = nullptr;
    std::wstring path;
    std::wstring name;
    bool existed = false;
    DWORD type = 0;
    std::vector<BYTE> data;
};
SavedValue SaveValue(HKEY root, const std::wstring &path, const std::wstring &name);
void RestoreValue(const SavedValue &saved);  // puts the value back, or deletes it

// A key that did not exist before is deleted again if it is left empty.
struct SavedKey {
    HKEY root = nullptr;
    std::wstring path;
    bool existed = false;
};
SavedKey SaveKey(HKEY root, const std::wstring &path);
void RemoveIfNewAndEmpty(const SavedKey &saved);

// Every value of a key, so that values added under it can be removed again and
// changed ones put back.
struct SavedValues {
    HKEY root = nullptr;
    std::wstring path;
    std::vector<SavedValue> values;
};
SavedValues SaveValues(HKEY root, const std::wstring &path);
void RestoreValues(const SavedValues &saved);

struct SavedFile {
    std::wstring path;
    bool existed = false;
    bool complete = false;  // its contents could be read (a file that could not is left alone)
    std::vector<char> data;
    FILETIME created{}, accessed{}, written{};
    DWORD attributes = 0;
};
SavedFile SaveFile(const std::wstring &path);
// Puts the file back as it was, or deletes it when there was none.
bool RestoreFile(const SavedFile &saved);

}  // namespace host
