#include "platform.h"

#include <sddl.h>
#include <winspool.h>

#include <algorithm>
#include <iterator>

namespace harness {

namespace {

// The keys of the current user's profile in which the spooler lists each queue.
const wchar_t *const kSpoolerUserKeys[] = {win32::kDevicesPath, win32::kPrinterPortsPath};

// Queues alive, and whether those keys existed before the first of them was made.
int g_livePrinters = 0;
bool g_hadUserKeys[std::size(kSpoolerUserKeys)] = {};

std::wstring Describe(const RegValue &value)
{
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        return L"\"" + StringOf(value) + L"\"";
    }
    return L"type " + std::to_wstring(value.type) + L", " + std::to_wstring(value.data.size()) + L" bytes";
}

// One line of a difference: what happened to which value, and what it holds now.
std::wstring ValueLine(const wchar_t *what, const std::wstring &path, const std::wstring &name,
                       const std::wstring &now = L"")
{
    std::wstring line = what;
    line += path;
    line += L" : ";
    line += name;
    if (!now.empty()) {
        line += L" = ";
        line += now;
    }
    return line;
}

}  // namespace

std::vector<std::wstring> Diff(const RegSnapshot &before, const RegSnapshot &after)
{
    std::vector<std::wstring> lines;
    for (const auto &[path, values] : before) {
        auto other = after.find(path);
        if (other == after.end()) {
            lines.push_back(L"key removed: " + path);
            continue;
        }
        for (const auto &[name, value] : values) {
            auto otherValue = other->second.find(name);
            if (otherValue == other->second.end()) {
                lines.push_back(ValueLine(L"value removed: ", path, name));
            } else if (!(otherValue->second == value)) {
                lines.push_back(ValueLine(L"value changed: ", path, name, Describe(otherValue->second)));
            }
        }
        for (const auto &[name, value] : other->second) {
            if (!values.contains(name)) {
                lines.push_back(ValueLine(L"value added: ", path, name, Describe(value)));
            }
        }
    }
    for (const auto &[path, values] : after) {
        if (before.find(path) == before.end()) {
            lines.push_back(L"key added: " + path);
        }
    }
    return lines;
}

std::wstring CurrentUserKey()
{
    std::wstring name;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        BYTE buffer[256];
        DWORD size = 0;
        wchar_t *sid = nullptr;
        if (GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer)->User.Sid, &sid)) {
            name = sid;
            LocalFree(sid);
        }
        CloseHandle(token);
    }
    return name;
}

std::wstring ExistingAncestor(const std::wstring &path)
{
    std::wstring key = path;
    while (!KeyExists(HKEY_USERS, key) && key.find(L'\\') != std::wstring::npos) {
        key.erase(key.rfind(L'\\'));
    }
    return key;
}

ScopedProfile::ScopedProfile(const std::wstring &name, const std::wstring &printer,
                             const wchar_t *devicesEntry, bool withWindows)
    : name_(name)
{
    CreateKey(HKEY_USERS, name_);
    if (devicesEntry != nullptr) {
        SetString(HKEY_USERS, devicesPath(), printer, devicesEntry);
    }
    if (withWindows) {
        CreateKey(HKEY_USERS, windowsPath());
    }
}

ScopedProfile::~ScopedProfile()
{
    DeleteKeyTree(HKEY_USERS, name_);
}

ScopedKeyRestore::ScopedKeyRestore(HKEY root, const std::wstring &path)
    : root_(root), path_(path), saved_(Snapshot(root, path))
{
}

ScopedKeyRestore::~ScopedKeyRestore()
{
    win32::RestoreTree(root_, saved_, path_);
}

// ---- Spooler ----

ScopedPrinter::ScopedPrinter(const std::wstring &name, const std::wstring &driver, const std::wstring &port)
    : name_(name), driver_(driver)
{
    if (g_livePrinters++ == 0) {
        for (std::size_t index = 0; index < std::size(kSpoolerUserKeys); ++index) {
            g_hadUserKeys[index] = KeyExists(HKEY_CURRENT_USER, kSpoolerUserKeys[index]);
        }
    }
    if (!win32::MakePrinterDriver(driver_)) {
        error_ = GetLastError();
    }
    if (win32::AddQueue(name_, driver_, port)) {
        ok_ = true;
    } else {
        error_ = GetLastError();
    }
}

ScopedPrinter::~ScopedPrinter()
{
    win32::DeleteQueue(name_);
    // Entries the spooler wrote for the queue in the current user's profile, and,
    // once the last queue is gone, the keys it made for them if they are empty.
    const bool last = --g_livePrinters == 0;
    for (std::size_t index = 0; index < std::size(kSpoolerUserKeys); ++index) {
        DeleteValue(HKEY_CURRENT_USER, kSpoolerUserKeys[index], name_);
        const RegSnapshot left = Snapshot(HKEY_CURRENT_USER, kSpoolerUserKeys[index]);
        if (last && !g_hadUserKeys[index] && left.size() == 1 && left.begin()->second.empty()) {
            RegDeleteKeyW(HKEY_CURRENT_USER, kSpoolerUserKeys[index]);
        }
    }
    win32::RemovePrinterDriver(driver_);
}

// ---- SetupAPI ----

std::wstring TempDirectory()
{
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    return path;
}

bool WriteUtf16File(const std::wstring &path, const std::wstring &text)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const wchar_t bom = 0xFEFF;
    DWORD written = 0;
    bool ok = WriteFile(file, &bom, sizeof(bom), &written, nullptr) != FALSE;
    ok = ok &&
         WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return ok;
}

