#include "options.h"

#include "exitstatus.h"

#include "win32/commandline.h"

#include <algorithm>
#include <cwctype>

namespace host {

const wchar_t kEarlierPrinter[] = L"Earlier Printer";
const wchar_t kEarlierPrinterEntry[] = L"winspool,LPT1:";

namespace {

// The registry's limit for a key name.
constexpr std::size_t kMaxProfileName = 255;

bool SameText(const std::wstring &a, const std::wstring &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return towlower(x) == towlower(y);
           });
}

std::wstring CheckProfileName(const std::wstring &option, const std::wstring &name)
{
    if (name.find(L'\\') != std::wstring::npos) {
        return option + L" " + name + L": a profile name cannot hold a backslash";
    }
    if (name.size() > kMaxProfileName) {
        return option + L": a profile name has at most 255 characters";
    }
    return L"";
}

}  // namespace

std::vector<ProfileRequest> DemonstrationProfiles()
{
    return {{L"S-1-5-21-1-2-3-1001", true}, {L"S-1-5-21-1-2-3-1002", false}};
}

namespace {

std::wstring AddProfile(Options &options, const std::wstring &option, const std::wstring &name, bool lists)
{
    if (std::wstring problem = CheckProfileName(option, name); !problem.empty()) {
        return problem;
    }
    if (std::ranges::any_of(options.profiles, [&name](const ProfileRequest &profile) {
            return SameText(profile.name, name);
        })) {
        return L"the profile " + name + L" is named twice";
    }
    options.profiles.push_back({name, lists});
    options.demoProfiles = false;
    return L"";
}

constexpr unsigned kMaxTimeoutSeconds = 3600;

std::wstring ParseTimeout(Options &options, const std::wstring &value)
{
    const bool digits = !value.empty() && value.size() <= 4 &&
                        std::ranges::all_of(value, [](wchar_t c) { return c >= L'0' && c <= L'9'; });
    const unsigned seconds = digits ? static_cast<unsigned>(std::stoul(value)) : 0;
    if (seconds == 0 || seconds > kMaxTimeoutSeconds) {
        return L"--timeout " + value + L": a number of seconds from 1 to 3600";
    }
    options.timeoutSeconds = seconds;
    return L"";
}

// Every option, named once: the parser and the usage read this table.
const win32::Option<Options> kOptions[] = {
    {L"--inf", nullptr, L"PATH", false,
     L"the package's INF (default: the bundled example,\n"
     L"examples\\VELDRIAN-example.inf beside this program). The\n"
     L"INF and the files its SourceDisksFiles lists are copied to\n"
     L"a temporary directory and installed from there.",
     [](Options &o, const std::wstring &v) { return o.inf = v, std::wstring(); }},
    {L"--model", nullptr, L"NAME", false,
     L"the model to install, as the INF's models section names it\n"
     L"(default: the first model of the INF)",
     [](Options &o, const std::wstring &v) { return o.model = v, std::wstring(); }},
    {L"--all-models", nullptr, nullptr, false,
     L"install every model of the package in turn, and end with a\n"
     L"table: model, queue, profiles changed, verdict",
     [](Options &o, const std::wstring &) { return o.allModels = true, std::wstring(); }},
    {L"--port", nullptr, L"PORT", false,
     L"the device's port: recorded as its PortName after the\n"
     L"installation, as a port monitor does, and used for the\n"
     L"queue (default: the PortName the INF's .HW section writes,\n"
     L"else USB001, the port a USB bus gives)",
     [](Options &o, const std::wstring &v) { return o.port = v, std::wstring(); }},
    {L"--profile", nullptr, L"NAME", true,
     L"make the profile HKEY_USERS\\NAME for the run; its Devices\n"
     L"key lists the new queue (winspool,PORT), as the spooler\n"
     L"lists a printer for a user",
     [](Options &o, const std::wstring &v) { return AddProfile(o, L"--profile", v, true); }},
    {L"--unlisted-profile", nullptr, L"NAME", true,
     L"make the profile HKEY_USERS\\NAME without a Devices entry\n"
     L"for the new queue\n"
     L"Both options may be repeated. Each profile made starts with\n"
     L"an earlier default printer, \"Earlier Printer,winspool,LPT1:\".\n"
     L"Without either option two demonstration profiles are made:\n"
     L"S-1-5-21-1-2-3-1001 (lists the printer) and\n"
     L"S-1-5-21-1-2-3-1002 (does not).",
     [](Options &o, const std::wstring &v) { return AddProfile(o, L"--unlisted-profile", v, false); }},
    {L"--no-queue", nullptr, nullptr, false, L"make no print queue, as when the class installer makes none",
     [](Options &o, const std::wstring &) { return o.noQueue = true, std::wstring(); }},
    {L"--dll", nullptr, L"PATH", false,
     L"the VELDRIAN.dll under test (default: the package's own,\n"
     L"beside its INF); it replaces the package's for the run",
     [](Options &o, const std::wstring &v) { return o.dll = v, std::wstring(); }},
    {L"--timeout", nullptr, L"SECONDS", false,
     L"the longest the newdev call may take (default 120): a call\n"
     L"still under way then is ended, and the run's work undone",
     [](Options &o, const std::wstring &v) { return ParseTimeout(o, v); }},
    {L"--keep", nullptr, nullptr, false,
     L"keep what the run made: the device, the queue and its\n"
     L"driver, the profiles, system32\\VELDRIAN.dll and the Device\n"
     L"values VELDRIAN wrote. Its journal stays in the Wine prefix;\n"
     L"--clean removes it. Without --keep everything is removed or\n"
     L"put back at the end, so runs repeat.",
     [](Options &o, const std::wstring &) { return o.keep = true, std::wstring(); }},
    {L"--clean", nullptr, nullptr, false,
     L"remove what an earlier --keep run (or a run that did not\n"
     L"end) left, and put back what it replaced",
     [](Options &o, const std::wstring &) { return o.clean = true, std::wstring(); }},
    {L"--check", nullptr, nullptr, false,
     L"check the package without installing anything: for every\n"
     L"model of its x64 and ARM64 models sections, the DDInstall and\n"
     L".CoInstallers sections, the CoInstallers32 line, the copy to\n"
     L"the system directory, SourceDisksFiles, and the DLL itself",
     [](Options &o, const std::wstring &) { return o.check = true, std::wstring(); }},
    {L"--verbose", nullptr, nullptr, false, L"with --check: the models without findings too",
     [](Options &o, const std::wstring &) { return o.verbose = true, std::wstring(); }},
    {L"--json", nullptr, nullptr, false,
     L"the result as one JSON document on the standard output; the\n"
     L"rest goes to the error output",
     [](Options &o, const std::wstring &) { return o.json = true, std::wstring(); }},
    {L"--help", L"-h", nullptr, false, L"show this text",
     [](Options &o, const std::wstring &) { return o.help = true, std::wstring(); }},
};

// The options that go together, once each is read.
std::wstring CheckCombination(const Options &options, std::size_t count)
{
    if (options.clean && count > 1) {
        return L"--clean takes no other option: it removes what an earlier --keep left";
    }
    if (options.check && (options.keep || options.allModels || !options.model.empty() ||
                          !options.profiles.empty() || options.noQueue)) {
        return L"--check installs nothing: it goes with --inf, --dll, --port, --verbose and --json only";
    }
    if (options.verbose && !options.check) {
        return L"--verbose goes with --check only";
    }
    if (options.allModels && !options.model.empty()) {
        return L"--all-models and --model do not go together";
    }
    if (options.allModels && options.keep) {
        return L"--all-models and --keep do not go together: each model's run is removed before the next";
    }
    return L"";
}

// Each exit status and its meaning, wrapped at 80 columns under the meaning's indent.
std::wstring ExitStatusHelp()
{
    constexpr std::size_t kWidth = 80;
    constexpr std::size_t kIndent = 7;
    std::wstring help;
    for (const ExitStatusMeaning &entry : kExitStatuses) {
        std::wstring line = L"  " + std::to_wstring(entry.status);
        line.resize(kIndent, L' ');
        const std::wstring meaning = entry.meaning;
        for (std::size_t start = 0; start < meaning.size();) {
            std::size_t end = meaning.find(L' ', start);
            end = end == std::wstring::npos ? meaning.size() : end;
            const std::wstring word = meaning.substr(start, end - start);
            if (line.size() + 1 + word.size() > kWidth && line.size() > kIndent) {
                help += line + L"\n";
                line.assign(kIndent, L' ');
            }
            line += (line.size() > kIndent ? L" " : L"") + word;
            start = end + 1;
        }
        help += line + L"\n";
    }
    return help;
}

}  // namespace

