// Paths under Wine: the programs run as Windows programs, but are handed Unix paths
// by the scripts and the build.
#pragma once

#include <string>

namespace win32 {

// The Windows form of a path: a Unix path (one that starts with '/') lies on drive
// Z: with backslashes for slashes; any other path is returned as it is.
std::string WindowsPath(const std::string &path);
std::wstring WindowsPath(const std::wstring &path);

}  // namespace win32
