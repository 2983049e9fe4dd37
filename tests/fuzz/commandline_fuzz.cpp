// The command-line parser on any arguments (the input split at NUL bytes), against a
// table with each kind of option: a flag, one with a value, one that may be repeated.
#include "fuzztext.h"
#include "win32/commandline.h"

#include <string>
#include <vector>

namespace {

struct Options {
    bool flag = false;
    std::wstring value;
    std::vector<std::wstring> repeated;
};

const win32::Option<Options> kOptions[] = {
    {L"--flag", L"-f", nullptr, false, L"a flag",
     [](Options &o, const std::wstring &) { return o.flag = true, std::wstring(); }},
    {L"--value", nullptr, L"TEXT", false, L"one value\nwhich may not be empty",
     [](Options &o, const std::wstring &v) {
         return v.empty() ? std::wstring(L"empty") : (o.value = v, std::wstring());
     }},
    {L"--again", nullptr, L"TEXT", true, L"a value that may be repeated",
     [](Options &o, const std::wstring &v) { return o.repeated.push_back(v), std::wstring(); }},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<std::wstring> arguments(size == 0 ? 0 : 1);
    for (wchar_t c : FuzzText(data, size)) {
        if (c == L'\0') {
            arguments.emplace_back();
        } else {
            arguments.back() += c;
        }
    }
    Options options;
    std::wstring error;
    win32::ParseCommandLine(kOptions, arguments, &options, &error);
    win32::OptionsHelp(kOptions);
    return 0;
}
