#include "installation.h"

#include "printerclass-standin/standin.h"
#include "win32/names.h"

#include <newdev.h>
#include <winspool.h>

#include <algorithm>

namespace host {

namespace {

using win32::kClassPath;
using win32::kDevicesPath;
using win32::kEnumPath;
using win32::kEnvironment;
using win32::kPrinterClass;
using win32::kPrinterPortsPath;
using win32::kWindowsPath;

std::wstring Quoted(const std::wstring &text)
{
    return L"\"" + text + L"\"";
}

std::wstring Shown(const std::optional<std::wstring> &value)
{
    return value ? *value : L"(none)";
}

std::wstring Padded(const std::wstring &text, std::size_t width)
{
    return text.size() >= width ? text : text + std::wstring(width - text.size(), L' ');
}

std::vector<std::wstring> FilesIn(const std::wstring &directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                names.emplace_back(found.cFileName);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return names;
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

bool QueueExists(const std::wstring &name)
{
    HANDLE printer = nullptr;
    std::wstring text = name;
    if (!OpenPrinterW(text.data(), &printer, nullptr)) {
        return false;
    }
    ClosePrinter(printer);
    return true;
}

}  // namespace

Installation::Installation(Console &console, DbwinListener &listener, const Options &options, const Subject &subject)
    : console_(console), listener_(listener), options_(options), subject_(subject)
{
    profiles_ = options_.demoProfiles ? DemonstrationProfiles() : options_.profiles;
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    systemDll_ = std::wstring(system) + L"\\VELDRIAN.dll";
    standinPath_ = ProgramDirectory() + standin::kFileName;
}

Installation::~Installation()
{
    if (set_ != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set_);
    }
    if (standin_ != nullptr) {
        FreeLibrary(standin_);
    }
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
    if (failure_.empty()) {
        failure_ = reason;
    }
    note(L"failed: " + reason);
}

std::wstring Installation::driverKeyPath() const
{
    wchar_t driver[256] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set_, const_cast<SP_DEVINFO_DATA *>(&device_), SPDRP_DRIVER, nullptr,
                                           reinterpret_cast<BYTE *>(driver), sizeof(driver) - sizeof(wchar_t),
                                           nullptr)) {
        return L"";
    }
    return std::wstring(kClassPath) + driver;
}

int Installation::run()
{
    console_.line(L"veldrian-install: installing " + Quoted(subject_.model.name) + L" (" + subject_.model.hardwareId +
                  L") from " + subject_.package.infPath);
    console_.line(L"  DLL under test  " + subject_.dll);
    if (!subject_.package.decorated) {
        console_.line(L"  note: the models section " + subject_.package.modelsSection +
                      L" is not decorated with NTamd64; 64-bit Windows installs only from decorated ones");
    }
    std::wstring profileList;
    for (const ProfileRequest &profile : profiles_) {
        profileList += (profileList.empty() ? L"" : L", ") + profile.name +
                       (profile.listsPrinter ? L" (lists the printer)" : L" (does not list it)");
    }
    console_.line(L"  profiles made   " + (profileList.empty() ? std::wstring(L"none") : profileList));
    if (listener_.shared()) {
        console_.line(L"  note: another program reads the debugger output too; it may take some of VELDRIAN's lines");
    }

    if (prepare() && makeProfiles()) {
        readDeviceValues(true);
        install();
        listener_.sync();
        readDeviceValues(false);
    }
    cleanUp();
    listener_.sync();
    printTable();

    if (!failure_.empty()) {
        console_.error(failure_);
        return 1;
    }
    return 0;
}

