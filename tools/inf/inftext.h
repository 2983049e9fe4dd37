// Text as an INF compares and joins it: names without case, paths of a package's
// folders. Plain C++: no Windows header, so that the INF reader builds anywhere.
#pragma once

#include <string>

namespace inf {

std::wstring Folded(std::wstring text);  // lower case, as names are compared
bool SameText(const std::wstring &left, const std::wstring &right);
bool StartsWithText(const std::wstring &text, const std::wstring &start);
std::wstring Bracketed(const std::wstring &section);  // "[section]"
std::wstring WithoutBlanks(const std::wstring &text);
// folder\rest joined, without leading backslashes or dots of the relative folder.
std::wstring JoinRelative(std::wstring folder, std::wstring rest);

}  // namespace inf
