// Text between the UTF-16 of the wide calls and the bytes the tools read and write:
// UTF-8 for their output and JSON, the ANSI code page of the debugger output.
#pragma once

#include <windows.h>

#include <array>
#include <string>

namespace win32 {

std::string Utf8(const std::wstring &text);  // a lone surrogate becomes U+FFFD
std::wstring Wide(const std::string &utf8);
// Bytes in a code page, as UTF-16. With `valid`, bytes that are not valid in the code
// page give an empty text and *valid false.
std::wstring FromCodePage(UINT codePage, const std::string &bytes, bool *valid = nullptr);
// Each byte of this system's ANSI code page as a character, from the platform's own
// conversion (right for a single-byte code page).
std::array<wchar_t, 256> AnsiCodePageTable();

}  // namespace win32
