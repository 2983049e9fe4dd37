#include "infdecode.h"

#include <algorithm>
#include <cstdint>

namespace inf {

namespace {

constexpr char16_t kByteOrderMark = 0xFEFF;
constexpr char16_t kReversedMark = 0xFFFE;
constexpr wchar_t kReplacement = 0xFFFD;
constexpr char32_t kNoSequence = 0xFFFFFFFF;
constexpr std::size_t kUnitsLooked = 256;  // the test looks at the first 256 units only

// The platform's test for Unicode text (IsTextUnicode with every test), as it decides
// for an INF: a reversed mark, reversed controls or an odd length say it is not; a
// unit with a zero byte says it is; so do a mark, mostly units below 256, or a
// control character (CR, LF, tab, space, ideographic space).
bool LooksLikeUtf16(std::string_view bytes)
{
    if (bytes.size() < 2 || bytes.size() % 2 != 0) {
        return false;
    }
    // A last zero byte is left out of the look, as the platform does.
    const std::size_t looked = std::min((bytes.size() - (bytes.back() == '\0' ? 1 : 0)) / 2, kUnitsLooked);
    std::size_t narrow = 0;
    bool zeroByte = false;
    bool controls = false;
    bool reversed = false;
    for (std::size_t index = 0; index < looked; ++index) {
        const auto low = static_cast<unsigned char>(bytes[2 * index]);
        const auto high = static_cast<unsigned char>(bytes[2 * index + 1]);
        const auto unit = static_cast<char16_t>(low | (high << 8));
        narrow += unit <= 0xFF ? 1 : 0;
        zeroByte = zeroByte || low == 0 || high == 0;
        controls =
            controls || unit == u'\r' || unit == u'\n' || unit == u'\t' || unit == u' ' || unit == 0x3000;
        reversed = reversed || unit == 0x0D00 || unit == 0x0A00 || unit == 0x0900 || unit == 0x2000 ||
                   (index == 0 && unit == kReversedMark);
    }
    const auto first = static_cast<char16_t>(static_cast<unsigned char>(bytes[0]) |
                                             (static_cast<unsigned char>(bytes[1]) << 8));
    return !reversed && (zeroByte || first == kByteOrderMark || narrow > looked / 2 || controls);
}

std::wstring Utf16(std::string_view bytes)
{
    std::wstring text;
    for (std::size_t at = 0; at + 1 < bytes.size(); at += 2) {
        text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[at]) |
                                     (static_cast<unsigned char>(bytes[at + 1]) << 8));
    }
    return !text.empty() && text.front() == kByteOrderMark ? text.substr(1) : text;
}

void AppendCodePoint(std::wstring *text, char32_t point)
{
    if constexpr (sizeof(wchar_t) == 2) {
        if (point >= 0x10000) {
            point -= 0x10000;
            *text += static_cast<wchar_t>(0xD800 + (point >> 10));
            *text += static_cast<wchar_t>(0xDC00 + (point & 0x3FF));
            return;
        }
    }
    *text += static_cast<wchar_t>(point);
}

// The length of the UTF-8 sequence a lead byte opens, or 0 for a byte that opens none.
std::size_t SequenceLength(unsigned char lead)
{
    constexpr unsigned char kTwo = 0xC2;
    constexpr unsigned char kThree = 0xE0;
    constexpr unsigned char kFour = 0xF0;
    constexpr unsigned char kBeyond = 0xF5;
    if (lead < 0x80) {
        return 1;
    }
    return lead >= kFour && lead < kBeyond  ? 4
           : lead >= kThree && lead < kFour ? 3
           : lead >= kTwo && lead < kThree  ? 2
                                            : 0;
}

