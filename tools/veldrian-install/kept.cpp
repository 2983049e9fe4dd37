#include "kept.h"

#include "win32/names.h"
#include "win32/printers.h"

#include <setupapi.h>

namespace host {

namespace {

const wchar_t kRecordPath[] = L"Software\\VELDRIAN\\veldrian-install\\Kept";
const wchar_t *const kRecordParents[] = {L"Software\\VELDRIAN\\veldrian-install", L"Software\\VELDRIAN"};
const wchar_t kDeviceValuesPath[] = L"Software\\VELDRIAN\\veldrian-install\\Kept\\Device values";

std::vector<std::wstring> ReadList(const wchar_t *name)
{
    return MultiString(HKEY_LOCAL_MACHINE, kRecordPath, name);
}

std::wstring ReadText(const wchar_t *name)
{
    return ReadString(HKEY_LOCAL_MACHINE, kRecordPath, name).value_or(L"");
}

bool RemoveDevice(const std::wstring &instanceId)
{
    HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof(device);
    bool removed = false;
    if (SetupDiOpenDeviceInfoW(set, instanceId.c_str(), nullptr, 0, &device)) {
        SetLastError(NO_ERROR);
        removed = SetupDiCallClassInstaller(DIF_REMOVE, set, &device) != FALSE ||
                  SetupDiRemoveDevice(set, &device) != FALSE;
    }
    SetupDiDestroyDeviceInfoList(set);
    return removed && !KeyExists(HKEY_LOCAL_MACHINE, win32::kEnumPath + instanceId);
}

bool RemoveQueue(const std::wstring &name)
{
    win32::DeleteQueue(name);
    // The spooler's listing of the queue for the current user goes with it.
    for (const wchar_t *path : {win32::kDevicesPath, win32::kPrinterPortsPath}) {
        win32::DeleteValue(HKEY_CURRENT_USER, path, name);
    }
    return !win32::QueueExists(name);
}

// The Device values of the earlier profiles, as they were before the kept run.
std::vector<SavedValue> ReadDeviceValues()
{
    std::vector<SavedValue> values;
    for (const std::wstring &profile : ReadList(L"ProfilesWithoutDevice")) {
        values.push_back(
            SavedValue{HKEY_USERS, profile + L"\\" + win32::kWindowsPath, L"Device", std::nullopt});
    }
    const win32::RegSnapshot stored = win32::SnapshotTree(HKEY_LOCAL_MACHINE, kDeviceValuesPath);
    if (const auto key = stored.find(kDeviceValuesPath); key != stored.end()) {
        for (const auto &[profile, value] : key->second) {
            values.push_back(SavedValue{HKEY_USERS, profile + L"\\" + win32::kWindowsPath, L"Device", value});
        }
    }
    return values;
}

void RemoveRecord()
{
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kRecordPath);
    for (const wchar_t *parent : kRecordParents) {
        if (SubkeyNames(HKEY_LOCAL_MACHINE, parent).empty()) {
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, parent);
        }
    }
}

}  // namespace

bool RecordKeptRun(const KeptRun &kept, std::wstring *error)
{
    auto text = [](const wchar_t *name, const std::wstring &value) {
        return WriteString(HKEY_LOCAL_MACHINE, kRecordPath, name, value);
    };
    auto list = [](const wchar_t *name, const std::vector<std::wstring> &items) {
        return win32::WriteValue(HKEY_LOCAL_MACHINE, kRecordPath, name, win32::MultiStringValue(items));
    };
    bool ok = text(L"Device", kept.instanceId) && text(L"Queue", kept.queue) &&
              text(L"Driver", kept.driver) && list(L"Profiles", kept.profiles) && list(L"Files", kept.files);
    if (kept.earlierSystemDll.existed && kept.earlierSystemDll.complete) {
        const auto *bytes = reinterpret_cast<const BYTE *>(kept.earlierSystemDll.data.data());
        ok = ok && text(L"EarlierSystemDllPath", kept.earlierSystemDll.path) &&
             win32::WriteValue(
                 HKEY_LOCAL_MACHINE, kRecordPath, L"EarlierSystemDll",
                 win32::RegValue{REG_BINARY,
                                 std::vector<BYTE>(bytes, bytes + kept.earlierSystemDll.data.size())});
    }
    std::vector<std::wstring> withoutDevice;
    ok = ok && win32::CreateKey(HKEY_LOCAL_MACHINE, kDeviceValuesPath);
    for (const SavedValue &value : kept.deviceValues) {
        const std::wstring profile = value.path.substr(0, value.path.find(L'\\'));
        if (value.value) {
            ok = ok && win32::WriteValue(HKEY_LOCAL_MACHINE, kDeviceValuesPath, profile, *value.value);
        } else {
            withoutDevice.push_back(profile);
        }
    }
    ok = ok && list(L"ProfilesWithoutDevice", withoutDevice);
    if (!ok) {
        *error = L"cannot record the kept run under HKEY_LOCAL_MACHINE\\" + std::wstring(kRecordPath);
    }
    return ok;
}