bool Installation::prepare()
{
    std::wstring error;
    if (!StagePackage(subject_.package, subject_.dll, &stage_, &error)) {
        staged_ = !stage_.directory.empty();
        failWith(error);
        return false;
    }
    staged_ = true;
    console_.line(L"  staged in       " + stage_.directory);
    for (const std::wstring &text : stage_.notes) {
        console_.line(L"  note: " + text);
    }

    // The copy SetupAPI makes must be the DLL under test: an earlier one is set aside.
    const SavedFile earlier = SaveFile(systemDll_);
    if (earlier.existed) {
        if (!earlier.complete) {
            failWith(L"cannot read the earlier " + systemDll_ + L" to set it aside");
            return false;
        }
        if (!DeleteFileW(systemDll_.c_str())) {
            failWith(L"cannot set the earlier " + systemDll_ + L" aside: " + ErrorText(GetLastError()));
            return false;
        }
        console_.line(L"  note: an earlier " + systemDll_ + L" is set aside" +
                      (options_.keep ? L" (--keep: the DLL under test stays in its place)" : L" until the end"));
    }
    savedSystemDll_ = earlier;
    systemDllSaved_ = true;

    // SetupAPI copies the INF to the system's INF directory when it installs the device.
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring infDirectory = std::wstring(windows) + L"\\inf\\";
    infDirectoryBefore_ = FilesIn(infDirectory);
    const std::wstring infName = stage_.infPath.substr(stage_.directory.size());
    savedInfCopies_.push_back(SaveFile(infDirectory + infName));
    savedInfCopies_.push_back(SaveFile(infDirectory + SwapExtension(infName, L".pnf")));
    infCopiesSaved_ = true;

    // The spooler lists a new queue for the current user; that is put back afterwards.
    for (const wchar_t *path : {kDevicesPath, kPrinterPortsPath}) {
        savedUserKeys_.push_back(SaveKey(HKEY_CURRENT_USER, path));
        savedUserEntries_.push_back(SaveValues(HKEY_CURRENT_USER, path));
    }
    return registerClassInstaller();
}

bool Installation::makeProfiles()
{
    for (const ProfileRequest &profile : profiles_) {
        if (KeyExists(HKEY_USERS, profile.name)) {
            failWith(L"HKEY_USERS\\" + profile.name +
                     L" exists already: name a profile that does not (an earlier --keep run leaves its profiles)");
            return false;
        }
    }
    for (const ProfileRequest &profile : profiles_) {
        const bool ok = WriteString(HKEY_USERS, profile.name + L"\\" + kDevicesPath, kEarlierPrinter,
                                    kEarlierPrinterEntry) &&
                        WriteString(HKEY_USERS, profile.name + L"\\" + kWindowsPath, L"Device",
                                    std::wstring(kEarlierPrinter) + L"," + kEarlierPrinterEntry);
        profilesMade_.push_back(profile.name);
        if (!ok) {
            failWith(L"cannot make the profile HKEY_USERS\\" + profile.name);
            return false;
        }
    }
    return true;
}

void Installation::readDeviceValues(bool before)
{
    for (const std::wstring &name : SubkeyNames(HKEY_USERS, L"")) {
        auto row = std::find_if(rows_.begin(), rows_.end(), [&](const ProfileRow &item) { return item.name == name; });
        if (row == rows_.end()) {
            ProfileRow added;
            added.name = name;
            for (const ProfileRequest &profile : profiles_) {
                if (lstrcmpiW(profile.name.c_str(), name.c_str()) == 0) {
                    added.madeForRun = true;
                    added.listsPrinter = profile.listsPrinter;
                }
            }
            rows_.push_back(added);
            row = rows_.end() - 1;
        }
        const std::wstring windowsPath = name + L"\\" + kWindowsPath;
        (before ? row->before : row->after) = ReadString(HKEY_USERS, windowsPath, L"Device");
        if (before && !row->madeForRun) {
            savedDeviceValues_.push_back(SaveValue(HKEY_USERS, windowsPath, L"Device"));
        }
    }
}

