#include "inftext.h"

#include <algorithm>
#include <cwctype>

namespace inf {

std::wstring Folded(std::wstring text)
{
    std::ranges::transform(text, text.begin(),
                           [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

bool SameText(const std::wstring &left, const std::wstring &right)
{
    return left.size() == right.size() &&
           std::equal(left.begin(), left.end(), right.begin(),
                      [](wchar_t a, wchar_t b) { return a == b || std::towlower(a) == std::towlower(b); });
}

bool StartsWithText(const std::wstring &text, const std::wstring &start)
{
    return text.size() >= start.size() && SameText(text.substr(0, start.size()), start);
}

std::wstring Bracketed(const std::wstring &section)
{
    return L"[" + section + L"]";
}

std::wstring WithoutBlanks(const std::wstring &text)
{
    std::wstring result;
    std::ranges::copy_if(text, std::back_inserter(result), [](wchar_t c) { return c != L' ' && c != L'\t'; });
    return result;
}

std::wstring JoinRelative(std::wstring folder, std::wstring rest)
{
    while (!folder.empty() && (folder.front() == L'\\' || folder.front() == L'.')) {
        folder.erase(folder.begin());
    }
    if (!folder.empty() && folder.back() != L'\\') {
        folder += L'\\';
    }
    while (!rest.empty() && rest.front() == L'\\') {
        rest.erase(rest.begin());
    }
    return folder + rest;
}

}  // namespace inf
