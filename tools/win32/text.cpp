#include "win32/text.h"

namespace win32 {

std::string Utf8(const std::wstring &text)
{
    const int size = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, narrow.data(), length, nullptr, nullptr);
    return narrow;
}

std::wstring Wide(const std::string &utf8)
{
    return FromCodePage(CP_UTF8, utf8);
}

std::wstring FromCodePage(UINT codePage, const std::string &bytes, bool *valid)
{
    const DWORD flags = valid != nullptr ? MB_ERR_INVALID_CHARS : 0;
    const int size = static_cast<int>(bytes.size());
    const int length = MultiByteToWideChar(codePage, flags, bytes.data(), size, nullptr, 0);
    if (valid != nullptr) {
        *valid = length > 0 || size == 0;
    }
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    MultiByteToWideChar(codePage, flags, bytes.data(), size, wide.data(), length);
    return wide;
}

std::array<wchar_t, 256> AnsiCodePageTable()
{
    std::array<wchar_t, 256> table{};
    for (unsigned byte = 0; byte < table.size(); ++byte) {
        const char narrow = static_cast<char>(byte);
        wchar_t wide = L'\0';
        MultiByteToWideChar(CP_ACP, 0, &narrow, 1, &wide, 1);
        table[byte] = wide;
    }
    return table;
}

}  // namespace win32