bool Installation::registerClassInstaller()
{
    // Wine has no printer class installer: the stand-in takes its place for the run.
    const std::wstring classKey = win32::kPrinterClassPath;
    savedInstaller32_ = SaveValue(HKEY_LOCAL_MACHINE, classKey, L"Installer32");
    installer32Saved_ = true;
    const std::wstring value = standinPath_ + L"," + standin::kEntryName;
    if (!FileExists(standinPath_) || !WriteString(HKEY_LOCAL_MACHINE, classKey, L"Installer32", value)) {
        failWith(L"cannot register the printer class installer stand-in " + standinPath_);
        return false;
    }
    console_.line(L"  class installer " + standinPath_ + L" (stand-in: Wine has no printer class installer)");
    return true;
}

bool Installation::install()
{
    if (!createDevice() || !connectStandin()) {
        return false;
    }
    step(L"newdev: UpdateDriverForPlugAndPlayDevices(" + subject_.model.hardwareId + L", " + stage_.infPath + L")");
    BOOL reboot = FALSE;
    SetLastError(NO_ERROR);
    const BOOL ok = UpdateDriverForPlugAndPlayDevicesW(nullptr, subject_.model.hardwareId.c_str(),
                                                      stage_.infPath.c_str(), INSTALLFLAG_FORCE, &reboot);
    const DWORD error = ok ? NO_ERROR : GetLastError();
    note(ok ? std::wstring(L"newdev returned TRUE") : L"newdev returned FALSE: " + ErrorText(error));
    installedInfName_ = ReadString(HKEY_LOCAL_MACHINE, driverKeyPath(), L"InfPath").value_or(L"");
    checkOutcome();
    return ok != FALSE;
}

bool Installation::createDevice()
{
    step(L"creating the Printer-class device with hardware ID " + subject_.model.hardwareId);
    set_ = SetupDiCreateDeviceInfoList(&kPrinterClass, nullptr);
    if (set_ == INVALID_HANDLE_VALUE) {
        failWith(L"SetupDiCreateDeviceInfoList: " + ErrorText(GetLastError()));
        return false;
    }
    device_.cbSize = sizeof(device_);
    if (!SetupDiCreateDeviceInfoW(set_, L"PRINTER", &kPrinterClass, subject_.model.name.c_str(), nullptr,
                                  DICD_GENERATE_ID, &device_)) {
        failWith(L"SetupDiCreateDeviceInfo: " + ErrorText(GetLastError()));
        device_.cbSize = 0;
        return false;
    }
    deviceMade_ = true;
    std::wstring ids = subject_.model.hardwareId;
    ids.push_back(L'\0');
    ids.push_back(L'\0');
    if (!SetupDiSetDeviceRegistryPropertyW(set_, &device_, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(ids.data()),
                                           static_cast<DWORD>(ids.size() * sizeof(wchar_t)))) {
        failWith(L"SetupDiSetDeviceRegistryProperty(SPDRP_HARDWAREID): " + ErrorText(GetLastError()));
        return false;
    }
    wchar_t id[512] = {};
    SetupDiGetDeviceInstanceIdW(set_, &device_, id, 511, nullptr);
    instanceId_ = id;
    // Registered as Plug and Play registers a device it finds, so that it outlives the set.
    SetLastError(NO_ERROR);
    if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set_, &device_) && GetLastError() != ERROR_DI_DO_DEFAULT) {
        failWith(L"DIF_REGISTERDEVICE failed: " + ErrorText(GetLastError()));
        return false;
    }
    note(L"device " + instanceId_ + L" registered (DIF_REGISTERDEVICE), as Plug and Play registers a device it finds");
    return true;
}

bool Installation::connectStandin()
{
    standin_ = LoadLibraryW(standinPath_.c_str());
    auto connect = standin_ == nullptr ? nullptr
                                       : reinterpret_cast<standin::ConnectFunction>(reinterpret_cast<void *>(
                                             GetProcAddress(standin_, standin::kConnectName)));
    if (connect == nullptr) {
        failWith(L"cannot load the printer class installer stand-in " + standinPath_ + L": " +
                 ErrorText(GetLastError()));
        return false;
    }
    standinPort_ = options_.port;
    standin::Host host;
    host.context = this;
    host.note = &Installation::StandinNote;
    host.queueMade = &Installation::StandinQueueMade;
    host.port = standinPort_.empty() ? nullptr : standinPort_.c_str();
    host.makeQueue = options_.noQueue ? FALSE : TRUE;
    connect(&host);
    // Connected, the stand-in keeps the host's callbacks until the run ends.
    return true;
}