// The code point of the sequence of `length` bytes at `at`, or kNoSequence when it is
// none: a missing or wrong continuation byte, an overlong form, a surrogate, past U+10FFFF.
char32_t Sequence(std::string_view bytes, std::size_t at, std::size_t length)
{
    const auto lead = static_cast<unsigned char>(bytes[at]);
    if (length == 1) {
        return lead;
    }
    if (length == 0 || at + length > bytes.size()) {
        return kNoSequence;
    }
    char32_t point = lead & (0x7F >> length);
    for (std::size_t next = 1; next < length; ++next) {
        const auto trail = static_cast<unsigned char>(bytes[at + next]);
        if ((trail & 0xC0) != 0x80) {
            return kNoSequence;
        }
        point = (point << 6) | (trail & 0x3F);
    }
    const char32_t least = length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
    const bool valid = point >= least && (point < 0xD800 || point > 0xDFFF) && point <= 0x10FFFF;
    return valid ? point : kNoSequence;
}

// UTF-8 as the platform converts it: a byte that starts no valid sequence is U+FFFD.
std::wstring Utf8(std::string_view bytes)
{
    std::wstring text;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t length = SequenceLength(static_cast<unsigned char>(bytes[at]));
        const char32_t point = Sequence(bytes, at, length);
        AppendCodePoint(&text, point == kNoSequence ? kReplacement : point);
        at += point == kNoSequence ? 1 : length;
    }
    return text;
}

std::wstring Ansi(std::string_view bytes, const AnsiTable &ansi)
{
    std::wstring text(bytes.size(), L'\0');
    std::ranges::transform(bytes, text.begin(),
                           [&ansi](char byte) { return ansi[static_cast<unsigned char>(byte)]; });
    return text;
}

bool Ascii(std::string_view bytes)
{
    return std::ranges::all_of(bytes, [](char byte) { return static_cast<unsigned char>(byte) < 0x80; });
}

// Whether bytes without a mark are UTF-8 with more than ASCII in it.
bool Utf8Text(std::string_view bytes)
{
    return !Ascii(bytes) && Utf8(bytes).find(kReplacement) == std::wstring::npos;
}

}  // namespace

DecodedInf DecodeInf(std::string_view bytes, const AnsiTable &ansi)
{
    DecodedInf decoded;
    const bool utf8Mark = bytes.size() > 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF";
    const bool utf16 = LooksLikeUtf16(bytes);
    if (utf16) {
        decoded.text = Utf16(bytes);
        if (static_cast<unsigned char>(bytes[0]) != 0xFF || static_cast<unsigned char>(bytes[1]) != 0xFE) {
            decoded.notes.push_back(
                L"the INF is UTF-16 without a byte-order mark: SetupAPI takes it for UTF-16 "
                L"by the look of it, but an INF in Unicode must start with its byte-order mark "
                L"(FF FE); save it as UTF-16 (Unicode) with one");
        }
    } else if (utf8Mark) {
        decoded.text = Utf8(bytes.substr(3));
        decoded.notes.push_back(
            L"the INF is UTF-8 with a byte-order mark: SetupAPI reads it as UTF-8, but an INF "
            L"is ANSI or UTF-16 (Unicode); save it as UTF-16 (Unicode)");
    } else {
        decoded.text = Ansi(bytes, ansi);
        if (Utf8Text(bytes)) {
            decoded.notes.push_back(
                L"the INF is UTF-8: SetupAPI reads an INF without a UTF-16 byte-order mark in the ANSI "
                L"code page, so its non-ASCII text is misread; save it as UTF-16 (Unicode)");
        }
    }
    if (decoded.text.find(L'\0') == std::wstring::npos) {
        return decoded;
    }
    if (utf16) {
        decoded.refusal =
            L"it holds a NUL character, which SetupAPI refuses in UTF-16 text "
            L"(ERROR_EXPECTED_SECTION_NAME): it is not a text file, or not in the encoding its first "
            L"bytes announce";
    } else {
        // In bytes of a code page, SetupAPI reads a NUL as a blank.
        std::ranges::replace(decoded.text, L'\0', L' ');
        decoded.notes.push_back(
            L"the INF holds NUL bytes, which SetupAPI reads as blanks: it is not a text file");
    }
    return decoded;
}

}  // namespace inf
