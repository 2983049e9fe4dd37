// Small bounded text helpers shared by the default-printer steps. They never read
// or write past the capacity they are given.
#pragma once

#include <windows.h>

#include <cstddef>

namespace text {

// Number of units before the first zero within `capacity` units, or `capacity`
// when there is no zero there.
inline std::size_t LengthWithin(const WCHAR *source, std::size_t capacity)
{
    std::size_t length = 0;
    while (length < capacity && source[length] != L'\0') {
        ++length;
    }
    return length;
}

// Copies `source` with its terminator; `target` must have room for both.
inline void Copy(WCHAR *target, const WCHAR *source)
{
    std::size_t index = 0;
    while (source[index] != L'\0') {
        target[index] = source[index];
        ++index;
    }
    target[index] = L'\0';
}

// Copies at most capacity - 1 units of `source` and always terminates `target`.
inline void CopyWithin(WCHAR *target, const WCHAR *source, std::size_t capacity)
{
    const std::size_t length = LengthWithin(source, capacity - 1);
    for (std::size_t index = 0; index < length; ++index) {
        target[index] = source[index];
    }
    target[length] = L'\0';
}

}  // namespace text