void Installation::StandinNote(void *context, const wchar_t *text)
{
    auto *self = static_cast<Installation *>(context);
    const std::wstring line = text;
    if (line.rfind(L"> ", 0) == 0) {
        self->step(line.substr(2));
    } else {
        self->note(line);
    }
}

void Installation::StandinQueueMade(void *context, const wchar_t *queue, const wchar_t * /*driver*/,
                                    const wchar_t *port, BOOL driverAdded)
{
    static_cast<Installation *>(context)->queueMade(queue, port, driverAdded != FALSE);
}

// The queue exists: the run lists it in the profiles that are to list it, as the
// spooler lists a printer for a user, before the post-processing call reads them.
void Installation::queueMade(const std::wstring &queue, const std::wstring &port, bool driverAdded)
{
    queue_ = queue;
    queueMade_ = true;
    driverMade_ = driverAdded;
    for (const ProfileRequest &profile : profiles_) {
        if (profile.listsPrinter) {
            const std::wstring entry = L"winspool," + port;
            WriteString(HKEY_USERS, profile.name + L"\\" + kDevicesPath, queue_, entry);
            note(profile.name + L" lists the queue: Devices\\" + queue_ + L" = " + entry);
        }
    }
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
    if (!options_.noQueue && !installedInfName_.empty()) {
        if (queueMade_ && QueueExists(queue_)) {
            note(L"the print queue " + Quoted(queue_) + L" exists");
        } else {
            failWith(L"no print queue was made for " + Quoted(subject_.model.name));
        }
    }
    if (FileExists(systemDll_) && SameFileContents(systemDll_, subject_.dll)) {
        note(systemDll_ + L" is the DLL under test");
    } else if (FileExists(systemDll_)) {
        note(L"note: " + systemDll_ + L" is NOT the DLL under test");
    }
    if (listener_.veldrianMessages() == 0) {
        failWith(L"nothing called VELDRIAN: the model's DDInstall.CoInstallers section does not register it");
    }
}

void Installation::cleanUp()
{
    if (standin_ != nullptr) {
        auto connect = reinterpret_cast<standin::ConnectFunction>(
            reinterpret_cast<void *>(GetProcAddress(standin_, standin::kConnectName)));
        connect(nullptr);
    }
    if (installer32Saved_) {
        RestoreValue(savedInstaller32_);
    }
    if (options_.keep) {
        step(L"--keep: the device, the queue, the profiles and " + systemDll_ + L" stay");
        if (set_ != INVALID_HANDLE_VALUE) {
            SetupDiDestroyDeviceInfoList(set_);
            set_ = INVALID_HANDLE_VALUE;
        }
        // An earlier copy goes back only when SetupAPI put none in its place.
        if (systemDllSaved_ && savedSystemDll_.existed && !FileExists(systemDll_)) {
            RestoreFile(savedSystemDll_);
        }
        if (staged_) {
            RemoveDirectoryTree(stage_.directory);
        }
        return;
    }

    step(L"removing what the run made");
    if (set_ != INVALID_HANDLE_VALUE) {
        if (deviceMade_) {
            SetLastError(NO_ERROR);
            if (!SetupDiCallClassInstaller(DIF_REMOVE, set_, &device_) && GetLastError() != ERROR_DI_DO_DEFAULT) {
                SetupDiRemoveDevice(set_, &device_);
            }
        }
        SetupDiDestroyDeviceInfoList(set_);
        set_ = INVALID_HANDLE_VALUE;
    }
    if (queueMade_) {
        HANDLE printer = nullptr;
        PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
        if (OpenPrinterW(queue_.data(), &printer, &defaults)) {
            DeletePrinter(printer);
            ClosePrinter(printer);
        }
    }
    if (driverMade_) {
        std::wstring environment = kEnvironment;
        std::wstring driver = subject_.model.name;
        DeletePrinterDriverW(nullptr, environment.data(), driver.data());
    }
    for (const SavedValues &saved : savedUserEntries_) {
        RestoreValues(saved);
    }
    for (const SavedKey &saved : savedUserKeys_) {
        RemoveIfNewAndEmpty(saved);
    }
    for (const SavedValue &saved : savedDeviceValues_) {
        RestoreValue(saved);
    }
    for (const std::wstring &profile : profilesMade_) {
        DeleteKeyTree(HKEY_USERS, profile);
    }
    if (systemDllSaved_ && !RestoreFile(savedSystemDll_)) {
        note(L"note: cannot put " + systemDll_ + L" back as it was: " + ErrorText(GetLastError()));
    }
    removeInfCopies();
    if (staged_) {
        RemoveDirectoryTree(stage_.directory);
    }
    note(L"done: device, queue, driver, profiles, " + systemDll_ +
         L", the INF copy and the class installer registration removed or put back");
}

