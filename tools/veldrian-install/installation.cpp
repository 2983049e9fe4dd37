#include "installation.h"

#include "journal.h"
#include "standin.h"
#include "state.h"
#include "watchdog.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/names.h"
#include "win32/printers.h"

#include <newdev.h>

#include <algorithm>
#include <iterator>

namespace host {

std::atomic<bool> g_stopRequested{false};

namespace {

using win32::kClassPath;
using win32::kDevicesPath;
using win32::kPrinterClass;
using win32::kPrinterPortsPath;
using win32::kWindowsPath;

std::wstring Quoted(const std::wstring &text)
{
    return L"\"" + text + L"\"";
}

bool ContainsText(const std::vector<std::wstring> &names, const std::wstring &name)
{
    return std::any_of(names.begin(), names.end(),
                       [&](const std::wstring &item) { return lstrcmpiW(item.c_str(), name.c_str()) == 0; });
}

std::wstring SwapExtension(const std::wstring &name, const std::wstring &extension)
{
    const std::size_t dot = name.find_last_of(L'.');
    return (dot == std::wstring::npos ? name : name.substr(0, dot)) + extension;
}

}  // namespace

Installation::Installation(Console &console, DbwinListener &listener, const Options &options,
                           const Subject &subject)
    : console_(console), listener_(listener), options_(options), subject_(subject)
{
    profiles_ = options_.demoProfiles ? DemonstrationProfiles() : options_.profiles;
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    systemDll_ = std::wstring(system) + L"\\VELDRIAN.dll";
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    infDirectory_ = std::wstring(windows) + L"\\inf\\";
    standinPath_ = ProgramDirectory() + standin::kFileName;
}

Installation::~Installation()
{
    if (set_ != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set_);
    }
    if (standin_ != nullptr && !abandoned_) {
        FreeLibrary(standin_);
    }
}

bool Installation::stopped()
{
    if (g_stopRequested.load()) {
        failWith(L"stopped by Ctrl+C");
        return true;
    }
    return false;
}

void Installation::step(const std::wstring &text)
{
    listener_.sync();
    console_.line(L"> " + text);
}

void Installation::note(const std::wstring &text)
{
    listener_.sync();
    console_.line(L"  " + text);
}

void Installation::failWith(const std::wstring &reason)
{
    if (installFailure_.empty()) {
        installFailure_ = reason;
    }
    note(L"failed: " + reason);
}

std::wstring Installation::driverKeyPath() const
{
    wchar_t driver[256] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set_, const_cast<SP_DEVINFO_DATA *>(&device_), SPDRP_DRIVER,
                                           nullptr, reinterpret_cast<BYTE *>(driver),
                                           sizeof(driver) - sizeof(wchar_t), nullptr)) {
        return L"";
    }
    return std::wstring(kClassPath) + driver;
}

RunResult Installation::run()
{
    console_.line(L"veldrian-install: installing " + Quoted(subject_.model.name) + L" (" +
                  subject_.model.hardwareId + L") from " + subject_.package.infPath);
    console_.line(L"  DLL under test  " + subject_.dll);
    for (const std::wstring &text : subject_.notes) {
        console_.line(L"  note: " + text);
    }
    std::wstring profileList;
    for (const ProfileRequest &profile : profiles_) {
        profileList += (profileList.empty() ? L"" : L", ") + profile.name +
                       (profile.listsPrinter ? L" (lists the printer)" : L" (does not list it)");
    }
    console_.line(L"  profiles made   " + (profileList.empty() ? std::wstring(L"none") : profileList));
    listener_.takeMessages();

    std::wstring notCalled;
    std::wstring error;
    if (!StartJournal(&error)) {
        failWith(error);
    } else if (!stopped() && stage() && setAsideSystemFiles() && registerClassInstaller() && makeProfiles() &&
               !stopped()) {
        readDeviceValues(true);
        installed_ = installFailure_.empty() && install();
        listener_.sync();
        readDeviceValues(false);
        notCalled = notCalledReason();
    }
    finish();
    listener_.sync();

    RunResult result;
    result.model = subject_.model;
    result.profiles = rows_;
    result.messages = listener_.takeMessages();
    result.kept = options_.keep;
    Judge(&result, installed_, installed_ ? notCalled : installFailure_);
    if (abandoned_) {
        result.status = kExitAbandoned;
        result.verdict =
            L"the installation did not end by itself: " + installFailure_ + L"; its work is undone";
    }
    return result;
}

