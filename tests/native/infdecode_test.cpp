// The INF decoder without Wine: each way a file's bytes can be laid out, and the text,
// refusal or note SetupAPI's reading gives it (infreader_test holds the same files
// against SetupAPI itself).
#include "cp1252.h"
#include "infdecode.h"

#include <gtest/gtest.h>

namespace {

struct Encoding {
    const char *name;
    std::string bytes;
    std::wstring text;  // the decoded text, when it is read
    bool refused;
    const wchar_t *note;  // the start of a note, or ""
};

const std::string kAscii = "[Version]\r\nx=1\r\n";

std::string Utf16(const std::u16string &text, bool mark)
{
    std::string bytes = mark ? "\xFF\xFE" : "";
    for (char16_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>(unit >> 8);
    }
    return bytes;
}

const std::vector<Encoding> kEncodings = {
    {"ANSI: each byte through the code page", "x=T\xE4sts \x80", L"x=T\u00E4sts \u20AC", false, L""},
    {"UTF-16 with its mark", Utf16(u"x=caf\u00E9\r\n", true), L"x=caf\u00E9\r\n", false, L""},
    {"UTF-16 without a mark", Utf16(u"[Version]\r\n", false), L"[Version]\r\n", false,
     L"the INF is UTF-16 without a byte-order mark"},
    {"UTF-8 with its mark", "\xEF\xBB\xBFx=caf\xC3\xA9", L"x=caf\u00E9", false,
     L"the INF is UTF-8 with a byte-order mark"},
    {"UTF-8 without a mark: read in the ANSI code page", "x=caf\xC3\xA9", L"x=caf\u00C3\u00A9", false,
     L"the INF is UTF-8: SetupAPI reads"},
    {"plain ASCII", kAscii, L"[Version]\r\nx=1\r\n", false, L""},
    // A zero byte in the first units makes the platform take ANSI bytes for UTF-16.
    {"a NUL byte in an ANSI file", std::string("x=c\0af", 6), L"\u3D78\u0063\u6661", false,
     L"the INF is UTF-16 without a byte-order mark"},
    {"a NUL character in a UTF-16 file", Utf16(std::u16string(u"x=c\0af\r\n", 8), true), L"", true, L""},
    // Big-endian is no UTF-16 to the platform: its bytes are read in the code page.
    {"UTF-16 big-endian", "\xFE\xFF" + Utf16(u"\u5B00", false), L"\u00FE\u00FF [", false,
     L"the INF holds NUL bytes"},
    {"an odd length with zero bytes: not UTF-16, each NUL a blank",
     std::string("x\0=\0"
                 "1",
                 5),
     L"x = 1", false, L"the INF holds NUL bytes"},
};

TEST(InfDecode, ReadsEachLayoutAsSetupApiDoes)
{
    for (const Encoding &encoding : kEncodings) {
        const inf::DecodedInf decoded = inf::DecodeInf(encoding.bytes, Cp1252());
        EXPECT_EQ(!decoded.refusal.empty(), encoding.refused) << encoding.name;
        if (!encoding.refused) {
            EXPECT_EQ(decoded.text, encoding.text) << encoding.name;
        }
        const std::wstring note = decoded.notes.empty() ? L"" : decoded.notes.front();
        EXPECT_EQ(note.rfind(encoding.note, 0), 0U) << encoding.name;
        EXPECT_EQ(decoded.notes.size(), std::wstring(encoding.note).empty() ? 0U : 1U) << encoding.name;
    }
}

}  // namespace
