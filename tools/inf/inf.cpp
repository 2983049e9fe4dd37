#include "inf.h"

#include "inftext.h"

#include <algorithm>

namespace inf {

namespace {

bool IsBlank(wchar_t character)
{
    return character == L' ' || character == L'\t' || character == L'\r' || character == L'\x1A';
}

// Whether only blanks or a comment follow `index` on its line: a '\' there continues the line.
bool EndsLine(const std::wstring &text, std::size_t index)
{
    while (index < text.size() && IsBlank(text[index])) {
        ++index;
    }
    return index >= text.size() || text[index] == L'\n' || text[index] == L';';
}

// A field as it is scanned: blanks trimmed at both ends, except inside quotes.
class FieldText {
public:
    void add(wchar_t character, bool quoted)
    {
        if (!quoted && IsBlank(character) && text_.empty()) {
            return;
        }
        text_ += character;
        kept_ = quoted || !IsBlank(character) ? text_.size() : kept_;
    }
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
        if (character == L'\\' && EndsLine(text, index + 1)) {
            index = text.find(L'\n', index);  // the line goes on after this line feed
            if (index == std::wstring::npos) {
                break;
            }
            continue;
        }
        anything = anything || !IsBlank(character);
        if (character == L'"') {
            index = ScanQuoted(text, index + 1, &field);
        } else if (character == L',') {
            line->fields.push_back(field.take());
        } else if (character == L'=' && line->key.empty() && line->fields.empty()) {
            line->key = field.take();
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

// %name% replaced by its [Strings] value, %% by %; an unknown name stays as written.
std::wstring Substituted(const std::wstring &text,
                         const std::unordered_map<std::wstring, std::wstring> &strings)
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
        result += name.empty() ? L"%" : found != strings.end() ? found->second : L"%" + name + L"%";
        index = close + 1;
    }
    return result;
}

// The name of the section whose header starts at `index` ('['); *next is where its
// first line starts.
std::wstring SectionName(const std::wstring &text, std::size_t index, std::size_t *next)
{
    const std::size_t close = text.find_first_of(L"]\n", index + 1);
    std::wstring name = text.substr(index + 1, close == std::wstring::npos ? close : close - index - 1);
    while (!name.empty() && IsBlank(name.back())) {
        name.pop_back();
    }
    const std::size_t end = text.find(L'\n', index);
    *next = end == std::wstring::npos ? text.size() : end + 1;
    return name;
}

void SubstituteStrings(Inf *inf)
{
    std::unordered_map<std::wstring, std::wstring> strings;
    for (const InfLine &line : inf->lines(L"Strings")) {
        strings.emplace(Folded(line.key), line.field(1));
    }
    for (auto &[name, lines] : inf->sections) {
        for (InfLine &line : lines) {
            line.key = Substituted(line.key, strings);
            for (std::wstring &field : line.fields) {
                field = Substituted(field, strings);
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
    if (inf.strayLine != 0) {
        return L"line " + std::to_wstring(inf.strayLine) + L" stands before any [section]";
    }
    const InfLine *signature = inf.line(L"Version", L"Signature");
    const std::wstring value = signature == nullptr ? L"" : signature->field(1);
    if (!SameText(value, L"$Windows NT$") && !SameText(value, L"$Chicago$") &&
        !SameText(value, L"$Windows 95$")) {
        return L"its [Version] section has no Signature of a Windows INF (\"$Windows NT$\")";
    }
    return L"";
}

Inf ParseInf(const std::wstring &text)
{
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
            const std::wstring name = SectionName(text, index, &index);
            const auto [found, added] = inf.sections.try_emplace(Folded(name));
            if (added) {
                inf.sectionNames.push_back(name);
            }
            section = &found->second;
        } else if (ScanLine(text, &index, &line) && section != nullptr) {
            section->push_back(std::move(line));
        } else if (section == nullptr && !line.fields.empty() && inf.strayLine == 0) {
            inf.strayLine = static_cast<std::size_t>(std::count(
                                text.begin(), text.begin() + static_cast<std::ptrdiff_t>(start), L'\n')) +
                            1;
        }
    }
    SubstituteStrings(&inf);
    return inf;
}

}  // namespace inf