bool Installation::stage()
{
    if (!JournalFolder(StageDirectory())) {
        failWith(L"cannot write the run's journal");
        return false;
    }
    std::wstring error;
    if (!StagePackage(subject_.package, subject_.model, subject_.dll, &stage_, &error)) {
        failWith(error);
        return false;
    }
    console_.line(L"  staged in       " + stage_.directory);
    for (const std::wstring &text : stage_.notes) {
        console_.line(L"  note: " + text);
    }
    return true;
}

// Every file the installation is about to copy (the model's CopyFiles, wherever
// their DestinationDirs put them), system32's VELDRIAN.dll and the INF copy SetupAPI
// makes are journalled with what stands there now, so that the clean-up removes each
// copy and puts an earlier file back.
bool Installation::setAsideSystemFiles()
{
    const std::wstring infName = stage_.infPath.substr(stage_.directory.size());
    std::vector<std::wstring> files = {systemDll_, infDirectory_ + infName,
                                       infDirectory_ + SwapExtension(infName, L".pnf")};
    const std::vector<std::wstring> copied = CopiedFiles(subject_.package, subject_.model);
    std::ranges::copy_if(copied, std::back_inserter(files),
                         [&files](const std::wstring &file) { return !ContainsText(files, file); });
    if (const auto unread = std::ranges::find_if_not(files, JournalFile); unread != files.end()) {
        failWith(L"cannot record " + *unread + L" in the run's journal (it cannot be read)");
        return false;
    }
    // The copy SetupAPI makes must be the DLL under test: an earlier one is set aside.
    if (win32::FileExists(systemDll_)) {
        SetFileAttributesW(systemDll_.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(systemDll_.c_str())) {
            failWith(L"cannot set the earlier " + systemDll_ + L" aside: " +
                     win32::ErrorText(GetLastError()));
            return false;
        }
        console_.line(L"  note: an earlier " + systemDll_ + L" is set aside" +
                      (options_.keep ? L" (--keep: --clean puts it back)" : L" until the end"));
    }
    return true;
}

bool Installation::registerClassInstaller()
{
    // Wine has no printer class installer: the stand-in takes its place for the run.
    const std::wstring classKey = win32::kPrinterClassPath;
    const std::wstring value = standinPath_ + L"," + standin::kEntryName;
    if (!JournalValue(HKEY_LOCAL_MACHINE, classKey, L"Installer32", L"the Printer class's Installer32",
                      true)) {
        failWith(L"cannot write the run's journal");
        return false;
    }
    if (!win32::FileExists(standinPath_) ||
        !win32::WriteString(HKEY_LOCAL_MACHINE, classKey, L"Installer32", value)) {
        failWith(L"cannot register the printer class installer stand-in " + standinPath_);
        return false;
    }
    console_.line(L"  class installer " + standinPath_ + L" (stand-in: Wine has no printer class installer)");
    return true;
}

bool Installation::makeProfiles()
{
    for (const ProfileRequest &profile : profiles_) {
        const bool ok = JournalKey(HKEY_USERS, profile.name, L"the profile " + profile.name) &&
                        win32::WriteString(HKEY_USERS, profile.name + L"\\" + kDevicesPath, kEarlierPrinter,
                                           kEarlierPrinterEntry) &&
                        win32::WriteString(HKEY_USERS, profile.name + L"\\" + kWindowsPath, L"Device",
                                           std::wstring(kEarlierPrinter) + L"," + kEarlierPrinterEntry);
        if (!ok) {
            failWith(L"cannot make the profile HKEY_USERS\\" + profile.name);
            return false;
        }
    }
    return true;
}

