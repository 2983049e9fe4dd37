// Per-user default printer: the queue becomes the Device value of every profile
// loaded under HKEY_USERS that lists it under its Devices key.
#include "defaultprinter.h"

#include "../trace/trace.h"
#include "text.h"

#include <cstddef>
#include <iterator>

namespace {

constexpr WCHAR kDevicesKeyFormat[] = L"%s\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
constexpr WCHAR kWindowsKeyFormat[] = L"%s\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
constexpr std::size_t kUserKeyPrefixUnits = 3;  // "%s\" before the path of the current user's key
constexpr WCHAR kDeviceValue[] = L"Device";

// The walk hands GetFullPrinterName this capacity, counted in bytes.
constexpr DWORD kFullPrinterNameBytes = MAX_PATH;

constexpr std::size_t kProfileKeyFixedUnits = std::size(kDevicesKeyFormat) - 1 - 2;
constexpr std::size_t kMaxUserKeyUnits = MAX_PATH - kProfileKeyFixedUnits - 1;
static_assert(std::size(kWindowsKeyFormat) == std::size(kDevicesKeyFormat), "both paths are 53 fixed units");
static_assert(kProfileKeyFixedUnits == 53 && kMaxUserKeyUnits == 206,
              "a user key name of at most 206 units fits a profile key path");

// Forms the profile's key path from `format` in `keyPath` (MAX_PATH units, zeroed):
// under HKEY_USERS with a user key, under HKEY_CURRENT_USER without one. Returns
// false, forming nothing, when the user key name does not fit the path.
bool FormProfileKeyPath(WCHAR *keyPath, const WCHAR *format, const WCHAR *strUserKey, HKEY *root)
{
    bool formed = true;
    if (strUserKey == nullptr) {
        text::Copy(keyPath, format + kUserKeyPrefixUnits);
        // cppcheck-suppress cstyleCast ; HKEY_CURRENT_USER is the platform's macro, a C-style cast
        *root = HKEY_CURRENT_USER;
    } else if (text::LengthWithin(strUserKey, kMaxUserKeyUnits + 1) > kMaxUserKeyUnits) {
        formed = false;
    } else {
        wsprintfW(keyPath, format, strUserKey);
        // cppcheck-suppress cstyleCast ; HKEY_USERS is the platform's macro, a C-style cast
        *root = HKEY_USERS;
    }
    return formed;
}

// Copies the queue name and a comma to the start of `strFullPrinterName`, terminated;
// returns how many units they take. The caller has made sure they fit.
std::size_t CopyNameAndComma(WCHAR *strFullPrinterName, const WCHAR *strPrinter)
{
    text::Copy(strFullPrinterName, strPrinter);
    // cppcheck-suppress lstrlenWCalled ; text::Copy has just terminated it
    const std::size_t length = static_cast<std::size_t>(lstrlenW(strFullPrinterName));
    strFullPrinterName[length] = L',';
    strFullPrinterName[length + 1] = L'\0';
    return length + 1;
}

// Reads the profile's Devices entry for the queue into `entry` (`cbEntry` bytes) and
// terminates it there. The entry must end within what was written: data stored
// without a zero is ended behind it, and data that fills every byte of `entry`
// without one does not fit (ERROR_MORE_DATA).
DWORD ReadDevicesEntry(HKEY devicesKey, const WCHAR *strPrinter, WCHAR *entry, DWORD cbEntry)
{
    DWORD type = REG_SZ;
    DWORD size = cbEntry;
    DWORD status =
        RegQueryValueExW(devicesKey, strPrinter, nullptr, &type, reinterpret_cast<BYTE *>(entry), &size);
    if (status == ERROR_SUCCESS) {
        const std::size_t roomUnits = cbEntry / sizeof(WCHAR);
        const std::size_t written = (size < cbEntry ? size : cbEntry) / sizeof(WCHAR);
        const std::size_t entryLength = text::LengthWithin(entry, written);
        if (entryLength < roomUnits) {
            entry[entryLength] = L'\0';
        } else {
            status = ERROR_MORE_DATA;
        }
    }
    return status;
}

}  // namespace

void SetDefaultPrinterForAllUsers(const WCHAR *strPrinter)
{
    HKEY usersKey = nullptr;

    // cppcheck-suppress cstyleCast ; HKEY_USERS is the platform's macro, a C-style cast
    const LONG opened = RegOpenKeyExW(HKEY_USERS, nullptr, 0, KEY_ENUMERATE_SUB_KEYS, &usersKey);
    if (opened != ERROR_SUCCESS) {
        TraceMessage(L"RegOpenKeyEx(HKEY_USERS) : failed. GetLastError() = %d\n", opened);
    } else {
        for (DWORD index = 0;; ++index) {
            WCHAR strUserKey[MAX_PATH];
            WCHAR strFullPrinterName[MAX_PATH];
            DWORD capacity = MAX_PATH;
            FILETIME lastWriteTime;
            const LONG result = RegEnumKeyExW(usersKey, index, strUserKey, &capacity, nullptr, nullptr,
                                              nullptr, &lastWriteTime);
            if (result != ERROR_SUCCESS) {
                // ERROR_NO_MORE_ITEMS after the last profile is the walk's normal end.
                TraceMessage(L"RegEnumKeyEx(%d) : failed. GetLastError() = %d\n", index, result);
                break;
            }
            strUserKey[capacity < MAX_PATH ? capacity : MAX_PATH - 1] = L'\0';

            TraceMessage(L"%s\n===========================================\n", strUserKey);
            if (GetFullPrinterName(strFullPrinterName, kFullPrinterNameBytes, strPrinter, strUserKey) ==
                ERROR_SUCCESS) {
                TraceMessage(L"%s\n", strFullPrinterName);
                SetDefaultPrinterInRegistry(strFullPrinterName, strUserKey);
            }
            TraceMessage(L"\n");
        }
        RegCloseKey(usersKey);
    }
}