std::wstring DescribeKeptRun()
{
    if (!KeyExists(HKEY_LOCAL_MACHINE, kRecordPath)) {
        return L"";
    }
    const std::wstring queue = ReadText(L"Queue");
    return L"an earlier --keep run left its installation in this Wine prefix (device " + ReadText(L"Device") +
           (queue.empty() ? L"" : L", queue \"" + queue + L"\"") + L"): run with --clean first to remove it";
}

int CleanKeptRun(Console &console)
{
    if (!KeyExists(HKEY_LOCAL_MACHINE, kRecordPath)) {
        console.line(
            L"veldrian-install --clean: no kept run is recorded in this Wine prefix; nothing to remove");
        return 0;
    }
    console.line(L"veldrian-install --clean: removing what an earlier --keep run left");
    bool complete = true;
    auto report = [&](bool done, const std::wstring &what) {
        console.line((done ? L"  removed " : L"  could not remove ") + what);
        complete = complete && done;
    };
    const std::wstring instanceId = ReadText(L"Device");
    if (!instanceId.empty()) {
        report(RemoveDevice(instanceId), L"the device " + instanceId);
    }
    if (const std::wstring queue = ReadText(L"Queue"); !queue.empty()) {
        report(RemoveQueue(queue), L"the print queue \"" + queue + L"\"");
    }
    if (const std::wstring driver = ReadText(L"Driver"); !driver.empty()) {
        report(win32::RemovePrinterDriver(driver), L"the printer driver \"" + driver + L"\"");
    }
    for (const std::wstring &profile : ReadList(L"Profiles")) {
        report(DeleteKeyTree(HKEY_USERS, profile), L"the profile HKEY_USERS\\" + profile);
    }
    for (const SavedValue &value : ReadDeviceValues()) {
        if (SaveValue(value.root, value.path, value.name).value != value.value) {
            RestoreValue(value);
            console.line(L"  put back the Device value of " + value.path.substr(0, value.path.find(L'\\')));
        }
    }
    for (const std::wstring &file : ReadList(L"Files")) {
        SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        report(DeleteFileW(file.c_str()) != FALSE || GetLastError() == ERROR_FILE_NOT_FOUND, file);
    }
    if (const std::wstring path = ReadText(L"EarlierSystemDllPath"); !path.empty()) {
        SavedFile earlier;
        earlier.path = path;
        earlier.existed = true;
        const SavedValue bytes = SaveValue(HKEY_LOCAL_MACHINE, kRecordPath, L"EarlierSystemDll");
        earlier.complete = bytes.value.has_value();
        if (bytes.value) {
            earlier.data.assign(bytes.value->data.begin(), bytes.value->data.end());
        }
        earlier.attributes = FILE_ATTRIBUTE_NORMAL;
        GetSystemTimeAsFileTime(&earlier.written);
        earlier.created = earlier.accessed = earlier.written;
        const bool restored = RestoreFile(earlier);
        console.line((restored ? L"  put back the earlier " : L"  could not put back the earlier ") + path);
        complete = complete && restored;
    }
    if (complete) {
        RemoveRecord();
        console.line(L"  the record of the kept run is removed: the prefix is as before that run");
    } else {
        console.line(L"  the record of the kept run stays, so that --clean can be tried again");
    }
    return complete ? 0 : 1;
}

}  // namespace host