std::wstring Usage()
{
    return L"usage: veldrian-install [options]\n"
           L"       veldrian-install --check [--inf PATH] [--dll PATH] [--verbose] [--json]\n"
           L"       veldrian-install --clean\n"
           L"\n"
           L"Installs a printer driver package that lists VELDRIAN as its co-installer, as\n"
           L"Windows' own tools do: the device is created and registered, and newdev\n"
           L"(UpdateDriverForPlugAndPlayDevices) installs the package's driver on it and\n"
           L"sends every DIF request. A printer class installer stand-in (Wine has none)\n"
           L"makes the print queue and the co-installers' post-processing call. It prints\n"
           L"every \"VELDRIAN : \" line of the debugger output as it arrives, and ends with\n"
           L"each profile's default printer (its Device value) before and after, and why.\n"
           L"It runs only under Wine, one run at a time per Wine prefix. Before it makes or\n"
           L"changes anything it records it, with what stood there, in the prefix's\n"
           L"journal, which the end of the run, Ctrl+C and --clean replay in reverse.\n"
           L"\n"
           L"options:\n" +
           win32::OptionsHelp(kOptions) +
           L"\n"
           L"Paths may be Windows paths or, under Wine, Unix paths; relative ones are taken\n"
           L"from the current folder.\n"
           L"\n"
           L"Exit status:\n" +
           ExitStatusHelp() + L"With --all-models the status is the first model's that is not 0.\n";
}

ParsedOptions ParseOptions(const std::vector<std::wstring> &arguments)
{
    ParsedOptions parsed;
    parsed.ok = win32::ParseCommandLine(kOptions, arguments, &parsed.options, &parsed.error);
    if (parsed.ok) {
        parsed.error = CheckCombination(parsed.options, arguments.size());
        parsed.ok = parsed.error.empty();
    }
    return parsed;
}

}  // namespace host
