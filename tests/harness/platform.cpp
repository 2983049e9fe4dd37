#include "platform.h"

#include <sddl.h>
#include <winspool.h>

#include <algorithm>
#include <iterator>

namespace harness {

const wchar_t kDevicesPath[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
const wchar_t kWindowsPath[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

namespace {

// The keys of the current user's profile in which the spooler lists each queue.
const wchar_t *const kSpoolerUserKeys[] = {kDevicesPath, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\PrinterPorts"};

// Queues alive, and whether those keys existed before the first of them was made.
int g_livePrinters = 0;
bool g_hadUserKeys[std::size(kSpoolerUserKeys)] = {};

const GUID kPrinterClass = {0x4D36E979, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::wstring Join(const std::wstring &path, const std::wstring &name)
{
    return path.empty() ? name : path + L"\\" + name;
}

void SnapshotInto(HKEY root, const std::wstring &path, RegSnapshot &snapshot)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return;
    }
    auto &values = snapshot[path];
    std::vector<wchar_t> name(16384);
    std::vector<BYTE> data(1 << 16);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(data.size());
        const LONG result = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size);
        if (result != ERROR_SUCCESS) {
            break;
        }
        values[std::wstring(name.data(), nameLength)] = RegValue{type, std::vector<BYTE>(data.begin(), data.begin() + size)};
    }
    std::vector<std::wstring> children;
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        children.emplace_back(name.data(), nameLength);
    }
    RegCloseKey(key);
    for (const std::wstring &child : children) {
        SnapshotInto(root, Join(path, child), snapshot);
    }
}

std::wstring Describe(const RegValue &value)
{
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ) {
        return L"\"" + StringOf(value) + L"\"";
    }
    return L"type " + std::to_wstring(value.type) + L", " + std::to_wstring(value.data.size()) + L" bytes";
}

}  // namespace

RegSnapshot Snapshot(HKEY root, const std::wstring &path)
{
    RegSnapshot snapshot;
    SnapshotInto(root, path, snapshot);
    return snapshot;
}

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
                lines.push_back(L"value removed: " + path + L" : " + name);
            } else if (!(otherValue->second == value)) {
                lines.push_back(L"value changed: " + path + L" : " + name + L" = " + Describe(otherValue->second));
            }
        }
        for (const auto &[name, value] : other->second) {
            if (values.find(name) == values.end()) {
                lines.push_back(L"value added: " + path + L" : " + name + L" = " + Describe(value));
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

bool CreateKey(HKEY root, const std::wstring &path)
{
    HKEY key = nullptr;
    const LONG result = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS) {
        RegCloseKey(key);
    }
    return result == ERROR_SUCCESS;
}

bool DeleteKeyTree(HKEY root, const std::wstring &path)
{
    return RegDeleteTreeW(root, path.c_str()) == ERROR_SUCCESS && RegDeleteKeyW(root, path.c_str()) == ERROR_SUCCESS;
}

bool KeyExists(HKEY root, const std::wstring &path)
{
    HKEY key = nullptr;
    const bool exists = RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (exists) {
        RegCloseKey(key);
    }
    return exists;
}

bool SetValue(HKEY root, const std::wstring &path, const std::wstring &name, DWORD type, const void *data,
              DWORD bytes)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG result = RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE *>(data), bytes);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool SetString(HKEY root, const std::wstring &path, const std::wstring &name, const std::wstring &text)
{
    return SetValue(root, path, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool DeleteValue(HKEY root, const std::wstring &path, const std::wstring &name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) {
        return false;
    }
    const LONG result = RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

RegValue GetValue(HKEY root, const std::wstring &path, const std::wstring &name)
{
    RegValue value;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return value;
    }
    DWORD size = 0;
    DWORD type = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS) {
        value.data.resize(size);
        if (RegQueryValueExW(key, name.c_str(), nullptr, &type, value.data.data(), &size) == ERROR_SUCCESS) {
            value.type = type;
            value.data.resize(size);
        } else {
            value.data.clear();
        }
    }
    RegCloseKey(key);
    return value;
}

bool ValueExists(HKEY root, const std::wstring &path, const std::wstring &name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    const bool exists = RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    RegCloseKey(key);
    return exists;
}

std::wstring StringOf(const RegValue &value)
{
    std::wstring text(reinterpret_cast<const wchar_t *>(value.data.data()), value.data.size() / sizeof(wchar_t));
    const auto end = text.find(L'\0');
    return end == std::wstring::npos ? text : text.substr(0, end);
}

std::vector<std::wstring> SubkeyNames(HKEY root, const std::wstring &path)
{
    std::vector<std::wstring> names;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return names;
    }
    wchar_t name[512];
    for (DWORD index = 0;; ++index) {
        DWORD length = 512;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        names.emplace_back(name, length);
    }
    RegCloseKey(key);
    return names;
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

ScopedProfile::ScopedProfile(const std::wstring &name, const std::wstring &printer, const wchar_t *devicesEntry,
                             bool withWindows)
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
    const RegSnapshot now = Snapshot(root_, path_);
    // Keys that were not there before go; values are put back as they were.
    for (auto it = now.rbegin(); it != now.rend(); ++it) {
        if (saved_.find(it->first) == saved_.end()) {
            RegDeleteTreeW(root_, it->first.c_str());
            RegDeleteKeyW(root_, it->first.c_str());
        }
    }
    for (const auto &[path, values] : saved_) {
        CreateKey(root_, path);
        auto current = now.find(path);
        if (current != now.end()) {
            for (const auto &[name, value] : current->second) {
                if (values.find(name) == values.end()) {
                    DeleteValue(root_, path, name);
                }
            }
        }
        for (const auto &[name, value] : values) {
            SetValue(root_, path, name, value.type, value.data.data(), static_cast<DWORD>(value.data.size()));
        }
    }
}

