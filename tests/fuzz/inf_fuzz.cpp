// The INF decoder and reader on any file's bytes: they never fail, and what it reads, written back out as
// an INF (every key and field quoted, '%' doubled), reads back the same where every
// token so written stays within what the reader keeps of one; the package
// description and its file lookups take whatever the reading gives.
#include "cp1252.h"
#include "inf.h"
#include "infdecode.h"
#include "infpackage.h"

#include <algorithm>
#include <cstdlib>

namespace {

std::wstring Quoted(const std::wstring &text)
{
    std::wstring quoted = L"\"";
    for (wchar_t c : text) {
        quoted += c == L'"' ? std::wstring(L"\"\"") : c == L'%' ? std::wstring(L"%%") : std::wstring(1, c);
    }
    return quoted + L"\"";
}

std::wstring Written(const inf::Inf &inf)
{
    std::wstring text;
    for (const std::wstring &name : inf.sectionNames) {
        text += L"[" + name + L"]\n";
        for (const inf::InfLine &line : inf.lines(name)) {
            std::wstring written = line.hasKey ? Quoted(line.key) + L"=" : L"";
            for (std::size_t index = 0; index < line.fields.size(); ++index) {
                written += (index == 0 ? L"" : L",") + Quoted(line.fields[index]);
            }
            text += written + L"\n";
        }
    }
    return text;
}

// Whether every key and field, written out quoted, stays within what the reader keeps
// of a token: a %string% or a doubled '%' can make one longer.
bool WrittenWithinLimit(const inf::Inf &inf)
{
    const auto fits = [](const std::wstring &text) {
        return text.size() + static_cast<std::size_t>(std::count(text.begin(), text.end(), L'%')) +
                   static_cast<std::size_t>(std::count(text.begin(), text.end(), L'"')) <=
               inf::kMaxFieldLength;
    };
    for (const auto &[name, lines] : inf.sections) {
        for (const inf::InfLine &line : lines) {
            if (!fits(line.key) || !std::all_of(line.fields.begin(), line.fields.end(), fits)) {
                return false;
            }
        }
    }
    return true;
}

bool SameLines(const inf::Inf &left, const inf::Inf &right)
{
    if (left.sections.size() != right.sections.size()) {
        return false;
    }
    for (const auto &[name, lines] : left.sections) {
        const auto found = right.sections.find(name);
        if (found == right.sections.end() || found->second.size() != lines.size()) {
            return false;
        }
        for (std::size_t index = 0; index < lines.size(); ++index) {
            if (lines[index].key != found->second[index].key ||
                lines[index].hasKey != found->second[index].hasKey ||
                lines[index].fields != found->second[index].fields) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const inf::DecodedInf decoded =
        inf::DecodeInf(std::string_view(reinterpret_cast<const char *>(data), size), Cp1252());
    const inf::Inf read = inf::ParseInf(decoded.text);
    inf::Refusal(read);
    if (WrittenWithinLimit(read) && !SameLines(read, inf::ParseInf(Written(read)))) {
        std::abort();  // a reading that does not survive being written out
    }
    const inf::Package package = inf::DescribePackage(read);
    for (const inf::Model &model : package.models) {
        std::wstring relative;
        inf::SourceOf(package.inf, *model.architecture, model.name, &relative);
        for (const inf::CopiedFile &copy : inf::CopiedFiles(package.inf, model.coInstallers)) {
            inf::DestinationOf(package.inf, copy);
        }
        inf::InstalledFiles(package.inf, model);
        inf::PortWritten(package.inf, model);
    }
    inf::CatalogOf(package.inf, inf::kX64);
    inf::SourceFiles(package.inf, inf::kX64);
    return 0;
}
