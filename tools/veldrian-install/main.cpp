// veldrian-install: installs a printer driver package that lists VELDRIAN as its
// co-installer, as Windows' device installer would, and shows VELDRIAN's trace and
// each profile's default printer before and after, with the reason. It also checks
// a package without installing it (--check) and removes what a kept run left
// (--clean). Run under Wine.
#include "console.h"
#include "installation.h"
#include "kept.h"
#include "options.h"
#include "package.h"
#include "packagecheck.h"
#include "result.h"
#include "state.h"

#include <string>
#include <vector>

namespace {

using namespace host;

constexpr std::size_t kTableWidth = 160;

bool FindModel(const Package &package, const std::wstring &name, InfModel *model, std::wstring *error)
{
    if (name.empty()) {
        *model = package.models.front();
        return true;
    }
    std::wstring names;
    for (const InfModel &candidate : package.models) {
        if (lstrcmpiW(candidate.name.c_str(), name.c_str()) == 0) {
            *model = candidate;
            return true;
        }
        names += (names.empty() ? L"\"" : L", \"") + candidate.name + L"\"";
    }
    *error =
        L"the INF " + package.infPath + L" has no model named \"" + name + L"\" (its models: " + names + L")";
    return false;
}

// The DLL under test: --dll, or else the package's own VELDRIAN.dll beside its INF.
std::wstring ChooseDll(const Options &options, const Package &package, Subject *subject)
{
    if (!options.dll.empty()) {
        subject->dll = WindowsPath(options.dll);
        if (!package.ownDll.empty()) {
            subject->notes.push_back(L"the package's own " + package.ownDll + L" is replaced by --dll " +
                                     subject->dll + L" for the run");
        }
    } else if (!package.ownDll.empty()) {
        subject->dll = package.ownDll;
    } else {
        return L"the package has no VELDRIAN.dll beside its INF " + package.infPath +
               L" (where its SourceDisksFiles puts it): ship it there, or name one with --dll PATH";
    }
    const std::wstring reason = CheckVeldrianDll(subject->dll);
    return reason.empty() ? L"" : L"the DLL under test " + reason;
}

// Every reason not to start, found before anything is made.
std::wstring CheckBeforeInstalling(const Options &options, const std::vector<InfModel> &models)
{
    for (const InfModel &model : models) {
        if (const std::wstring reason = CheckPrinterName(model.name); !reason.empty()) {
            return reason;
        }
    }
    if (const std::wstring kept = DescribeKeptRun(); !kept.empty()) {
        return kept;
    }
    for (const ProfileRequest &profile : options.demoProfiles ? DemonstrationProfiles() : options.profiles) {
        if (KeyExists(HKEY_USERS, profile.name)) {
            return L"HKEY_USERS\\" + profile.name + L" exists already: name a profile that does not";
        }
    }
    return L"";
}

void ShowResult(Console &console, const RunResult &result)
{
    console.line(L"");
    for (const std::wstring &line : ProfileTable(result, kTableWidth)) {
        console.line(line);
    }
    console.line(L"");
    console.line(L"Verdict [" + std::to_wstring(result.status) + L"]: " + result.verdict);
}

// Ctrl+C and Ctrl+Break during an installation wait for it: the run then removes
// what it made, as on every other exit, instead of leaving it in the prefix.
BOOL WINAPI FinishFirst(DWORD event)
{
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

int Install(Console &console, const Options &options, const Package &package, const Subject &base,
            const std::vector<InfModel> &models)
{
    SetConsoleCtrlHandler(&FinishFirst, TRUE);
    DbwinListener listener(console);
    std::wstring error;
    if (!listener.start(&error)) {
        console.error(error);
        return kExitNotInstalled;
    }
    if (listener.shared()) {
        console.line(
            L"note: another program reads the debugger output too; it may take some of VELDRIAN's lines");
    }
    std::vector<RunResult> results;
    for (const InfModel &model : models) {
        Subject subject = base;
        subject.model = model;
        Installation installation(console, listener, options, subject);
        results.push_back(installation.run());
        ShowResult(console, results.back());
    }
    listener.stop();
    int status = kExitOk;
    for (const RunResult &result : results) {
        status = status != kExitOk ? status : result.status;
    }
    if (options.allModels) {
        console.line(L"");
        for (const std::wstring &line : ModelsTable(results, kTableWidth)) {
            console.line(line);
        }
    }
    if (options.json) {
        console.json(ResultsJson(package.infPath, results, status));
    }
    if (status != kExitOk) {
        console.error(results.size() == 1
                          ? results.front().verdict
                          : L"not every model passed (status " + std::to_wstring(status) + L")");
    }
    return status;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    Console console;
    const ParsedOptions parsed = ParseOptions(std::vector<std::wstring>(argv + 1, argv + argc));
    if (!parsed.ok) {
        console.error(parsed.error);
        console.errorText(L"\n" + Usage());
        return kExitUsage;
    }
    const Options &options = parsed.options;
    if (options.help) {
        console.text(Usage());
        return kExitOk;
    }
    if (options.json) {
        console.humanToErrorOutput();
    }
    if (options.clean) {
        return CleanKeptRun(console);
    }
    const std::wstring inf = WindowsPath(
        options.inf.empty() ? ProgramDirectory() + L"examples\\VELDRIAN-example.inf" : options.inf);
    if (options.check) {
        return RunCheck(console, inf, options.dll.empty() ? L"" : WindowsPath(options.dll), options.verbose,
                        options.json);
    }

    Package package;
    Subject subject;
    std::wstring error;
    std::vector<InfModel> models;
    if (ReadPackage(inf, &package, &error)) {
        subject.package = package;
        subject.notes = package.notes;
        error = ChooseDll(options, package, &subject);
    }
    if (error.empty()) {
        InfModel model;
        if (options.allModels) {
            models = package.models;
        } else if (FindModel(package, options.model, &model, &error)) {
            models.push_back(model);
        }
    }
    if (error.empty()) {
        error = CheckBeforeInstalling(options, models);
    }
    if (!error.empty()) {
        console.error(error);
        return kExitNotInstalled;
    }
    return Install(console, options, package, subject, models);
}