DWORD GetFullPrinterName(WCHAR *strFullPrinterName, DWORD cbFullPrinterName, const WCHAR *strPrinter,
                         const WCHAR *strUserKey)
{
    WCHAR keyPath[MAX_PATH] = {};
    HKEY key = nullptr;
    HKEY root = nullptr;
    DWORD status = ERROR_SUCCESS;

    if (strPrinter == nullptr) {
        TraceMessage(L"GetFullPrinterName() : strPrinter is NULL\n");
        status = ERROR_INVALID_PARAMETER;
        // cppcheck-suppress lstrlenWCalled ; the queue name comes terminated from the spooler
    } else if (cbFullPrinterName < 2ULL * static_cast<unsigned>(lstrlenW(strPrinter)) + 4) {
        // No room for the name, its comma and the terminator.
        status = ERROR_INSUFFICIENT_BUFFER;
    } else if (!FormProfileKeyPath(keyPath, kDevicesKeyFormat, strUserKey, &root)) {
        status = ERROR_INSUFFICIENT_BUFFER;
        TraceMessage(L"GetFullPrinterName(%s) : user key name too long. GetLastError() = %d\n", strPrinter,
                     status);
    } else {
        const std::size_t nameLength = CopyNameAndComma(strFullPrinterName, strPrinter);
        status = RegOpenKeyExW(root, keyPath, 0, KEY_QUERY_VALUE, &key);
        if (status != ERROR_SUCCESS) {
            TraceMessage(L"GetFullPrinterName(%s) : RegOpenKeyEx(%s) : failed. GetLastError() = %d\n",
                         strPrinter, keyPath, status);
            key = nullptr;
        } else {
            // The entry lands directly behind the comma, in the bytes left there.
            const DWORD bytesLeft = cbFullPrinterName - static_cast<DWORD>(nameLength * sizeof(WCHAR));
            status = ReadDevicesEntry(key, strPrinter, strFullPrinterName + nameLength, bytesLeft);
            if (status != ERROR_SUCCESS) {
                TraceMessage(L"GetFullPrinterName(%s) : RegQueryValueEx() : failed. GetLastError() = %d",
                             strPrinter, status);
            }
        }
    }

    if (key != nullptr) {
        RegCloseKey(key);
    }
    return status;
}

DWORD SetDefaultPrinterInRegistry(const WCHAR *strFullPrinterName, const WCHAR *strUserKey)
{
    WCHAR keyPath[MAX_PATH] = {};
    HKEY key = nullptr;
    HKEY root = nullptr;
    DWORD status = ERROR_SUCCESS;

    if (strFullPrinterName == nullptr) {
        TraceMessage(L"SetDefaultPrinterInRegistry() : strFullPrinterName is NULL\n");
        status = ERROR_INVALID_PARAMETER;
    } else if (!FormProfileKeyPath(keyPath, kWindowsKeyFormat, strUserKey, &root)) {
        status = ERROR_INSUFFICIENT_BUFFER;
        TraceMessage(L"SetDefaultPrinterInRegistry(%s) : user key name too long. GetLastError() = %d\n",
                     strFullPrinterName, status);
    } else {
        status = RegOpenKeyExW(root, keyPath, 0, KEY_SET_VALUE, &key);
        if (status != ERROR_SUCCESS) {
            TraceMessage(L"SetDefaultPrinterInRegistry(%s) : RegOpenKeyEx() : failed. GetLastError() = %d",
                         strFullPrinterName, status);
            key = nullptr;
        } else {
            // cppcheck-suppress lstrlenWCalled ; GetFullPrinterName terminated it within its buffer
            const DWORD bytes = static_cast<DWORD>((lstrlenW(strFullPrinterName) + 1) * sizeof(WCHAR));
            status = RegSetValueExW(key, kDeviceValue, 0, REG_SZ,
                                    reinterpret_cast<const BYTE *>(strFullPrinterName), bytes);
            if (status != ERROR_SUCCESS) {
                TraceMessage(
                    L"SetDefaultPrinterInRegistry(%s) : RegSetValueEx() : failed. GetLastError() = %d",
                    strFullPrinterName, status);
            }
        }
    }

    if (key != nullptr) {
        RegCloseKey(key);
    }
    return status;
}
