#include "inf.h"

#include "inftext.h"

#include <algorithm>

namespace inf {

namespace {

// SetupAPI's blanks: trimmed at a field's edges, the no-break space among them.
bool IsBlank(wchar_t character)
{
    return character == L' ' || character == L'\t' || character == L'\r' || character == L'\v' ||
           character == L'\f' || character == L'\u00A0';
}

// Whether only blanks or a comment follow `index` on its line: a '\' there continues the line.
bool EndsLine(const std::wstring &text, std::size_t index)
{
    while (index < text.size() && IsBlank(text[index])) {
        ++index;
    }
    return index >= text.size() || text[index] == L'\n' || text[index] == L';';
}

// Whether the backslash at `index` continues its line: only backslashes, blanks or a
// comment follow it there.
bool ContinuesLine(const std::wstring &text, std::size_t index)
{
    while (index < text.size() && (text[index] == L'\\' || IsBlank(text[index]))) {
        ++index;
    }
    return EndsLine(text, index);
}

// A field as it is scanned: blanks trimmed at both ends, except inside quotes, and at
// most kMaxFieldLength characters of it kept.
class FieldText {
public:
    void add(wchar_t character, bool quoted)
    {
        if ((!quoted && IsBlank(character) && text_.empty()) || text_.size() >= kMaxFieldLength) {
            return;
        }
        text_ += character;
        kept_ = quoted || !IsBlank(character) ? text_.size() : kept_;
    }
    // Drops the blanks at its end, as a line continued behind them is joined.
    void trimEnd() { text_.resize(kept_); }
    // Keeps the blanks at its end: a quote opens behind them.
    void keepEnd() { kept_ = text_.size(); }
    std::wstring take()
    {
        text_.resize(kept_);
        std::wstring taken;
        taken.swap(text_);
        kept_ = 0;
        return taken;
    }

private:
    std::wstring text_;
    std::size_t kept_ = 0;  // what trimming trailing blanks keeps
};

// The quoted text that starts at `index`, after its opening quote ("" stands for a
// quote). Returns the index of its closing quote, or of the last character of the line.
std::size_t ScanQuoted(const std::wstring &text, std::size_t index, FieldText *field)
{
    for (; index < text.size() && text[index] != L'\n'; ++index) {
        const bool quote = text[index] == L'"';
        if (quote && (index + 1 >= text.size() || text[index + 1] != L'"')) {
            return index;
        }
        field->add(text[index], true);
        index += quote ? 1 : 0;
    }
    return index - 1;
}

// The line from *index: its key and fields. *index moves past its end. False when
// it holds nothing.
bool ScanLine(const std::wstring &text, std::size_t *start, InfLine *line)
{
    FieldText field;
    bool anything = false;
    std::size_t index = *start;
    for (; index < text.size() && text[index] != L'\n'; ++index) {
        const wchar_t character = text[index];
        if (character == L';') {
            index = text.find(L'\n', index);
            break;
        }
        if (character == L'\\' && ContinuesLine(text, index)) {
            // The line goes on after this line feed: the blanks on both sides of the
            // join go, and a continued line holds something, if only an empty field.
            anything = true;
            field.trimEnd();
            index = text.find(L'\n', index);
            if (index == std::wstring::npos) {
                break;
            }
            while (index + 1 < text.size() && IsBlank(text[index + 1])) {
                ++index;
            }
            continue;
        }
        anything = anything || !IsBlank(character);
        if (character == L'"') {
            field.keepEnd();
            index = ScanQuoted(text, index + 1, &field);
        } else if (character == L',') {
            line->fields.push_back(field.take());
        } else if (character == L'=' && !line->hasKey && line->fields.empty()) {
            // The first '=' ends the key; a later one is text of a field.
            line->key = field.take();
            line->hasKey = true;
        } else {
            field.add(character, false);
        }
    }
    if (anything) {
        line->fields.push_back(field.take());
    }
    *start = index == std::wstring::npos ? text.size() : std::min(index + 1, text.size());
    return anything;
}

// A %name% that [Strings] does not name but is a number: a directory ID.
bool IsDirectoryId(const std::wstring &name)
{
    const std::size_t digits = !name.empty() && name.front() == L'-' ? 1 : 0;
    return name.size() > digits && name.size() <= digits + 9 &&
           std::all_of(name.begin() + static_cast<std::ptrdiff_t>(digits), name.end(),
                       [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

// %name% replaced by its [Strings] value, else by the directory a numeric name stands for
// (when the caller names directories), %% by %; an unknown name stays as written.
std::wstring Substituted(const std::wstring &text,
                         const std::unordered_map<std::wstring, std::wstring> &strings,
                         const DirectoryNames &directories)
{
    if (text.find(L'%') == std::wstring::npos) {
        return text;
    }
    std::wstring result;
    std::size_t index = 0;
    while (index < text.size()) {
        const std::size_t open = text.find(L'%', index);
        const std::size_t close = open == std::wstring::npos ? open : text.find(L'%', open + 1);
        if (close == std::wstring::npos) {
            result += text.substr(index);
            break;
        }
        result += text.substr(index, open - index);
        const std::wstring name = text.substr(open + 1, close - open - 1);
        const auto found = strings.find(Folded(name));
        std::wstring directory;
        if (found == strings.end() && directories && IsDirectoryId(name)) {
            directory = directories(std::stoi(name));
        }
        result += name.empty()             ? L"%"
                  : found != strings.end() ? found->second
                  : !directory.empty()     ? directory
                                           : L"%" + name + L"%";
        index = close + 1;
    }
    return result;
}

// The name of the section whose header starts at `index` ('['), as written between
// the brackets; *next is where its first line starts. False when the line has no
// closing bracket.
bool SectionName(const std::wstring &text, std::size_t index, std::size_t *next, std::wstring *name)
{
    const std::size_t close = text.find_first_of(L"]\n", index + 1);
    const std::size_t end = text.find(L'\n', index);
    *next = end == std::wstring::npos ? text.size() : end + 1;
    if (close == std::wstring::npos || text[close] != L']') {
        return false;
    }
    *name = text.substr(index + 1, close - index - 1);
    return true;
}

std::size_t LineNumber(const std::wstring &text, std::size_t index)
{
    return static_cast<std::size_t>(
               std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(index), L'\n')) +
           1;
}

void SubstituteStrings(Inf *inf, const DirectoryNames &directories)
{
    std::unordered_map<std::wstring, std::wstring> strings;
    for (const InfLine &line : inf->lines(L"Strings")) {
        strings.emplace(Folded(line.key), line.field(1));
    }
    for (auto &[name, lines] : inf->sections) {
        for (InfLine &line : lines) {
            line.key = Substituted(line.key, strings, directories);
            for (std::wstring &field : line.fields) {
                field = Substituted(field, strings, directories);
            }
        }
    }
}

}  // namespace

bool Inf::has(const std::wstring &section) const
{
    return sections.contains(Folded(section));
}

const std::vector<InfLine> &Inf::lines(const std::wstring &section) const
{
    static const std::vector<InfLine> none;
    const auto found = sections.find(Folded(section));
    return found == sections.end() ? none : found->second;
}

const InfLine *Inf::line(const std::wstring &section, const std::wstring &key) const
{
    const std::vector<InfLine> &all = lines(section);
    const auto found =
        std::ranges::find_if(all, [&key](const InfLine &line) { return SameText(line.key, key); });
    return found != all.end() ? &*found : nullptr;
}

std::wstring Refusal(const Inf &inf)
{
    if (inf.badSectionLine != 0) {
        return L"line " + std::to_wstring(inf.badSectionLine) +
               L" opens a section name without its closing bracket (ERROR_BAD_SECTION_NAME_LINE)";
    }
    if (inf.longSectionLine != 0) {
        return L"line " + std::to_wstring(inf.longSectionLine) + L" names a section of more than " +
               std::to_wstring(kMaxSectionNameLength) + L" characters (ERROR_SECTION_NAME_TOO_LONG)";
    }
    // SetupAPI takes text before the first section only from an INF with a [Strings]
    // section, and reads nothing of it.
    if (inf.strayLine != 0 && !inf.has(L"Strings")) {
        return L"line " + std::to_wstring(inf.strayLine) +
               L" stands before any [section] (ERROR_EXPECTED_SECTION_NAME)";
    }
    // SetupAPI reads the signature as written: a %string% there is no signature.
    const std::wstring &value = inf.signature;
    if (!SameText(value, L"$Windows NT$") && !SameText(value, L"$Chicago$") &&
        !SameText(value, L"$Windows 95$")) {
        return L"its [Version] section has no Signature of a Windows INF (\"$Windows NT$\"), as written "
               L"(ERROR_WRONG_INF_STYLE)";
    }
    return L"";
}

Inf ParseInf(const std::wstring &written, const DirectoryNames &directories)
{
    // SetupAPI reads no further than a Ctrl+Z.
    const std::wstring text = written.substr(0, written.find(L'\x1A'));
    Inf inf;
    std::vector<InfLine> *section = nullptr;
    std::size_t index = 0;
    while (index < text.size()) {
        while (index < text.size() && IsBlank(text[index])) {
            ++index;
        }
        InfLine line;
        const std::size_t start = index;
        if (index < text.size() && text[index] == L'[') {
            std::wstring name;
            if (!SectionName(text, index, &index, &name)) {
                inf.badSectionLine = LineNumber(text, start);
                break;
            }
            if (name.size() > kMaxSectionNameLength) {
                inf.longSectionLine = LineNumber(text, start);
                break;
            }
            const auto [found, added] = inf.sections.try_emplace(Folded(name));
            if (added) {
                inf.sectionNames.push_back(name);
            }
            section = &found->second;
        } else if (ScanLine(text, &index, &line) && section != nullptr) {
            section->push_back(std::move(line));
        } else if (section == nullptr && !line.fields.empty() && inf.strayLine == 0) {
            inf.strayLine = LineNumber(text, start);
        }
    }
    const InfLine *signature = inf.line(L"Version", L"Signature");
    inf.signature = signature == nullptr ? L"" : signature->field(1);
    SubstituteStrings(&inf, directories);
    return inf;
}

}  // namespace inf
