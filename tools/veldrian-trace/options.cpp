#include "options.h"

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
           L"options:\n"
           L"  --global        listen to session 0 as well, where services run: Windows\n"
           L"                  installs devices there (DrvInst.exe), so deployments need it.\n"
           L"                  Needs administrator rights. Without it: this session only.\n"
           L"  --for SECONDS   stop listening after that many seconds\n"
           L"  --one-pass      stop once a post-processing pass is complete, and show only it\n"
           L"  --json          the passes as one JSON document on the standard output; the\n"
           L"                  messages and notes go to the standard error\n"
           L"  --from FILE     read a saved capture instead of listening: one message per\n"
           L"                  line, with or without the \"VELDRIAN : \" prefix; the columns of\n"
           L"                  debug-output viewers (index, time, [process ID]) are skipped\n"
           L"  --help          this text\n"
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
    Options &options = parsed.options;
    bool timed = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring &argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == L"--global") {
            options.global = true;
        } else if (argument == L"--one-pass") {
            options.onePass = true;
        } else if (argument == L"--json") {
            options.json = true;
        } else if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
            options.help = true;
        } else if (argument == L"--for") {
            if (!hasValue || !ParseSeconds(arguments[++i], &options.seconds)) {
                parsed.error = L"--for takes a number of seconds, from 1 to 604800";
                return parsed;
            }
            timed = true;
        } else if (argument == L"--from") {
            if (!hasValue || arguments[i + 1].empty()) {
                parsed.error = L"--from takes the path of a saved capture";
                return parsed;
            }
            options.from = arguments[++i];
        } else {
            parsed.error = L"unknown option " + argument;
            return parsed;
        }
    }
    if (!options.from.empty() && (options.global || timed)) {
        parsed.error = L"--from reads a file: --global and --for apply only to listening";
        return parsed;
    }
    parsed.ok = true;
    return parsed;
}

}  // namespace trace
