// Registry helpers for the tools and tests: keys made, listed and deleted with
// everything below them, values read, written, saved and put back, and whole key
// trees saved and restored.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace win32 {

// A value as stored: its type and its bytes.
struct RegValue {
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const RegValue &other) const { return type == other.type && data == other.data; }
};

// Every key of a tree: key path (relative to the root) -> (value name -> value).
using RegSnapshot = std::map<std::wstring, std::map<std::wstring, RegValue>>;

// Keys. Paths are relative to `root`; an empty path is the root itself.
bool CreateKey(HKEY root, const std::wstring &path);
bool KeyExists(HKEY root, const std::wstring &path);
bool DeleteKeyTree(HKEY root, const std::wstring &path);  // the key and everything below it
std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring &path);

// Values. WriteValue makes the key when it does not exist.
std::optional<RegValue> ReadValue(HKEY root, const std::wstring &path, const std::wstring &name);
bool WriteValue(HKEY root, const std::wstring &path, const std::wstring &name, const RegValue &value);
bool WriteString(HKEY root, const std::wstring &path, const std::wstring &name, const std::wstring &text);
bool DeleteValue(HKEY root, const std::wstring &path, const std::wstring &name);
// Puts back a value that ReadValue saved: written again, or deleted when there was none.
bool RestoreValue(HKEY root, const std::wstring &path, const std::wstring &name,
                  const std::optional<RegValue> &saved);

// The text of a REG_SZ (or REG_EXPAND_SZ) value up to its first zero, within its bytes.
std::wstring StringOf(const RegValue &value);
// The texts of a REG_MULTI_SZ value, up to the empty one that ends the list.
std::vector<std::wstring> MultiStringOf(const RegValue &value);
// A REG_SZ value of the text, with its terminator.
RegValue StringValue(const std::wstring &text);
// A REG_MULTI_SZ value of the texts, each with its terminator, and the empty one that ends the list.
RegValue MultiStringValue(const std::vector<std::wstring> &texts);

// Trees: every key and value below `path`, and the tree put back as it was saved
// (keys that were not there deleted, values put back, values added since deleted).
RegSnapshot SnapshotTree(HKEY root, const std::wstring &path);
void RestoreTree(HKEY root, const RegSnapshot &saved, const std::wstring &path);

}  // namespace win32
