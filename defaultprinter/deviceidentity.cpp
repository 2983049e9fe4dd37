// Installed device identity: the selected driver's model name and the device's port.
#include "defaultprinter.h"

#include "../installer/trace.h"
#include "text.h"

#include <cstddef>
#include <iterator>

namespace {

static_assert(sizeof(SP_DRVINFO_DATA_V2_W) == 1568, "driver record of 64-bit Windows");

constexpr WCHAR kDeviceKeyFormat[] = L"SYSTEM\\CurrentControlSet\\Enum\\%s\\Device Parameters";
constexpr WCHAR kPortNameValue[] = L"PortName";

// The path buffer holds the 48 fixed units, the instance ID and a terminator.
constexpr std::size_t kDeviceKeyFixedUnits = std::size(kDeviceKeyFormat) - 1 - 2;
constexpr std::size_t kMaxInstanceIdUnits = MAX_PATH - kDeviceKeyFixedUnits - 1;
static_assert(kDeviceKeyFixedUnits == 48 && kMaxInstanceIdUnits == 211,
              "an instance ID of at most 211 units fits the device key path");

// Makes the port name in `*block` (blockBytes long, `dataBytes` of it written by the
// registry) a terminated text that ends within what was written. Data stored with a
// zero keeps its block; data stored without one moves to a block one unit larger.
// Returns a status; on failure the block is freed and *block is null.
DWORD TerminatePortName(WCHAR **block, DWORD blockBytes, DWORD dataBytes)
{
    DWORD status = NO_ERROR;
    WCHAR *portName = *block;
    const std::size_t written = (dataBytes < blockBytes ? dataBytes : blockBytes) / sizeof(WCHAR);
    const std::size_t length = text::LengthWithin(portName, written);

    if (length < written) {
        // Terminated within the data, as the registry normally stores it.
    } else if ((length + 1) * sizeof(WCHAR) <= blockBytes) {
        portName[length] = L'\0';
    } else {
        const SIZE_T bytes = (length + 1) * sizeof(WCHAR);
        auto *terminated = static_cast<WCHAR *>(GlobalAlloc(GMEM_FIXED, bytes));
        if (terminated == nullptr) {
            status = GetLastError();
            TraceMessage(L"GlobalAlloc(GMEM_FIXED, %d) failed. GetLastError() = %d\n",
                         static_cast<DWORD>(bytes), status);
        } else {
            for (std::size_t index = 0; index < length; ++index) {
                terminated[index] = portName[index];
            }
            terminated[length] = L'\0';
        }
        GlobalFree(portName);
        *block = terminated;
    }
    return status;
}

}  // namespace

DWORD GetPrinterModelName(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, WCHAR *strModelName)
{
    DWORD status = NO_ERROR;
    SP_DRVINFO_DATA_V2_W driverInfo = {};
    driverInfo.cbSize = sizeof(driverInfo);

    if (!SetupDiGetSelectedDriverW(DeviceInfoSet, DeviceInfoData, &driverInfo)) {
        status = GetLastError();
        TraceMessage(L"GetPrinterModelName() : SetupDiGetSelectedDriver() failed. GetLastError() = %d\n",
                     status);
    } else {
        // Description holds at most LINE_LEN units; the copy stays within them.
        text::CopyWithin(strModelName, driverInfo.Description, std::size(driverInfo.Description));
        TraceMessage(L"GetPrinterModelName() : Model Name = \"%s\"\n", strModelName);
    }
    return status;
}