std::wstring PrinterInf(const std::vector<InfModel> &models)
{
    std::wstring inf = L"[Version]\r\n"
                       L"Signature=\"$Windows NT$\"\r\n"
                       L"Class=Printer\r\n"
                       L"ClassGUID=" +
                       std::wstring(win32::kPrinterClassText) +
                       L"\r\n"
                       L"Provider=\"VELDRIAN test harness\"\r\n"
                       L"\r\n[Manufacturer]\r\n\"VELDRIAN test harness\"=Models\r\n"
                       L"\r\n[Models]\r\n";
    for (std::size_t index = 0; index < models.size(); ++index) {
        inf += L"\"" + models[index].name + L"\"=Install" + std::to_wstring(index) + L"," +
               models[index].hardwareId + L"\r\n";
    }
    for (std::size_t index = 0; index < models.size(); ++index) {
        const std::wstring section = L"Install" + std::to_wstring(index);
        inf += L"\r\n[" + section + L"]\r\n";
        inf += L"\r\n[" + section + L".HW]\r\n";
        if (!models[index].port.empty()) {
            inf += L"AddReg=" + section + L".HW.AddReg\r\n";
            inf += L"\r\n[" + section + L".HW.AddReg]\r\nHKR,,PortName,,\"" + models[index].port + L"\"\r\n";
        }
    }
    return inf;
}

// A path for a test's INF of its own, new in each call.
static std::wstring NewInfPath()
{
    static int serial = 0;
    return TempDirectory() + L"veldrian-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++serial) + L".inf";
}

ScopedDevice::ScopedDevice(const std::wstring &inf, const std::wstring &hardwareId, bool install)
    : infPath_(NewInfPath())
{
    if (!WriteUtf16File(infPath_, inf)) {
        failure_ = "cannot write the INF";
        return;
    }
    set_ = SetupDiCreateDeviceInfoList(&win32::kPrinterClass, nullptr);
    if (set_ == INVALID_HANDLE_VALUE) {
        failure_ = "SetupDiCreateDeviceInfoList failed";
        return;
    }
    data_.cbSize = sizeof(data_);
    if (!SetupDiCreateDeviceInfoW(set_, L"PRINTER", &win32::kPrinterClass, nullptr, nullptr, DICD_GENERATE_ID,
                                  &data_)) {
        failure_ = "SetupDiCreateDeviceInfoW failed: " + std::to_string(GetLastError());
        return;
    }
    std::wstring ids = hardwareId + L'\0';
    if (!SetupDiSetDeviceRegistryPropertyW(set_, &data_, SPDRP_HARDWAREID,
                                           reinterpret_cast<const BYTE *>(ids.c_str()),
                                           static_cast<DWORD>((ids.size() + 1) * sizeof(wchar_t)))) {
        failure_ = "SPDRP_HARDWAREID failed: " + std::to_string(GetLastError());
        return;
    }
    wchar_t id[512] = {};
    SetupDiGetDeviceInstanceIdW(set_, &data_, id, 512, nullptr);
    instanceId_ = id;

    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    SetupDiGetDeviceInstallParamsW(set_, &data_, &params);
    params.Flags |= DI_ENUMSINGLEINF;
    wcsncpy_s(params.DriverPath, MAX_PATH, infPath_.c_str(), _TRUNCATE);
    if (!SetupDiSetDeviceInstallParamsW(set_, &data_, &params)) {
        failure_ = "SetupDiSetDeviceInstallParamsW failed: " + std::to_string(GetLastError());
        return;
    }
    if (!SetupDiBuildDriverInfoList(set_, &data_, SPDIT_COMPATDRIVER)) {
        failure_ = "SetupDiBuildDriverInfoList failed: " + std::to_string(GetLastError());
        return;
    }
    if (!SetupDiSelectBestCompatDrv(set_, &data_)) {
        failure_ = "SetupDiSelectBestCompatDrv failed: " + std::to_string(GetLastError());
        return;
    }
    if (install && !SetupDiInstallDevice(set_, &data_)) {
        failure_ = "SetupDiInstallDevice failed: " + std::to_string(GetLastError());
        return;
    }
    ok_ = true;
}

ScopedDevice::~ScopedDevice()
{
    if (set_ != INVALID_HANDLE_VALUE) {
        if (data_.cbSize != 0) {
            SetupDiRemoveDevice(set_, &data_);
        }
        SetupDiDestroyDeviceInfoList(set_);
    }
    if (!infPath_.empty()) {
        DeleteFileW(infPath_.c_str());
        // Installing the device copies the INF, under its own name, to the system's
        // INF directory, with its precompiled form (.pnf); the names are this device's.
        wchar_t windows[MAX_PATH] = {};
        GetWindowsDirectoryW(windows, MAX_PATH);
        const std::wstring name = infPath_.substr(infPath_.find_last_of(L'\\') + 1);
        const std::wstring copy = std::wstring(windows) + L"\\inf\\" + name;
        DeleteFileW(copy.c_str());
        DeleteFileW((copy.substr(0, copy.size() - 4) + L".pnf").c_str());
    }
}

std::wstring ScopedDevice::parametersPath() const
{
    return std::wstring(win32::kEnumPath) + instanceId_ + L"\\Device Parameters";
}

CurrentUserWindowsKey::CurrentUserWindowsKey()
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    exists_ = RegCreateKeyExW(HKEY_CURRENT_USER, kWindowsPath, 0, nullptr, 0, KEY_READ, nullptr, &key,
                              &disposition) == ERROR_SUCCESS;
    if (exists_) {
        RegCloseKey(key);
    }
    made_ = exists_ && disposition == REG_CREATED_NEW_KEY;
}

CurrentUserWindowsKey::~CurrentUserWindowsKey()
{
    if (made_) {
        RegDeleteKeyW(HKEY_CURRENT_USER, kWindowsPath);
    }
}

}  // namespace harness
