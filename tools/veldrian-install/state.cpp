#include "state.h"

#include "win32/files.h"

namespace host {

std::optional<std::wstring> ReadString(HKEY root, const std::wstring &path, const std::wstring &name)
{
    const std::optional<win32::RegValue> value = win32::ReadValue(root, path, name);
    return value ? std::optional<std::wstring>(win32::StringOf(*value)) : std::nullopt;
}

SavedFile SaveFile(const std::wstring &path)
{
    SavedFile saved;
    saved.path = path;
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &info)) {
        saved.existed = true;
        saved.complete = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
                         win32::ReadWholeFile(path, &saved.data);
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