DWORD GetPrinterPortName(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, WCHAR **strPortName)
{
    DWORD status = NO_ERROR;
    DWORD RequiredSize = 0;
    WCHAR *instanceId = nullptr;
    WCHAR deviceKeyPath[MAX_PATH] = {};
    bool havePath = false;
    WCHAR *portName = nullptr;

    if (!SetupDiGetDeviceInstanceIdW(DeviceInfoSet, DeviceInfoData, nullptr, 0, &RequiredSize)) {
        const DWORD code = GetLastError();
        if (code != NO_ERROR && code != ERROR_INSUFFICIENT_BUFFER) {
            TraceMessage(L"SetupDiGetDeviceInstanceId(0) failed. GetLastError() = %d\n", code);
            status = code;
        }
    }

    if (status == NO_ERROR && RequiredSize != 0) {
        // One unit more than reported, so the ID always ends within the block.
        const SIZE_T bytes = (static_cast<SIZE_T>(RequiredSize) + 1) * sizeof(WCHAR);
        instanceId = static_cast<WCHAR *>(GlobalAlloc(GMEM_FIXED, bytes));
        if (instanceId == nullptr) {
            const DWORD code = GetLastError();
            TraceMessage(L"GlobalAlloc(GMEM_FIXED, %d) failed. GetLastError() = %d\n",
                         static_cast<DWORD>(bytes), code);
            status = code;
        }
    }

    if (status == NO_ERROR) {
        // Without a block (an allocation that failed with a last-error of 0) there is
        // no room at all: a null buffer is never passed with a capacity.
        const DWORD capacity = instanceId != nullptr ? RequiredSize : 0;
        if (!SetupDiGetDeviceInstanceIdW(DeviceInfoSet, DeviceInfoData, instanceId, capacity, nullptr)) {
            status = GetLastError();
            TraceMessage(L"SetupDiGetDeviceInstanceId(%d) failed. GetLastError() = %d\n", RequiredSize,
                         status);
        } else if (instanceId != nullptr) {
            instanceId[RequiredSize] = L'\0';
            TraceMessage(L"Device Instance ID = %s\n", instanceId);
            const std::size_t length = text::LengthWithin(instanceId, RequiredSize);
            if (length > kMaxInstanceIdUnits) {
                status = ERROR_INSUFFICIENT_BUFFER;
                TraceMessage(L"Device Instance ID too long (%d). GetLastError() = %d\n",
                             static_cast<DWORD>(length), status);
            } else {
                wsprintfW(deviceKeyPath, kDeviceKeyFormat, instanceId);
                havePath = true;
            }
        }
    }

    if (instanceId != nullptr) {
        GlobalFree(instanceId);
    }

    // Without an ID (a query that failed with a last-error of 0) there is no key
    // path: the port stays unknown and no queue can match it.
    if (status == NO_ERROR && havePath) {
        HKEY deviceKey = nullptr;
        // cppcheck-suppress cstyleCast ; HKEY_LOCAL_MACHINE is the platform's macro, a C-style cast
        status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, deviceKeyPath, 0, KEY_READ, &deviceKey);
        if (status != ERROR_SUCCESS) {
            TraceMessage(L"RegOpenKeyEx(%s) failed. GetLastError() = %d\n", deviceKeyPath, status);
        } else {
            DWORD type = 0;
            DWORD size = 0;
            status = RegQueryValueExW(deviceKey, kPortNameValue, nullptr, &type, nullptr, &size);
            if (status != ERROR_SUCCESS && status != ERROR_MORE_DATA) {
                TraceMessage(L"RegQueryValueEx(0) failed. GetLastError() = %d\n", status);
            } else {
                status = NO_ERROR;
                const DWORD blockBytes = size;
                if (size != 0) {
                    portName = static_cast<WCHAR *>(GlobalAlloc(GMEM_FIXED, size));
                    if (portName == nullptr) {
                        const DWORD code = GetLastError();
                        TraceMessage(L"GlobalAlloc(GMEM_FIXED, %d) failed. GetLastError() = %d\n", size,
                                     code);
                        status = code;
                    }
                }
                if (status == NO_ERROR) {
                    type = 0;
                    status = RegQueryValueExW(deviceKey, kPortNameValue, nullptr, &type,
                                              reinterpret_cast<BYTE *>(portName), &size);
                    if (status != ERROR_SUCCESS) {
                        TraceMessage(L"RegQueryValueEx(1) failed. GetLastError() = %d\n", status);
                    } else if (portName != nullptr) {
                        status = TerminatePortName(&portName, blockBytes, size);
                    }
                    if (status == NO_ERROR) {
                        TraceMessage(L"PortName = %s\n", portName);
                    }
                }
            }
            RegCloseKey(deviceKey);
        }
    }

    *strPortName = portName;
    return status;
}
