#include "win32/commandline.h"

#include <algorithm>

namespace win32 {

namespace {

constexpr std::size_t kHelpColumn = 20;

bool Names(const OptionName &option, const std::wstring &text)
{
    return text == option.name || (option.alias != nullptr && text == option.alias);
}

// The value of an option that takes one, from the argument after it.
bool NextValue(const std::wstring &name, const std::vector<std::wstring> &arguments, std::size_t *index,
               std::wstring *value, std::wstring *error)
{
    if (*index + 1 >= arguments.size()) {
        *error = name + L" needs a value";
        return false;
    }
    *value = arguments[++*index];
    if (value->rfind(L"--", 0) == 0) {
        *error = name + L" needs a value, not the option ";
        *error += *value;
        return false;
    }
    return true;
}

}  // namespace

bool SplitArguments(const std::vector<OptionName> &names, const std::vector<std::wstring> &arguments,
                    std::vector<Argument> *parsed, std::wstring *error)
{
    std::vector<std::size_t> seen;
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        std::wstring name = arguments[index];
        std::wstring value;
        const std::size_t equals = name.find(L'=');
        const bool inline_ = name.rfind(L"--", 0) == 0 && equals != std::wstring::npos;
        if (inline_) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        const auto option = std::find_if(names.begin(), names.end(),
                                         [&](const OptionName &item) { return Names(item, name); });
        if (option == names.end()) {
            *error = name.rfind(L'-', 0) == 0
                         ? L"unknown option " + name
                         : L"unexpected argument \"" + name + L"\" (options begin with --)";
            return false;
        }
        if (!option->takesValue && inline_) {
            *error = name + L" takes no value";
            return false;
        }
        if (option->takesValue && !inline_ && !NextValue(name, arguments, &index, &value, error)) {
            return false;
        }
        if (option->takesValue && value.empty()) {
            *error = name + L" needs a value that is not empty";
            return false;
        }
        const auto position = static_cast<std::size_t>(option - names.begin());
        if (!option->repeatable && std::find(seen.begin(), seen.end(), position) != seen.end()) {
            *error = std::wstring(option->name) + L" is given twice";
            return false;
        }
        seen.push_back(position);
        parsed->push_back({position, value});
    }
    return true;
}

std::wstring HelpLines(const wchar_t *name, const wchar_t *value, const wchar_t *help)
{
    std::wstring head = L"  " + std::wstring(name) + (value != nullptr ? L" " + std::wstring(value) : L"");
    const std::wstring indent(kHelpColumn, L' ');
    std::wstring text = head.size() + 2 <= kHelpColumn ? head + std::wstring(kHelpColumn - head.size(), L' ')
                                                       : head + L"\n" + indent;
    for (const wchar_t *at = help; *at != L'\0'; ++at) {
        text += *at;
        if (*at == L'\n' && at[1] != L'\0') {
            text += indent;
        }
    }
    return text.back() == L'\n' ? text : text + L"\n";
}

}  // namespace win32
