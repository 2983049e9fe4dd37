#include "installation.h"

#include "win32/names.h"

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

bool DriverExists(const std::wstring &name)
{
    DWORD needed = 0;
    DWORD returned = 0;
    std::wstring environment = kEnvironment;
    EnumPrinterDriversW(nullptr, environment.data(), 1, nullptr, 0, &needed, &returned);
    if (needed == 0) {
        return false;
    }
    std::vector<BYTE> block(needed);
    if (!EnumPrinterDriversW(nullptr, environment.data(), 1, block.data(), needed, &needed, &returned)) {
        return false;
    }
    const auto *drivers = reinterpret_cast<const DRIVER_INFO_1W *>(block.data());
    for (DWORD index = 0; index < returned; ++index) {
        if (drivers[index].pName != nullptr && lstrcmpiW(drivers[index].pName, name.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

Installation::Installation(Console &console, DbwinListener &listener, const Options &options, const Subject &subject)
    : console_(console), listener_(listener), options_(options), subject_(subject)
{
    profiles_ = options_.demoProfiles ? DemonstrationProfiles() : options_.profiles;
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    systemDll_ = std::wstring(system) + L"\\VELDRIAN.dll";
}

Installation::~Installation()
{
    if (set_ != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set_);
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
    return true;
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

bool Installation::install()
{
    if (!createDevice() || !selectDriver()) {
        return false;
    }
    DWORD error = 0;
    if (!callDif(DIF_ALLOW_INSTALL, L"DIF_ALLOW_INSTALL", &error)) {
        return false;
    }
    if (!callDif(DIF_REGISTER_COINSTALLERS, L"DIF_REGISTER_COINSTALLERS", &error)) {
        return false;
    }
    checkCoInstallerRegistration();
    if (!callDif(DIF_INSTALLDEVICEFILES, L"DIF_INSTALLDEVICEFILES", &error) ||
        !callDif(DIF_INSTALLINTERFACES, L"DIF_INSTALLINTERFACES", &error)) {
        return false;
    }

    // A failed DIF_INSTALLDEVICE still gets its post-processing call, with the failure.
    installDeviceSent_ = true;
    const bool installed = callDif(DIF_INSTALLDEVICE, L"DIF_INSTALLDEVICE", &error);
    installResult_ = installed ? NO_ERROR : error;
    installedInfName_ = ReadString(HKEY_LOCAL_MACHINE, driverKeyPath(), L"InfPath").value_or(L"");
    if (installed) {
        makeQueue(devicePort());
    }
    postProcess();
    return true;
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
    note(L"device " + instanceId_);
    // Registered as Plug and Play registers a device it finds, so that it outlives the set.
    DWORD error = 0;
    return callDif(DIF_REGISTERDEVICE, L"DIF_REGISTERDEVICE", &error);
}

bool Installation::selectDriver()
{
    step(L"building the device's driver list from " + stage_.infPath);
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(set_, &device_, &params)) {
        failWith(L"SetupDiGetDeviceInstallParams: " + ErrorText(GetLastError()));
        return false;
    }
    params.Flags |= DI_ENUMSINGLEINF;
    lstrcpynW(params.DriverPath, stage_.infPath.c_str(), MAX_PATH);
    if (!SetupDiSetDeviceInstallParamsW(set_, &device_, &params)) {
        failWith(L"SetupDiSetDeviceInstallParams: " + ErrorText(GetLastError()));
        return false;
    }
    if (!SetupDiBuildDriverInfoList(set_, &device_, SPDIT_COMPATDRIVER)) {
        failWith(L"SetupDiBuildDriverInfoList: " + ErrorText(GetLastError()));
        return false;
    }

    DWORD error = 0;
    if (!callDif(DIF_SELECTBESTCOMPATDRV, L"DIF_SELECTBESTCOMPATDRV", &error)) {
        return false;
    }
    SP_DRVINFO_DATA_V2_W driver = {};
    driver.cbSize = sizeof(driver);
    if (!SetupDiGetSelectedDriverW(set_, &device_, &driver)) {
        failWith(L"no driver of the INF fits hardware ID " + subject_.model.hardwareId + L": " +
                 ErrorText(GetLastError()));
        return false;
    }
    if (lstrcmpW(driver.Description, subject_.model.name.c_str()) != 0) {
        failWith(L"the INF's best driver for hardware ID " + subject_.model.hardwareId + L" is " +
                 Quoted(driver.Description) + L", not " + Quoted(subject_.model.name) +
                 L" (give each model a hardware ID of its own)");
        return false;
    }
    note(L"selected driver " + Quoted(driver.Description));
    return true;
}

bool Installation::callDif(DI_FUNCTION code, const wchar_t *name, DWORD *error)
{
    step(std::wstring(L"SetupDiCallClassInstaller(") + name + L")");
    SetLastError(NO_ERROR);
    const BOOL ok = SetupDiCallClassInstaller(code, set_, &device_);
    *error = ok ? NO_ERROR : GetLastError();
    if (ok) {
        note(L"done");
        return true;
    }
    if (*error == ERROR_DI_DO_DEFAULT) {
        note(L"no default handler (ERROR_DI_DO_DEFAULT): not a failure");
        return true;
    }
    if (code == DIF_INSTALLDEVICE) {
        note(L"failed: " + ErrorText(*error));
        if (failure_.empty()) {
            failure_ = std::wstring(name) + L" failed: " + ErrorText(*error);
        }
        return false;
    }
    failWith(std::wstring(L"the installation stopped: ") + name + L" failed: " + ErrorText(*error));
    return false;
}

void Installation::checkCoInstallerRegistration()
{
    HKEY key = SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        note(L"note: the device has no driver key: " + ErrorText(GetLastError()));
    } else {
        const std::vector<std::wstring> entries = MultiString(key, L"CoInstallers32");
        RegCloseKey(key);
        std::wstring list;
        for (const std::wstring &entry : entries) {
            list += (list.empty() ? L"" : L" | ") + entry;
        }
        note(L"driver key CoInstallers32 = " +
             (list.empty() ? std::wstring(L"(none: the INF registers no device co-installer)") : list));
    }
    if (!FileExists(systemDll_)) {
        note(L"note: " + systemDll_ + L" is not there: SetupAPI did not copy VELDRIAN.dll");
    } else if (SameFileContents(systemDll_, subject_.dll)) {
        note(systemDll_ + L" is the DLL under test");
    } else {
        note(L"note: " + systemDll_ + L" is NOT the DLL under test");
    }
}

std::wstring Installation::devicePort()
{
    const std::wstring parameters = std::wstring(kEnumPath) + instanceId_ + L"\\Device Parameters";
    if (!options_.port.empty()) {
        if (!WriteString(HKEY_LOCAL_MACHINE, parameters, L"PortName", options_.port)) {
            failWith(L"cannot write the device's PortName: " + parameters);
            return L"";
        }
        note(L"Device Parameters\\PortName = " + options_.port + L" (recorded by the host, --port)");
        return options_.port;
    }
    const std::optional<std::wstring> port = ReadString(HKEY_LOCAL_MACHINE, parameters, L"PortName");
    if (!port || port->empty()) {
        note(L"the device has no PortName (the model's .HW section writes none, and --port was not given)");
        return L"";
    }
    note(L"Device Parameters\\PortName = " + *port + L" (written by the model's .HW section)");
    return *port;
}

void Installation::makeQueue(const std::wstring &port)
{
    step(L"the printer class installer's part, made by the host: the print queue");
    if (options_.noQueue) {
        note(L"--no-queue: no queue is made");
        return;
    }
    if (port.empty()) {
        note(L"no port, so no queue is made");
        return;
    }
    queue_ = subject_.model.name;
    for (int copy = 1; QueueExists(queue_); ++copy) {
        queue_ = subject_.model.name + L" (Copy " + std::to_wstring(copy) + L")";
    }

    std::wstring driverName = subject_.model.name;
    std::wstring environment = kEnvironment;
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    // Wine's PostScript driver stands in for the package's driver files.
    std::wstring file = std::wstring(system) + L"\\wineps.drv";
    driverMade_ = !DriverExists(driverName);
    DRIVER_INFO_3W driver = {};
    driver.cVersion = 3;
    driver.pName = driverName.data();
    driver.pEnvironment = environment.data();
    driver.pDriverPath = file.data();
    driver.pDataFile = file.data();
    driver.pConfigFile = file.data();
    if (!AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE *>(&driver), APD_COPY_NEW_FILES)) {
        const DWORD error = GetLastError();
        driverMade_ = false;
        installResult_ = error;
        failWith(L"AddPrinterDriverEx(" + Quoted(driverName) + L"): " + ErrorText(error));
        return;
    }
    note(L"printer driver " + Quoted(driverName) + (driverMade_ ? L" added" : L" was there already"));

    // The spooler lists the new queue for the current user; that is put back afterwards.
    for (const wchar_t *path : {kDevicesPath, kPrinterPortsPath}) {
        savedUserKeys_.push_back(SaveKey(HKEY_CURRENT_USER, path));
        savedUserEntries_.push_back(SaveValue(HKEY_CURRENT_USER, path, queue_));
    }
    std::wstring portName = port;
    std::wstring processor = L"WinPrint";
    std::wstring datatype = L"RAW";
    PRINTER_INFO_2W printer = {};
    printer.pPrinterName = queue_.data();
    printer.pDriverName = driverName.data();
    printer.pPortName = portName.data();
    printer.pPrintProcessor = processor.data();
    printer.pDatatype = datatype.data();
    HANDLE handle = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE *>(&printer));
    if (handle == nullptr) {
        const DWORD error = GetLastError();
        installResult_ = error;
        failWith(L"AddPrinter(" + Quoted(queue_) + L" on " + port + L"): " + ErrorText(error));
        return;
    }
    ClosePrinter(handle);
    queueMade_ = true;
    note(L"print queue " + Quoted(queue_) + L" on " + port + L" added");

    for (const ProfileRequest &profile : profiles_) {
        if (profile.listsPrinter) {
            const std::wstring entry = L"winspool," + port;
            WriteString(HKEY_USERS, profile.name + L"\\" + kDevicesPath, queue_, entry);
            note(profile.name + L" lists the queue: Devices\\" + queue_ + L" = " + entry);
        }
    }
}

void Installation::postProcess()
{
    step(L"DIF_INSTALLDEVICE post-processing, made by the host (Wine's SetupAPI does not make it)");
    HKEY key = SetupDiOpenDevRegKey(set_, &device_, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
    std::vector<std::wstring> entries;
    if (key != INVALID_HANDLE_VALUE) {
        entries = MultiString(key, L"CoInstallers32");
        RegCloseKey(key);
    }
    if (entries.empty()) {
        note(L"the driver key lists no device co-installer: there is nothing to call");
        return;
    }
    for (const std::wstring &entry : entries) {
        // "<DLL>,<entry point>", the entry point CoDeviceInstall when none is named.
        const std::size_t comma = entry.find(L',');
        auto trim = [](std::wstring text) {
            text.erase(0, text.find_first_not_of(L" \t"));
            text.erase(text.find_last_not_of(L" \t") + 1);
            return text;
        };
        const std::wstring dll = trim(entry.substr(0, comma));
        const std::wstring function =
            comma == std::wstring::npos ? std::wstring(L"CoDeviceInstall") : trim(entry.substr(comma + 1));
        // SetupAPI loads a co-installer named without a path from the system directory.
        const bool hasPath = dll.find_first_of(L"\\/:") != std::wstring::npos;
        HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, hasPath ? 0 : LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module == nullptr) {
            failWith(L"cannot load the co-installer " + dll + L": " + ErrorText(GetLastError()));
            continue;
        }
        wchar_t loaded[MAX_PATH] = {};
        GetModuleFileNameW(module, loaded, MAX_PATH);
        const bool underTest = SameFileContents(loaded, subject_.dll);
        using Entry = DWORD(CALLBACK *)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);
        auto call = reinterpret_cast<Entry>(
            reinterpret_cast<void *>(GetProcAddress(module, Utf8(function).c_str())));
        if (call == nullptr) {
            failWith(std::wstring(loaded) + L" has no entry point " + function);
        } else {
            note(std::wstring(loaded) + (underTest ? L" (the DLL under test)" : L" (not the DLL under test)") +
                 L": " + function + L"(DIF_INSTALLDEVICE) with PostProcessing = TRUE, InstallResult = " +
                 std::to_wstring(installResult_));
            COINSTALLER_CONTEXT_DATA context = {};
            context.PostProcessing = TRUE;
            context.InstallResult = installResult_;
            const DWORD result = call(DIF_INSTALLDEVICE, set_, &device_, &context);
            note(function + L" returned " + std::to_wstring(static_cast<long>(result)) +
                 (result == NO_ERROR ? L" (NO_ERROR)" : L""));
        }
        FreeLibrary(module);
    }
}

void Installation::cleanUp()
{
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
    for (const SavedValue &saved : savedUserEntries_) {
        RestoreValue(saved);
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
    // The INF copy SetupAPI made: under the name the driver key recorded, which is
    // the staged INF's own name on Wine.
    if (infCopiesSaved_) {
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
    if (staged_) {
        RemoveDirectoryTree(stage_.directory);
    }
    note(L"done: device, queue, driver, profiles, " + systemDll_ + L" and the INF copy removed or put back");
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
    if (listener_.veldrianMessages() == 0) {
        console_.line(L"Nothing called VELDRIAN: does the model's DDInstall.CoInstallers section register it in "
                      L"CoInstallers32 and copy VELDRIAN.dll to the system directory (DestinationDirs 11)?");
    }
}

}  // namespace host
