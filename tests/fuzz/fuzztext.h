// The text a fuzz input stands for, as the tools read a file: UTF-16 (little-endian)
// after its byte-order mark, otherwise one character per byte. Header-only: each fuzz
// target and the native tests include it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline std::wstring FuzzText(const std::uint8_t *data, std::size_t size)
{
    std::wstring text;
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) {
        for (std::size_t at = 2; at + 1 < size; at += 2) {
            text += static_cast<wchar_t>(data[at] | (data[at + 1] << 8));
        }
    } else {
        for (std::size_t at = 0; at < size; ++at) {
            text += static_cast<wchar_t>(data[at]);
        }
    }
    return text;
}
