// An INF file's bytes as SetupAPI decodes them into text: UTF-16 (little-endian) when
// the platform's test for Unicode text takes it for such (with or without its
// byte-order mark), else UTF-8 after a UTF-8 byte-order mark, else the ANSI code
// page. A NUL character in UTF-16 text makes SetupAPI refuse the file; a NUL byte of a
// code page it reads as a blank. Plain C++: no Windows header; the ANSI code page comes
// from the caller (the platform's, where it runs).
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace inf {

// Each byte of a single-byte ANSI code page as a character.
using AnsiTable = std::array<wchar_t, 256>;

struct DecodedInf {
    std::wstring text;
    std::wstring refusal;             // why SetupAPI refuses the file, or ""
    std::vector<std::wstring> notes;  // where SetupAPI reads what the INF rules do not allow
};

DecodedInf DecodeInf(std::string_view bytes, const AnsiTable &ansi);

}  // namespace inf