// ---- Spooler ----

bool AddDriver(const std::wstring &name)
{
    std::wstring driver = name;
    std::wstring file = L"C:\\windows\\system32\\wineps.drv";
    std::wstring environment = L"Windows x64";
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    info.pName = driver.data();
    info.pEnvironment = environment.data();
    info.pDriverPath = file.data();
    info.pDataFile = file.data();
    info.pConfigFile = file.data();
    return AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE *>(&info), APD_COPY_NEW_FILES) != FALSE;
}

bool AddQueue(const std::wstring &name, const std::wstring &driver, const std::wstring &port)
{
    std::wstring queue = name;
    std::wstring driverName = driver;
    std::wstring portName = port;
    std::wstring processor = L"WinPrint";
    std::wstring datatype = L"RAW";
    PRINTER_INFO_2W printer = {};
    printer.pPrinterName = queue.data();
    printer.pDriverName = driverName.data();
    printer.pPortName = portName.data();
    printer.pPrintProcessor = processor.data();
    printer.pDatatype = datatype.data();
    HANDLE handle = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE *>(&printer));
    if (handle != nullptr) {
        ClosePrinter(handle);
    }
    return handle != nullptr;
}

ScopedPrinter::ScopedPrinter(const std::wstring &name, const std::wstring &driver, const std::wstring &port)
    : name_(name), driver_(driver)
{
    if (g_livePrinters++ == 0) {
        for (std::size_t index = 0; index < std::size(kSpoolerUserKeys); ++index) {
            g_hadUserKeys[index] = KeyExists(HKEY_CURRENT_USER, kSpoolerUserKeys[index]);
        }
    }
    if (!AddDriver(driver_)) {
        error_ = GetLastError();
    }
    if (AddQueue(name_, driver_, port)) {
        ok_ = true;
    } else {
        error_ = GetLastError();
    }
}

ScopedPrinter::~ScopedPrinter()
{
    HANDLE handle = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    if (OpenPrinterW(name_.data(), &handle, &defaults)) {
        DeletePrinter(handle);
        ClosePrinter(handle);
    }
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
    DeletePrinterDriverW(nullptr, nullptr, driver_.data());
}

std::vector<QueueInfo> EnumQueues()
{
    std::vector<QueueInfo> queues;
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &needed, &returned);
    std::vector<BYTE> block(needed + 1);
    if (needed != 0 &&
        EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, block.data(), needed, &needed, &returned)) {
        const auto *records = reinterpret_cast<const PRINTER_INFO_2W *>(block.data());
        for (DWORD index = 0; index < returned; ++index) {
            const PRINTER_INFO_2W &record = records[index];
            queues.push_back({record.pPrinterName ? record.pPrinterName : L"", record.pDriverName ? record.pDriverName : L"",
                              record.pPortName ? record.pPortName : L""});
        }
    }
    return queues;
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
    ok = ok && WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return ok;
}

std::wstring PrinterInf(const std::vector<InfModel> &models)
{
    std::wstring inf =
        L"[Version]\r\n"
        L"Signature=\"$Windows NT$\"\r\n"
        L"Class=Printer\r\n"
        L"ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}\r\n"
        L"Provider=\"VELDRIAN test harness\"\r\n"
        L"\r\n[Manufacturer]\r\n\"VELDRIAN test harness\"=Models\r\n"
        L"\r\n[Models]\r\n";
    for (std::size_t index = 0; index < models.size(); ++index) {
        inf += L"\"" + models[index].name + L"\"=Install" + std::to_wstring(index) + L"," + models[index].hardwareId + L"\r\n";
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

ScopedDevice::ScopedDevice(const std::wstring &inf, const std::wstring &hardwareId, bool install)
{
    static int serial = 0;
    infPath_ = TempDirectory() + L"veldrian-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++serial) + L".inf";
    if (!WriteUtf16File(infPath_, inf)) {
        failure_ = "cannot write the INF";
        return;
    }
    set_ = SetupDiCreateDeviceInfoList(&kPrinterClass, nullptr);
    if (set_ == INVALID_HANDLE_VALUE) {
        failure_ = "SetupDiCreateDeviceInfoList failed";
        return;
    }
    data_.cbSize = sizeof(data_);
    if (!SetupDiCreateDeviceInfoW(set_, L"PRINTER", &kPrinterClass, nullptr, nullptr, DICD_GENERATE_ID, &data_)) {
        failure_ = "SetupDiCreateDeviceInfoW failed: " + std::to_string(GetLastError());
        return;
    }
    std::wstring ids = hardwareId + L'\0';
    if (!SetupDiSetDeviceRegistryPropertyW(set_, &data_, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(ids.c_str()),
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
    lstrcpynW(params.DriverPath, infPath_.c_str(), MAX_PATH);
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
    return L"SYSTEM\\CurrentControlSet\\Enum\\" + instanceId_ + L"\\Device Parameters";
}

}  // namespace harness