void Installation::readDeviceValues(bool before)
{
    for (const std::wstring &name : win32::SubkeyNames(HKEY_USERS, L"")) {
        auto row = std::find_if(rows_.begin(), rows_.end(),
                                [&](const ProfileResult &item) { return item.name == name; });
        if (row == rows_.end()) {
            ProfileResult added;
            added.name = name;
            added.madeForRun =
                std::any_of(profiles_.begin(), profiles_.end(), [&](const ProfileRequest &made) {
                    return lstrcmpiW(made.name.c_str(), name.c_str()) == 0;
                });
            rows_.push_back(added);
            row = rows_.end() - 1;
        }
        const std::wstring windowsPath = name + L"\\" + kWindowsPath;
        (before ? row->before : row->after) = ReadString(HKEY_USERS, windowsPath, L"Device");
        // VELDRIAN may write the Device value of every profile there is.
        if (before && !row->madeForRun &&
            !JournalValue(HKEY_USERS, windowsPath, L"Device", L"the Device value of " + name)) {
            failWith(L"cannot record the Device value of " + name + L" in the run's journal");
        }
        if (!before && queueMade_) {
            row->listsQueue = ReadString(HKEY_USERS, name + L"\\" + kDevicesPath, queue_).has_value();
        }
    }
}

// Why VELDRIAN was not called, in the platform's terms: what the package check, made
// once before the run, found for the model.
std::wstring Installation::notCalledReason() const
{
    std::wstring reason;
    for (const std::wstring &finding : subject_.model.findings) {
        reason += (reason.empty() ? L"" : L"; ") + finding;
    }
    return reason.empty() ? L"the co-installers' post-processing call reached no VELDRIAN.dll" : reason;
}

namespace {

// The newdev call, made on the watchdog's thread.
struct NewdevCall {
    std::wstring hardwareId;
    std::wstring inf;
    BOOL ok = FALSE;
    DWORD error = NO_ERROR;
};

void CallNewdev(void *parameter)
{
    auto *call = static_cast<NewdevCall *>(parameter);
    BOOL reboot = FALSE;
    SetLastError(NO_ERROR);
    call->ok = UpdateDriverForPlugAndPlayDevicesW(nullptr, call->hardwareId.c_str(), call->inf.c_str(),
                                                  INSTALLFLAG_FORCE, &reboot);
    call->error = call->ok ? NO_ERROR : GetLastError();
}

}  // namespace

bool Installation::install()
{
    if (!createDevice() || !connectStandin() || stopped()) {
        return false;
    }
    const std::wstring what =
        L"UpdateDriverForPlugAndPlayDevices(" + subject_.model.hardwareId + L", " + stage_.infPath + L")";
    step(L"newdev: " + what);
    NewdevCall call{subject_.model.hardwareId, stage_.infPath};
    const WatchedCall watched = RunWatched(&CallNewdev, &call, options_.timeoutSeconds, g_stopRequested);
    if (watched.end != CallEnd::Returned) {
        abandoned_ = true;
        failWith(watched.end == CallEnd::Crashed ? L"the platform crashed inside the newdev call " + what +
                                                       L": " + CrashText(watched.exceptionCode, watched.where)
                 : watched.end == CallEnd::TimedOut
                     ? L"the newdev call " + what + L" did not return within " +
                           std::to_wstring(options_.timeoutSeconds) + L" s (--timeout): the watchdog ended it"
                     : L"stopped by Ctrl+C during the newdev call " + what);
        return false;
    }
    note(call.ok ? std::wstring(L"newdev returned TRUE")
                 : L"newdev returned FALSE: " + win32::ErrorText(call.error));
    installedInfName_ = ReadString(HKEY_LOCAL_MACHINE, driverKeyPath(), L"InfPath").value_or(L"");
    checkOutcome();
    return call.ok != FALSE && !installedInfName_.empty();
}

