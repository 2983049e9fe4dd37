#include "infdump.h"

#include <cstdio>

namespace inf {

namespace {

void AppendEscaped(std::string *dump, const std::wstring &text)
{
    for (wchar_t c : text) {
        if (c == L'\\' || c == L'|') {
            *dump += '\\';
            *dump += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            *dump += static_cast<char>(c);
        } else {
            char escaped[8] = {};
            if (std::snprintf(escaped, sizeof(escaped), "\\u%04X", static_cast<unsigned>(c) & 0xFFFFU) > 0) {
                *dump += escaped;
            }
        }
    }
}

}  // namespace

Reading ReadingOf(const Inf &inf)
{
    Reading reading;
    for (const auto &[name, lines] : inf.sections) {
        auto &converted = reading[name];
        for (const InfLine &line : lines) {
            std::vector<std::wstring> fields = {!line.hasKey && line.fields.size() == 1 ? line.fields[0]
                                                                                        : line.key};
            fields.insert(fields.end(), line.fields.begin(), line.fields.end());
            converted.push_back(std::move(fields));
        }
    }
    return reading;
}

std::string Dump(const Reading &reading)
{
    std::string dump;
    for (const auto &[name, lines] : reading) {
        dump += '[';
        AppendEscaped(&dump, name);
        dump += "]\n";
        for (const std::vector<std::wstring> &fields : lines) {
            for (std::size_t index = 0; index < fields.size(); ++index) {
                dump += index == 0 ? "" : "|";
                AppendEscaped(&dump, fields[index]);
            }
            dump += '\n';
        }
    }
    return dump;
}

}  // namespace inf
