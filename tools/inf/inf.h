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

#include <string>
#include <unordered_map>
#include <vector>

namespace inf {

struct InfLine {
    std::wstring key;                            // "" for a line without '='
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
    std::vector<std::wstring> sectionNames;                           // as first written, in order
    std::unordered_map<std::wstring, std::vector<InfLine>> sections;  // by folded name

    bool has(const std::wstring &section) const;
    const std::vector<InfLine> &lines(const std::wstring &section) const;  // none when it does not exist
    // The first line of `section` whose key is `key` (without case), or null.
    const InfLine *line(const std::wstring &section, const std::wstring &key) const;
};

Inf ParseInf(const std::wstring &text);

// Why SetupAPI refuses the whole INF, or "": text stands before any [section], or its
// [Version] section has no Signature of a Windows INF ("$Windows NT$", "$Chicago$").
std::wstring Refusal(const Inf &inf);

}  // namespace inf
