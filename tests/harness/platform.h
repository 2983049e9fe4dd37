// Real platform fixtures for the tests: registry keys and snapshots, print queues,
// printer devices with a driver selected from an INF. Everything a helper makes,
// the test removes again, so the Wine prefix is left as it was found.
#pragma once

#include "win32/names.h"
#include "win32/printers.h"
#include "win32/registry.h"

#include <windows.h>
#include <setupapi.h>

#include <map>
#include <string>
#include <vector>

namespace harness {

// ---- Registry (the shared helpers of tools/win32, in the tests' words) ----
using win32::RegSnapshot;
using win32::RegValue;

inline RegSnapshot Snapshot(HKEY root, const std::wstring &path = L"")
{
    return win32::SnapshotTree(root, path);
}
// The differences of two snapshots, one line each, for a readable assertion.
std::vector<std::wstring> Diff(const RegSnapshot &before, const RegSnapshot &after);

using win32::CreateKey;
using win32::DeleteKeyTree;
using win32::DeleteValue;
using win32::KeyExists;
using win32::StringOf;  // REG_SZ data up to its terminator
using win32::SubkeyNames;
inline bool SetValue(HKEY root, const std::wstring &path, const std::wstring &name, DWORD type,
                     const void *data, DWORD bytes)
{
    const auto *start = static_cast<const BYTE *>(data);
    return win32::WriteValue(root, path, name, RegValue{type, std::vector<BYTE>(start, start + bytes)});
}
inline bool SetString(HKEY root, const std::wstring &path, const std::wstring &name, const std::wstring &text)
{
    return win32::WriteString(root, path, name, text);
}
inline bool ValueExists(HKEY root, const std::wstring &path, const std::wstring &name)
{
    return win32::ReadValue(root, path, name).has_value();
}
// The value, or type 0 and no data when it does not exist.
inline RegValue GetValue(HKEY root, const std::wstring &path, const std::wstring &name)
{
    return win32::ReadValue(root, path, name).value_or(RegValue{});
}

// The current user's profile key under HKEY_USERS (its SID as text).
std::wstring CurrentUserKey();
// The deepest existing key of `path` below HKEY_USERS: restoring from there also
// takes away the keys above it that a setup has to create.
std::wstring ExistingAncestor(const std::wstring &path);

// The profile keys below HKEY_USERS\<profile>.
using win32::kDevicesPath;  // Software\Microsoft\Windows NT\CurrentVersion\Devices
using win32::kWindowsPath;  // Software\Microsoft\Windows NT\CurrentVersion\Windows

// A profile key made directly under HKEY_USERS, deleted with everything below it
// when it goes out of scope.
class ScopedProfile {
public:
    // devicesEntry null: no Devices key; withWindows: whether the Windows key exists.
    ScopedProfile(const std::wstring &name, const std::wstring &printer, const wchar_t *devicesEntry,
                  bool withWindows = true);
    ~ScopedProfile();
    ScopedProfile(const ScopedProfile &) = delete;
    ScopedProfile &operator=(const ScopedProfile &) = delete;
    const std::wstring &name() const { return name_; }
    std::wstring devicesPath() const { return name_ + L"\\" + kDevicesPath; }
    std::wstring windowsPath() const { return name_ + L"\\" + kWindowsPath; }
    RegValue device() const { return GetValue(HKEY_USERS, windowsPath(), L"Device"); }

private:
    std::wstring name_;
};

// The current user's Windows key, which every Windows profile has and a new Wine prefix
// makes only on first use: made when it is missing, and deleted again when it goes
// out of scope if it was made here.
class CurrentUserWindowsKey {
public:
    CurrentUserWindowsKey();
    ~CurrentUserWindowsKey();
    CurrentUserWindowsKey(const CurrentUserWindowsKey &) = delete;
    CurrentUserWindowsKey &operator=(const CurrentUserWindowsKey &) = delete;
    bool exists() const { return exists_; }

private:
    bool exists_ = false;
    bool made_ = false;
};

// Saves a whole key tree and puts it back as it was when it goes out of scope.
class ScopedKeyRestore {
public:
    ScopedKeyRestore(HKEY root, const std::wstring &path);
    ~ScopedKeyRestore();
    ScopedKeyRestore(const ScopedKeyRestore &) = delete;
    ScopedKeyRestore &operator=(const ScopedKeyRestore &) = delete;

private:
    HKEY root_;
    std::wstring path_;
    RegSnapshot saved_;
};

// ---- Spooler ----
// A print queue made with AddPrinterW on a driver made with AddPrinterDriverExW
// (every file of the driver is Wine's PostScript driver). Removed with its driver,
// and the current user's entries the spooler wrote for it, when it goes out of scope.
class ScopedPrinter {
public:
    ScopedPrinter(const std::wstring &name, const std::wstring &driver, const std::wstring &port);
    ~ScopedPrinter();
    ScopedPrinter(const ScopedPrinter &) = delete;
    ScopedPrinter &operator=(const ScopedPrinter &) = delete;
    bool ok() const { return ok_; }
    DWORD error() const { return error_; }
    const std::wstring &name() const { return name_; }

private:
    std::wstring name_;
    std::wstring driver_;
    bool ok_ = false;
    DWORD error_ = 0;
};

using win32::EnumQueues;
using win32::QueueInfo;

// ---- SetupAPI ----
std::wstring TempDirectory();
// Writes UTF-16 LE text with a byte order mark (the form SetupAPI reads any INF in).
bool WriteUtf16File(const std::wstring &path, const std::wstring &text);

// An INF of the Printer class with one model per (model name, hardware ID, port).
struct InfModel {
    std::wstring name;
    std::wstring hardwareId;
    std::wstring port;  // written to the device's PortName by the model's .HW section; empty: none
};
std::wstring PrinterInf(const std::vector<InfModel> &models);

// A printer device in a device information set of its own, its driver selected
// from an INF (and installed, when asked, so that its Device Parameters key and
// PortName exist). Removed from the registry when it goes out of scope.
class ScopedDevice {
public:
    ScopedDevice(const std::wstring &inf, const std::wstring &hardwareId, bool install);
    ~ScopedDevice();
    ScopedDevice(const ScopedDevice &) = delete;
    ScopedDevice &operator=(const ScopedDevice &) = delete;

    bool ok() const { return ok_; }
    std::string failure() const { return failure_; }
    HDEVINFO set() const { return set_; }
    SP_DEVINFO_DATA *data() { return &data_; }
    const std::wstring &instanceId() const { return instanceId_; }
    std::wstring parametersPath() const;  // below HKEY_LOCAL_MACHINE

private:
    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA data_{};
    std::wstring instanceId_;
    std::wstring infPath_;
    bool ok_ = false;
    std::string failure_;
};

}  // namespace harness
