#include "win32/files.h"

namespace win32 {

namespace {

std::wstring WithBackslash(const std::wstring &directory)
{
    return !directory.empty() && directory.back() != L'\\' ? directory + L'\\' : directory;
}

}  // namespace

bool ReadWholeFile(const std::wstring &path, std::string *bytes)
{
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    LARGE_INTEGER size = {};
    bool readable = GetFileSizeEx(file, &size) != FALSE;
    if (readable && size.QuadPart >= (1LL << 30)) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        readable = false;
    }
    if (readable) {
        bytes->resize(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        readable = bytes->empty() ||
                   (ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) &&
                    read == bytes->size());
    }
    const DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return readable;
}

std::string ReadWholeFile(const std::wstring &path)
{
    std::string bytes;
    return ReadWholeFile(path, &bytes) ? bytes : std::string();
}

bool WriteWholeFile(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD written = 0;
    const bool whole = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                       written == bytes.size();
    CloseHandle(file);
    return whole;
}

bool FileExists(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool SameFileContents(const std::wstring &firstPath, const std::wstring &secondPath)
{
    std::string first;
    std::string second;
    return ReadWholeFile(firstPath, &first) && ReadWholeFile(secondPath, &second) && first == second;
}

std::vector<FolderEntry> ListFolder(const std::wstring &directory)
{
    std::vector<FolderEntry> entries;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((WithBackslash(directory) + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return entries;
    }
    do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            entries.push_back({name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return entries;
}

void RemoveFolderTree(const std::wstring &directory)
{
    const std::wstring base = WithBackslash(directory);
    for (const FolderEntry &entry : ListFolder(base)) {
        if (entry.folder) {
            RemoveFolderTree(base + entry.name);
        } else {
            SetFileAttributesW((base + entry.name).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW((base + entry.name).c_str());
        }
    }
    RemoveDirectoryW(base.c_str());
}

bool MakeFolders(const std::wstring &directory)
{
    // Each level below the drive ("C:\") in turn.
    for (std::size_t at = directory.find(L'\\', 3); at != std::wstring::npos;
         at = directory.find(L'\\', at + 1)) {
        CreateDirectoryW(directory.substr(0, at).c_str(), nullptr);
    }
    CreateDirectoryW(directory.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(directory.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace win32
