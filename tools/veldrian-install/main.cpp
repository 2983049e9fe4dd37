// veldrian-install: installs a printer driver package that lists VELDRIAN as its
// co-installer, as Windows' device installer would, and shows VELDRIAN's trace and
// each profile's default printer before and after, with the reason. It also checks
// a package without installing it (--check) and removes what a kept run left
// (--clean). Run under Wine.
#include "checkreport.h"
#include "console.h"
#include "dllfile.h"
#include "installation.h"
#include "journal.h"
#include "options.h"
#include "package.h"
#include "packagecheck.h"
#include "prefixlock.h"
#include "result.h"
#include "state.h"
#include "watchdog.h"
#include "win32/files.h"
#include "win32/wine.h"

#include <algorithm>
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

// The package check's findings for each x64 model, worked out once: the run gives them
// as the reason when VELDRIAN was not called, and refuses a model Windows would fail.
void AddFindings(const PackageCheck &check, Package *package)
{
    for (InfModel &model : package->models) {
        const auto checked = std::ranges::find_if(check.models, [&model](const ModelCheck &candidate) {
            return candidate.architecture == inf::kX64.name && candidate.name == model.name &&
                   candidate.hardwareId == model.hardwareId;
        });
        if (checked != check.models.end()) {
            model.findings = checked->findings;
            model.refusal = checked->refusals.empty() ? L"" : checked->refusals.front();
        }
        if (!check.refusals.empty()) {
            model.refusal = check.refusals.front();
        }
    }
}

// Why the package gives the run no VELDRIAN.dll, naming what is there.
std::wstring NoPackageDll(const Package &package)
{
    const std::wstring directory = DirectoryOf(package.infPath);
    const std::wstring remedy = L": ship it there, or name one with --dll PATH";
    if (!package.listedDll.empty()) {
        return L"the package lacks " + package.listedDll + L", where the SourceDisksFiles of " +
               package.infPath + L" puts it" + remedy;
    }
    std::wstring unnamed;
    for (const wchar_t *candidate : {L"amd64\\VELDRIAN.dll", L"VELDRIAN.dll"}) {
        if (unnamed.empty() && win32::FileExists(directory + candidate)) {
            unnamed =
                L" (" + std::wstring(candidate) + L" lies beside the INF, but the INF does not name it)";
        }
    }
    return L"the INF " + package.infPath + L" does not list VELDRIAN.dll in SourceDisksFiles, so the " +
           L"installation has no VELDRIAN.dll to copy" + unnamed + L": list it, or name one with --dll PATH";
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
        return NoPackageDll(package);
    }
    const std::wstring reason = CheckVeldrianDll(subject->dll);
    return reason.empty() ? L"" : L"the DLL under test " + reason;
}

// Every reason not to start, found before anything is made.
std::wstring CheckBeforeInstalling(const Options &options)
{
    for (const ProfileRequest &profile : options.demoProfiles ? DemonstrationProfiles() : options.profiles) {
        if (KeyExists(HKEY_USERS, profile.name)) {
            return L"HKEY_USERS\\" + profile.name + L" exists already: name a profile that does not";
        }
    }
    return L"";
}

// The journal a run finds: a kept run's is left for --clean; a dead run's (it was
// killed, or Wine ended under it) is replayed before anything else is done.
bool TakeOverPrefix(Console &console, std::wstring *error)
{
    if (!HoldPrefix(error)) {
        return false;
    }
    const JournalState found = ReadJournal();
    if (!found.exists) {
        return true;
    }
    if (found.kept) {
        *error = L"an earlier --keep run left its installation in this Wine prefix" +
                 (found.summary.empty() ? std::wstring() : L" (" + found.summary + L")") +
                 L": run `sh tools/run.sh --clean` first to remove it";
        return false;
    }
    // The notice and the removals it announces go to the same output.
    console.line(L"veldrian-install: a run that did not end (process " + std::to_wstring(found.process) +
                 L") left its work in this Wine prefix: removing it first");
    const std::vector<std::wstring> left = UndoJournal(console);
    if (!left.empty()) {
        *error = L"could not remove " + left.front() + L" that the earlier run left: remove it by hand";
        return false;
    }
    return true;
}

int CleanKeptRun(Console &console)
{
    std::wstring error;
    if (!HoldPrefix(&error)) {
        console.error(error);
        return kExitNotInstalled;
    }
    const JournalState found = ReadJournal();
    if (!found.exists) {
        console.line(L"veldrian-install --clean: no run is recorded in this Wine prefix; nothing to remove");
        return kExitOk;
    }
    console.line(std::wstring(L"veldrian-install --clean: removing what an earlier ") +
                 (found.kept ? L"--keep run" : L"run that did not end") + L" left");
    const std::vector<std::wstring> left = UndoJournal(console);
    for (const std::wstring &item : left) {
        console.line(L"  could not remove " + item);
    }
    console.line(left.empty() ? L"  the record of the run is removed: the prefix is as before that run"
                              : L"  the record of what is left stays, so that --clean can be tried again");
    return left.empty() ? kExitOk : kExitNotInstalled;
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

// Ctrl+C and Ctrl+Break (and SIGINT, which Wine turns into Ctrl+C; tools/run.sh
// turns SIGTERM into SIGINT) end the run at its next step: the current model's work
// is undone through the journal, and no further model starts.
BOOL WINAPI StopRequested(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        g_stopRequested.store(true);
        return TRUE;
    }
    return FALSE;
}