bool Installation::createDevice()
{
    step(L"creating the Printer-class device with hardware ID " + subject_.model.hardwareId);
    set_ = SetupDiCreateDeviceInfoList(&kPrinterClass, nullptr);
    if (set_ == INVALID_HANDLE_VALUE) {
        failWith(L"SetupDiCreateDeviceInfoList: " + win32::ErrorText(GetLastError()));
        return false;
    }
    device_.cbSize = sizeof(device_);
    if (!SetupDiCreateDeviceInfoW(set_, L"PRINTER", &kPrinterClass, subject_.model.name.c_str(), nullptr,
                                  DICD_GENERATE_ID, &device_)) {
        failWith(L"SetupDiCreateDeviceInfo: " + win32::ErrorText(GetLastError()));
        device_.cbSize = 0;
        return false;
    }
    wchar_t id[512] = {};
    SetupDiGetDeviceInstanceIdW(set_, &device_, id, 511, nullptr);
    instanceId_ = id;
    // Until it is registered the device lives only in the set: it is journalled first.
    if (!JournalDevice(instanceId_)) {
        failWith(L"cannot write the run's journal");
        return false;
    }
    std::wstring ids = subject_.model.hardwareId;
    ids.push_back(L'\0');
    ids.push_back(L'\0');
    if (!SetupDiSetDeviceRegistryPropertyW(set_, &device_, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE *>(ids.data()),
                                           static_cast<DWORD>(ids.size() * sizeof(wchar_t)))) {
        failWith(L"SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID): " + win32::ErrorText(GetLastError()));
        return false;
    }
    // Registered as Plug and Play registers a device it finds, so that it outlives the set.
    SetLastError(NO_ERROR);
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set_, &device_) &&
        GetLastError() != ERROR_DI_DO_DEFAULT) {
        failWith(L"DIF_REGISTERDEVICE failed: " + win32::ErrorText(GetLastError()));
        return false;
    }
    note(L"device " + instanceId_ +
         L" registered (DIF_REGISTERDEVICE), as Plug and Play registers a device it finds");
    return true;
}

// newdev answers TRUE on Wine whatever happened: the run checks what it can see.
void Installation::checkOutcome()
{
    step(L"checking the outcome");
    if (installedInfName_.empty()) {
        failWith(L"the device has no driver from the package: newdev installed nothing on " + instanceId_ +
                 L" (does hardware ID " + subject_.model.hardwareId + L" match the model's line?)");
    } else {
        note(L"the device's driver key has InfPath = " + installedInfName_);
    }
    if (queueMade_ && win32::QueueExists(queue_)) {
        note(L"the print queue " + Quoted(queue_) + L" exists");
    } else if (!installedInfName_.empty()) {
        note(L"no print queue was made for " + Quoted(subject_.model.name));
    }
    if (win32::FileExists(systemDll_) && win32::SameFileContents(systemDll_, subject_.dll)) {
        note(systemDll_ + L" is the DLL under test");
    } else if (win32::FileExists(systemDll_)) {
        note(L"note: " + systemDll_ + L" is NOT the DLL under test");
    }
}

// The journal removes what the run made, or with --keep leaves it recorded.
void Installation::finish()
{
    if (standinConnect_ != nullptr) {
        standinConnect_(nullptr);
    }
    // A set whose call was abandoned is left as it stands: destroying it would call the
    // device's installers again.
    if (set_ != INVALID_HANDLE_VALUE && !abandoned_) {
        SetupDiDestroyDeviceInfoList(set_);
    }
    set_ = INVALID_HANDLE_VALUE;
    if (options_.keep) {
        const std::vector<std::wstring> left = KeepJournal(console_);
        step(L"--keep: the device, the queue, the profiles and " + systemDll_ +
             L" stay; `sh tools/run.sh --clean` removes them");
        reportLeft(left);
        return;
    }
    step(L"removing what the run made");
    reportLeft(UndoJournal(console_));
}

// What an undo could not carry out stays in the journal, for --clean to try again.
void Installation::reportLeft(const std::vector<std::wstring> &left)
{
    for (const std::wstring &item : left) {
        failWith(L"could not remove " + item + L": `sh tools/run.sh --clean` tries again");
    }
}

}  // namespace host
