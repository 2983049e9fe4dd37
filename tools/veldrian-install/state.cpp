#include "state.h"

#include "package.h"

namespace host {

std::optional<std::wstring> ReadString(HKEY root, const std::wstring &path, const std::wstring &name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::optional<std::wstring> text;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        std::vector<BYTE> data(size + sizeof(wchar_t) * 2, 0);
        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size) == ERROR_SUCCESS) {
            std::wstring value(reinterpret_cast<const wchar_t *>(data.data()), size / sizeof(wchar_t));
            const std::size_t end = value.find(L'\0');
            text = end == std::wstring::npos ? value : value.substr(0, end);
        }
    }
    RegCloseKey(key);
    return text;
}

bool WriteString(HKEY root, const std::wstring &path, const std::wstring &name, const std::wstring &text)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    const LONG result =
        RegSetValueExW(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool KeyExists(HKEY root, const std::wstring &path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

bool DeleteKeyTree(HKEY root, const std::wstring &path)
{
    RegDeleteTreeW(root, path.c_str());
    return RegDeleteKeyW(root, path.c_str()) == ERROR_SUCCESS || !KeyExists(root, path);
}

std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring &path)
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.empty() ? nullptr : path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS, &key) !=
        ERROR_SUCCESS) {
        return names;
    }
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
}

std::vector<std::wstring> MultiString(HKEY key, const std::wstring &name)
{
    std::vector<std::wstring> items;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
        return items;
    }
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE *>(data.data()), &size) !=
        ERROR_SUCCESS) {
        return items;
    }
    for (const wchar_t *item = data.data(); *item != L'\0'; item += lstrlenW(item) + 1) {
        items.emplace_back(item);
    }
    return items;
}

SavedValue SaveValue(HKEY root, const std::wstring &path, const std::wstring &name)
{
    SavedValue saved;
    saved.root = root;
    saved.path = path;
    saved.name = name;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return saved;
    }
    DWORD size = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
        saved.data.resize(size);
        saved.existed = RegQueryValueExW(key, name.c_str(), nullptr, &saved.type, saved.data.data(), &size) ==
                        ERROR_SUCCESS;
        saved.data.resize(size);
    }
    RegCloseKey(key);
    return saved;
}

void RestoreValue(const SavedValue &saved)
{
    HKEY key = nullptr;
    if (saved.existed) {
        if (RegCreateKeyExW(saved.root, saved.path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr) == ERROR_SUCCESS) {
            RegSetValueExW(key, saved.name.c_str(), 0, saved.type, saved.data.data(),
                           static_cast<DWORD>(saved.data.size()));
            RegCloseKey(key);
        }
    } else if (RegOpenKeyExW(saved.root, saved.path.c_str(), 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, saved.name.c_str());
        RegCloseKey(key);
    }
}

SavedKey SaveKey(HKEY root, const std::wstring &path)
{
    SavedKey saved;
    saved.root = root;
    saved.path = path;
    saved.existed = KeyExists(root, path);
    return saved;
}

void RemoveIfNewAndEmpty(const SavedKey &saved)
{
    if (saved.existed) {
        return;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExW(saved.root, saved.path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    DWORD subkeys = 0;
    DWORD values = 0;
    const bool empty = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                        nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                       subkeys == 0 && values == 0;
    RegCloseKey(key);
    if (empty) {
        RegDeleteKeyW(saved.root, saved.path.c_str());
    }
}

namespace {

std::vector<std::wstring> ValueNames(HKEY root, const std::wstring &path)
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return names;
    }
    std::vector<wchar_t> name(16384);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        if (RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name.data(), length);
    }
    RegCloseKey(key);
    return names;
}

}  // namespace

SavedValues SaveValues(HKEY root, const std::wstring &path)
{
    SavedValues saved{root, path, {}};
    for (const std::wstring &name : ValueNames(root, path)) {
        saved.values.push_back(SaveValue(root, path, name));
    }
    return saved;
}

void RestoreValues(const SavedValues &saved)
{
    for (const std::wstring &name : ValueNames(saved.root, saved.path)) {
        bool known = false;
        for (const SavedValue &value : saved.values) {
            known = known || lstrcmpiW(value.name.c_str(), name.c_str()) == 0;
        }
        if (!known) {
            SavedValue added;
            added.root = saved.root;
            added.path = saved.path;
            added.name = name;
            RestoreValue(added);
        }
    }
    for (const SavedValue &value : saved.values) {
        RestoreValue(value);
    }
}

SavedFile SaveFile(const std::wstring &path)
{
    SavedFile saved;
    saved.path = path;
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info)) {
        saved.existed = true;
        saved.complete =
            (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && ReadFileBytes(path, &saved.data);
        saved.attributes = info.dwFileAttributes;
        saved.created = info.ftCreationTime;
        saved.accessed = info.ftLastAccessTime;
        saved.written = info.ftLastWriteTime;
    }
    return saved;
}

bool RestoreFile(const SavedFile &saved)
{
    if (saved.existed && !saved.complete) {
        return false;
    }
    if (!saved.existed) {
        SetFileAttributesW(saved.path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return DeleteFileW(saved.path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
    }
    SetFileAttributesW(saved.path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileW(saved.path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    bool ok = saved.data.empty() ||
              (WriteFile(file, saved.data.data(), static_cast<DWORD>(saved.data.size()), &written, nullptr) &&
               written == saved.data.size());
    SetFileTime(file, &saved.created, &saved.accessed, &saved.written);
    CloseHandle(file);
    SetFileAttributesW(saved.path.c_str(), saved.attributes);
    return ok;
}

}  // namespace host