// The INF copy SetupAPI made, with its .pnf: under the name the driver key
// recorded, which is the staged INF's own name on Wine.
void Installation::removeInfCopies()
{
    if (!infCopiesSaved_) {
        return;
    }
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    const std::wstring infDirectory = std::wstring(windows) + L"\\inf\\";
    std::vector<std::wstring> names;
    for (const std::wstring &inf : {stage_.infPath.substr(stage_.directory.size()), installedInfName_}) {
        if (!inf.empty() && !ContainsText(names, inf)) {
            names.push_back(inf);
            names.push_back(SwapExtension(inf, L".pnf"));
        }
    }
    for (const std::wstring &name : names) {
        const std::wstring path = infDirectory + name;
        auto saved = std::find_if(savedInfCopies_.begin(), savedInfCopies_.end(), [&](const SavedFile &file) {
            return lstrcmpiW(file.path.c_str(), path.c_str()) == 0;
        });
        if (saved != savedInfCopies_.end()) {
            RestoreFile(*saved);
        } else if (!ContainsText(infDirectoryBefore_, name)) {
            DeleteFileW(path.c_str());
        }
    }
}

void Installation::printTable()
{
    if (rows_.empty()) {
        return;
    }
    const std::wstring profileHeading = L"Profile under HKEY_USERS";
    const std::wstring beforeHeading = L"Device before";
    const std::wstring afterHeading = L"Device after";
    std::size_t nameWidth = profileHeading.size();
    std::size_t beforeWidth = beforeHeading.size();
    std::size_t afterWidth = afterHeading.size();
    for (const ProfileRow &row : rows_) {
        nameWidth = std::max(nameWidth, row.name.size() + (row.madeForRun ? 2 : 0));
        beforeWidth = std::max(beforeWidth, Shown(row.before).size());
        afterWidth = std::max(afterWidth, Shown(row.after).size());
    }
    int changed = 0;
    console_.line(L"");
    console_.line(Padded(profileHeading, nameWidth) + L"  " + Padded(beforeHeading, beforeWidth) + L"  " +
                  afterHeading);
    for (const ProfileRow &row : rows_) {
        const bool differs = row.before != row.after;
        changed += differs ? 1 : 0;
        console_.line(Padded(row.name + (row.madeForRun ? L" *" : L""), nameWidth) + L"  " +
                      Padded(Shown(row.before), beforeWidth) + L"  " + Padded(Shown(row.after), afterWidth) + L"  " +
                      (differs ? L"changed" : L"unchanged"));
    }
    console_.line(L"* made for this run" + std::wstring(options_.keep ? L" (kept)" : L" (removed again)"));
    console_.line(L"");
    console_.line(L"VELDRIAN sent " + std::to_wstring(listener_.veldrianMessages()) +
                  L" trace messages; the default printer of " + std::to_wstring(changed) + L" of " +
                  std::to_wstring(rows_.size()) + L" profiles changed.");
}

}  // namespace host
