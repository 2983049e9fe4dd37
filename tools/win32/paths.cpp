#include "win32/paths.h"

#include <algorithm>

namespace win32 {

namespace {

template <typename Text>
Text WindowsForm(Text path, const Text &drive)
{
    if (!path.empty() && path[0] == '/') {
        std::replace(path.begin(), path.end(), static_cast<typename Text::value_type>('/'),
                     static_cast<typename Text::value_type>('\\'));
        path = drive + path;
    }
    return path;
}

}  // namespace

std::string WindowsPath(const std::string &path)
{
    return WindowsForm<std::string>(path, "Z:");
}

std::wstring WindowsPath(const std::wstring &path)
{
    return WindowsForm<std::wstring>(path, L"Z:");
}

}  // namespace win32
