// An INF file's text read as SetupAPI reads it, into a table by section name:
// sections (those of the same name merged, in the order they come), lines of an
// optional key and comma-separated fields, quotes ("" for a quote), ';' comments, a
// '\' that continues a line, blanks trimmed outside quotes, and %name% replaced from
// [Strings]. Plain C++: no Windows header, so that the reader builds anywhere.
//
// SetupAPI's own INF functions would do under Wine, but Wine's look a section up by
// walking every section: opening an INF costs time in the square of its sections, and
// each lookup in their number. A package of 3,000 models has some 12,000 sections,
// which takes SetupAPI tens of seconds; this reader takes the same syntax in one pass.
#pragma once

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

namespace inf {

// SetupAPI keeps at most this many characters of a key or a field as written (a
// string is at most 512 units with its terminator); a %string% may make it longer.
inline constexpr std::size_t kMaxFieldLength = 511;
// The longest section name SetupAPI takes.
inline constexpr std::size_t kMaxSectionNameLength = 255;

struct InfLine {
    std::wstring key;                            // "" for a line without '=' (or an empty key)
    bool hasKey = false;                         // the line has an '=': field 0 is the key, even ""
    std::vector<std::wstring> fields;            // field 1 first
    std::wstring field(std::size_t index) const  // field 0 is the key; "" past the last
    {
        return index == 0 ? key : index <= fields.size() ? fields[index - 1] : L"";
    }
};

struct Inf {
    // The line (from 1) of the first text that stands before any section header, which
    // SetupAPI refuses the whole file for; 0 when there is none.
    std::size_t strayLine = 0;
    std::size_t badSectionLine = 0;          // the line of a section header without its ']', or 0
    std::size_t longSectionLine = 0;         // the line of a section name too long, or 0
    std::wstring signature;                  // [Version] Signature as written, before %strings%
    std::vector<std::wstring> sectionNames;  // as first written, in order
    std::unordered_map<std::wstring, std::vector<InfLine>> sections;  // by folded name

    bool has(const std::wstring &section) const;
    const std::vector<InfLine> &lines(const std::wstring &section) const;  // none when it does not exist
    // The first line of `section` whose key is `key` (without case), or null.
    const InfLine *line(const std::wstring &section, const std::wstring &key) const;
};

// The directory a %dirid% stands for (the platform's, where the reader runs), or ""
// when the caller does not know it: it then stays as written.
using DirectoryNames = std::function<std::wstring(int id)>;

// Reads the INF's text up to a Ctrl+Z, if any. Reading stops at a section header
// SetupAPI refuses (see Refusal).
Inf ParseInf(const std::wstring &written, const DirectoryNames &directories = nullptr);

// Why SetupAPI refuses the whole INF, or "", naming the platform's error: a section
// header without its closing bracket or with a name too long, text before any
// [section], or no Signature of a Windows INF ("$Windows NT$", "$Chicago$") as written
// in [Version].
std::wstring Refusal(const Inf &inf);

}  // namespace inf
