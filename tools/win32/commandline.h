// The command line of the tools, from one table per tool that names each option
// once: its name, the name of its value (none for a flag), whether it may be given
// again, its help text, and what it does to the tool's options. Values come as
// "--name VALUE" or "--name=VALUE".
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

namespace win32 {

template <typename Options>
struct Option {
    const wchar_t *name;   // "--inf"
    const wchar_t *alias;  // another spelling ("-h"), or nullptr
    const wchar_t *value;  // the value's name in the help ("PATH"), or nullptr for a flag
    bool repeatable;
    const wchar_t *help;  // lines joined by line feeds
    // Takes the value (empty for a flag) into the options: "" or one line saying why not.
    std::wstring (*apply)(Options &options, const std::wstring &value);
};

// What the parser needs of an option, the same for every tool.
struct OptionName {
    const wchar_t *name;
    const wchar_t *alias;
    bool takesValue;
    bool repeatable;
};

struct Argument {
    std::size_t option;  // its index in the table
    std::wstring value;
};

// The arguments in order, each matched to its option; false, with one line in *error,
// for an unknown option, a stray argument, a missing, empty or unexpected value, or
// an option given twice that may not be.
bool SplitArguments(const std::vector<OptionName> &names, const std::vector<std::wstring> &arguments,
                    std::vector<Argument> *parsed, std::wstring *error);

// A tool's command line, read: its options, or one line saying why not.
template <typename Options>
struct ParsedOptions {
    bool ok = false;
    std::wstring error;  // one line, when !ok
    Options options;
};

// One option's lines of the help: "  --name VALUE", then its text from column 21.
std::wstring HelpLines(const wchar_t *name, const wchar_t *value, const wchar_t *help);

template <typename Options, std::size_t N>
bool ParseCommandLine(const Option<Options> (&table)[N], const std::vector<std::wstring> &arguments,
                      Options *options, std::wstring *error)
{
    std::vector<OptionName> names;
    std::ranges::transform(table, std::back_inserter(names), [](const Option<Options> &option) {
        return OptionName{option.name, option.alias, option.value != nullptr, option.repeatable};
    });
    std::vector<Argument> parsed;
    if (!SplitArguments(names, arguments, &parsed, error)) {
        return false;
    }
    return std::all_of(parsed.begin(), parsed.end(), [&](const Argument &argument) {
        *error = table[argument.option].apply(*options, argument.value);
        return error->empty();
    });
}

template <typename Options, std::size_t N>
std::wstring OptionsHelp(const Option<Options> (&table)[N])
{
    std::wstring text;
    for (const Option<Options> &option : table) {
        text += HelpLines(option.name, option.value, option.help);
    }
    return text;
}

}  // namespace win32
