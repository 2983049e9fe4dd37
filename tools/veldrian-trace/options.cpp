#include "options.h"

#include "win32/commandline.h"

#include <algorithm>
#include <cwctype>

namespace trace {

namespace {

constexpr long kMaxSeconds = 7L * 24 * 3600;  // a week

bool ParseSeconds(const std::wstring &text, long *seconds)
{
    if (text.empty() || text.size() > 7) {
        return false;
    }
    for (const wchar_t c : text) {
        if (!std::iswdigit(c)) {
            return false;
        }
    }
    *seconds = std::stol(text);
    return *seconds > 0 && *seconds <= kMaxSeconds;
}

// Every option, named once: the parser and the usage read this table.
const win32::Option<Options> kOptions[] = {
    {L"--global", nullptr, nullptr, false,
     L"listen to session 0 as well, where services run: Windows\n"
     L"installs devices there (DrvInst.exe), so deployments need it.\n"
     L"Needs administrator rights. Without it: this session only.",
     [](Options &o, const std::wstring &) { return o.global = true, std::wstring(); }},
    {L"--for", nullptr, L"SECONDS", false, L"stop listening after that many seconds",
     [](Options &o, const std::wstring &v) {
         return ParseSeconds(v, &o.seconds)
                    ? std::wstring()
                    : std::wstring(L"--for takes a number of seconds, from 1 to 604800");
     }},
    {L"--one-pass", nullptr, nullptr, false,
     L"stop once a post-processing pass is complete, and show only it",
     [](Options &o, const std::wstring &) { return o.onePass = true, std::wstring(); }},
    {L"--json", nullptr, nullptr, false,
     L"the passes as one JSON document on the standard output; the\n"
     L"messages and notes go to the standard error",
     [](Options &o, const std::wstring &) { return o.json = true, std::wstring(); }},
    {L"--from", nullptr, L"FILE", false,
     L"read a saved capture instead of listening: one message per\n"
     L"line, with or without the \"VELDRIAN : \" prefix; the columns of\n"
     L"debug-output viewers (index, time, [process ID]) are skipped",
     [](Options &o, const std::wstring &v) { return o.from = v, std::wstring(); }},
    {L"--help", L"-h", nullptr, false, L"this text",
     [](Options &o, const std::wstring &) { return o.help = true, std::wstring(); }},
};

}  // namespace

std::wstring Usage()
{
    return L"usage: veldrian-trace [--global] [--for SECONDS] [--one-pass] [--json]\n"
           L"       veldrian-trace --from FILE [--one-pass] [--json]\n"
           L"\n"
           L"Shows what VELDRIAN did during printer installations on this machine. It listens\n"
           L"to the debugger output, prints each \"VELDRIAN : \" message as it arrives with the\n"
           L"sending process's ID and the time, and after each post-processing pass of a\n"
           L"printer installation shows the model, the device, the port, the print queue, and\n"
           L"for every user profile whether the queue became its default printer, and if\n"
           L"not, why.\n"
           L"\n"
           L"options:\n" +
           win32::OptionsHelp(kOptions) +
           L"\n"
           L"Ctrl+C stops listening. Only one program can read the debugger output at a time:\n"
           L"close debuggers and debug-output viewers first.\n"
           L"\n"
           L"exit status: 0 done; 1 the trace could not be read (the debugger output is\n"
           L"read by another program, rights are missing, the file cannot be read); 2 bad\n"
           L"usage; 3 no post-processing pass was seen (with --one-pass: none completed).\n";
}

ParsedOptions ParseOptions(const std::vector<std::wstring> &arguments)
{
    ParsedOptions parsed;
    // "/?" is Windows' own way to ask a program for its usage.
    std::vector<std::wstring> spelled = arguments;
    std::replace(spelled.begin(), spelled.end(), std::wstring(L"/?"), std::wstring(L"--help"));
    parsed.ok = win32::ParseCommandLine(kOptions, spelled, &parsed.options, &parsed.error);
    if (parsed.ok && !parsed.options.from.empty() && (parsed.options.global || parsed.options.seconds > 0)) {
        parsed.error = L"--from reads a file: --global and --for apply only to listening";
        parsed.ok = false;
    }
    return parsed;
}

}  // namespace trace
