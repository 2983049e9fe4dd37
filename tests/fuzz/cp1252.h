// Code page 1252 (Western European, the ANSI code page of an English or Western
// European Windows), as the code page's published table maps its bytes: the native
// tests and the fuzz targets hand it to the INF decoder in place of the platform's.
// Its five unassigned bytes map to the control characters of the same number, as the
// platform converts them.
#pragma once

#include "infdecode.h"

inline constexpr inf::AnsiTable Cp1252()
{
    inf::AnsiTable table{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        table[byte] = static_cast<wchar_t>(byte);
    }
    constexpr wchar_t kHigh[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                   0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                   0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                   0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    for (unsigned index = 0; index < 32; ++index) {
        table[0x80 + index] = kHigh[index];
    }
    return table;
}
