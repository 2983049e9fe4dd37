#include "win32/registry.h"

#include <algorithm>

namespace win32 {

namespace {

std::wstring Join(const std::wstring &path, const std::wstring &name)
{
    return path.empty() ? name : path + L"\\" + name;
}

const wchar_t *PathOrRoot(const std::wstring &path)
{
    return path.empty() ? nullptr : path.c_str();
}

void SnapshotInto(HKEY root, const std::wstring &path, RegSnapshot &snapshot)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, PathOrRoot(path), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    auto &values = snapshot[path];
    std::vector<wchar_t> name(16384);
    std::vector<BYTE> data(1 << 16);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        if (RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size) !=
            ERROR_SUCCESS) {
            break;
        }
        values[std::wstring(name.data(), nameLength)] =
            RegValue{type, std::vector<BYTE>(data.begin(), data.begin() + size)};
    }
    std::vector<std::wstring> children;
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        children.emplace_back(name.data(), nameLength);
    }
    RegCloseKey(key);
    for (const std::wstring &child : children) {
        SnapshotInto(root, Join(path, child), snapshot);
    }
}

}  // namespace

bool CreateKey(HKEY root, const std::wstring &path)
{
    HKEY key = nullptr;
    const LONG result =
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS) {
        RegCloseKey(key);
    }
    return result == ERROR_SUCCESS;
}

bool KeyExists(HKEY root, const std::wstring &path)
{
    HKEY key = nullptr;
    const bool exists = RegOpenKeyExW(root, PathOrRoot(path), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (exists) {
        RegCloseKey(key);
    }
    return exists;
}

bool DeleteKeyTree(HKEY root, const std::wstring &path)
{
    // RegDeleteTreeW takes the key itself too where the platform's does (Wine's), and
    // leaves it where it does not: either way, the key must be gone.
    RegDeleteTreeW(root, path.c_str());
    RegDeleteKeyW(root, path.c_str());
    return !KeyExists(root, path);
}

std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring &path)
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, PathOrRoot(path), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return names;
    }
    wchar_t name[512];
    for (DWORD index = 0;; ++index) {
        DWORD length = 512;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

std::optional<RegValue> ReadValue(HKEY root, const std::wstring &path, const std::wstring &name)
{
    std::optional<RegValue> value;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, PathOrRoot(path), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return value;
    }
    DWORD size = 0;
    DWORD type = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        RegValue read;
        read.data.resize(size);
        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, read.data.data(), &size) == ERROR_SUCCESS) {
            read.type = type;
            read.data.resize(size);
            value = read;
        }
    }
    RegCloseKey(key);
    return value;
}

bool WriteValue(HKEY root, const std::wstring &path, const std::wstring &name, const RegValue &value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const LONG result = RegSetValueExW(key, name.c_str(), 0, value.type, value.data.data(),
                                       static_cast<DWORD>(value.data.size()));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool WriteString(HKEY root, const std::wstring &path, const std::wstring &name, const std::wstring &text)
{
    return WriteValue(root, path, name, StringValue(text));
}

bool DeleteValue(HKEY root, const std::wstring &path, const std::wstring &name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, PathOrRoot(path), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    const LONG result = RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool RestoreValue(HKEY root, const std::wstring &path, const std::wstring &name,
                  const std::optional<RegValue> &saved)
{
    if (saved) {
        return WriteValue(root, path, name, *saved);
    }
    return DeleteValue(root, path, name) || !ReadValue(root, path, name);
}

std::wstring StringOf(const RegValue &value)
{
    std::wstring text(reinterpret_cast<const wchar_t *>(value.data.data()),
                      value.data.size() / sizeof(wchar_t));
    const auto end = text.find(L'\0');
    return end == std::wstring::npos ? text : text.substr(0, end);
}

std::vector<std::wstring> MultiStringOf(const RegValue &value)
{
    std::vector<std::wstring> texts;
    const auto *units = reinterpret_cast<const wchar_t *>(value.data.data());
    const std::size_t count = value.data.size() / sizeof(wchar_t);
    for (std::size_t start = 0; start < count && units[start] != L'\0';) {
        const std::size_t end =
            static_cast<std::size_t>(std::find(units + start, units + count, L'\0') - units);
        texts.emplace_back(units + start, end - start);
        start = end + 1;
    }
    return texts;
}

RegValue StringValue(const std::wstring &text)
{
    const auto *bytes = reinterpret_cast<const BYTE *>(text.c_str());
    return RegValue{REG_SZ, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

RegValue MultiStringValue(const std::vector<std::wstring> &texts)
{
    std::wstring units;
    for (const std::wstring &text : texts) {
        units += text;
        units.push_back(L'\0');
    }
    units.push_back(L'\0');
    const auto *bytes = reinterpret_cast<const BYTE *>(units.data());
    return RegValue{REG_MULTI_SZ, std::vector<BYTE>(bytes, bytes + units.size() * sizeof(wchar_t))};
}

RegSnapshot SnapshotTree(HKEY root, const std::wstring &path)
{
    RegSnapshot snapshot;
    SnapshotInto(root, path, snapshot);
    return snapshot;
}

void RestoreTree(HKEY root, const RegSnapshot &saved, const std::wstring &path)
{
    const RegSnapshot now = SnapshotTree(root, path);
    // Keys that were not there before go, deepest first; values are put back as they were.
    for (auto it = now.rbegin(); it != now.rend(); ++it) {
        if (saved.find(it->first) == saved.end()) {
            RegDeleteTreeW(root, it->first.c_str());
            RegDeleteKeyW(root, it->first.c_str());
        }
    }
    for (const auto &[key, values] : saved) {
        CreateKey(root, key);
        const auto current = now.find(key);
        if (current != now.end()) {
            for (const auto &[name, value] : current->second) {
                if (values.find(name) == values.end()) {
                    DeleteValue(root, key, name);
                }
            }
        }
        for (const auto &[name, value] : values) {
            WriteValue(root, key, name, value);
        }
    }
}

}  // namespace win32