// A model Windows would fail, skipped with the check's finding: nothing is made for it.
RunResult Refused(Console &console, const InfModel &model)
{
    RunResult result;
    result.model = model;
    result.status = kExitNotInstalled;
    result.verdict = L"not installed: Windows would fail it: " + model.refusal;
    console.line(L"veldrian-install: skipping \"" + model.name + L"\" (" + model.hardwareId + L"): " +
                 result.verdict);
    return result;
}

Console *g_console = nullptr;
bool g_json = false;

// A crash outside the watched newdev call ends the host: one line, and with --json a
// document that says so; the journal stays for the next run, which removes the work.
void ReportCrash(DWORD exceptionCode, const std::wstring &where)
{
    const std::wstring text = L"the platform crashed under the run (" + CrashText(exceptionCode, where) +
                              L"): the next run in this Wine prefix removes what it made";
    g_console->error(text);
    if (g_json) {
        tracedecoder::Json document;
        document["status"] = kExitAbandoned;
        document["crash"] = tracedecoder::JsonText(text);
        g_console->json(tracedecoder::Serialized(document) + "\n");
    }
    ExitProcess(kExitAbandoned);
}

int StatusOf(const std::vector<RunResult> &results)
{
    if (g_stopRequested.load()) {
        return kExitStopped;
    }
    // The first model's status that is not success is the run's.
    const auto failed =
        std::ranges::find_if(results, [](const RunResult &result) { return result.status != kExitOk; });
    return failed != results.end() ? failed->status : kExitOk;
}

int Install(Console &console, const Options &options, const Package &package, const Subject &base,
            const std::vector<InfModel> &models)
{
    DbwinListener listener(console);
    std::wstring error;
    // A second reader would take some of VELDRIAN's messages away: no verdict could be trusted.
    if (!listener.start(&error)) {
        console.error(error);
        return kExitNotInstalled;
    }
    std::vector<RunResult> results;
    for (const InfModel &model : models) {
        if (g_stopRequested.load()) {
            break;
        }
        if (!model.refusal.empty()) {
            results.push_back(Refused(console, model));
            continue;
        }
        Subject subject = base;
        subject.model = model;
        Installation installation(console, listener, options, subject);
        results.push_back(installation.run());
        if (g_stopRequested.load()) {
            // Ctrl+C came while this model was under way, whatever step it had reached:
            // its work is undone, it is the one reported stopped, and no other starts.
            results.back().status = kExitStopped;
            results.back().verdict = L"stopped by Ctrl+C: the work of this model is undone";
        }
        ShowResult(console, results.back());
    }
    listener.stop();
    const int status = StatusOf(results);
    if (options.allModels) {
        console.line(L"");
        for (const std::wstring &line : ModelsTable(results, kTableWidth)) {
            console.line(line);
        }
    }
    if (options.json) {
        console.json(ResultsJson(package.infPath, results, status));
    }
    if (status == kExitStopped) {
        console.error(L"stopped by Ctrl+C: the work of the model under way is undone; " +
                      std::to_wstring(models.size() - results.size()) + L" model(s) not started");
    } else if (status != kExitOk) {
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
    if (!win32::RunningUnderWine()) {
        console.error(L"this program runs only under Wine: it replaces the Printer class's installer of the "
                      L"system it runs on; on Windows install a package with Windows' own tools (pnputil)");
        return kExitNotInstalled;
    }
    if (options.json) {
        console.humanToErrorOutput();
    }
    // cppcheck-suppress danglingLifetime ; the reporter runs only while wmain does: it ends the process
    g_console = &console;
    g_json = options.json;
    WatchForCrashes(&ReportCrash);
    SetConsoleCtrlHandler(&StopRequested, TRUE);
    if (options.clean) {
        return CleanKeptRun(console);
    }
    const std::wstring inf = WindowsPath(
        options.inf.empty() ? ProgramDirectory() + L"examples\\VELDRIAN-example.inf" : options.inf);
    const std::wstring dll = options.dll.empty() ? L"" : WindowsPath(options.dll);
    Package package;
    std::wstring error;
    if (!ReadPackage(inf, &package, &error)) {
        console.error(error);
        return kExitNotInstalled;
    }
    if (options.check) {
        return RunCheck(console, package, dll, options.port, options.verbose, options.json);
    }

    Subject subject;
    std::vector<InfModel> models;
    error = InstallableHere(package);
    if (error.empty()) {
        AddFindings(CheckPackage(package, dll, options.port), &package);
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
            error = model.refusal.empty() ? L""
                                          : L"Windows would fail the installation of \"" + model.name +
                                                L"\", so the run makes nothing: " + model.refusal;
        }
    }
    if (error.empty() && TakeOverPrefix(console, &error)) {
        error = CheckBeforeInstalling(options);
    }
    if (!error.empty()) {
        console.error(error);
        return kExitNotInstalled;
    }
    return Install(console, options, package, subject, models);
}
