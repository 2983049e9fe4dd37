// Installed device identity: the selected driver's model name and the device's port.
#include "defaultprinter.h"

#include "../trace/trace.h"
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

// Takes a block of `bytes` into *block, tracing a failure. Returns the last-error
// of a failed allocation, which may be 0: the caller then goes on without a block.
DWORD AllocateBlock(SIZE_T bytes, WCHAR **block)
{
    DWORD status = NO_ERROR;
    *block = static_cast<WCHAR *>(GlobalAlloc(GMEM_FIXED, bytes));
    if (*block == nullptr) {
        status = GetLastError();
        TraceMessage(L"GlobalAlloc(GMEM_FIXED, %d) failed. GetLastError() = %d\n", static_cast<DWORD>(bytes),
                     status);
    }
    return status;
}

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
        WCHAR *terminated = nullptr;
        status = AllocateBlock((length + 1) * sizeof(WCHAR), &terminated);
        if (terminated != nullptr) {
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

// The size probe of the instance ID: 0 or 122 is its normal answer.
DWORD ProbeInstanceId(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD *RequiredSize)
{
    DWORD status = NO_ERROR;
    if (!SetupDiGetDeviceInstanceIdW(DeviceInfoSet, DeviceInfoData, nullptr, 0, RequiredSize)) {
        const DWORD code = GetLastError();
        if (code != NO_ERROR && code != ERROR_INSUFFICIENT_BUFFER) {
            TraceMessage(L"SetupDiGetDeviceInstanceId(0) failed. GetLastError() = %d\n", code);
            status = code;
        }
    }
    return status;
}

// Forms the device key path from the instance ID (RequiredSize units in its block,
// which has room for one more): an ID too long for the path forms none.
DWORD FormDeviceKeyPath(WCHAR *instanceId, DWORD RequiredSize, WCHAR *deviceKeyPath)
{
    DWORD status = NO_ERROR;
    instanceId[RequiredSize] = L'\0';
    TraceMessage(L"Device Instance ID = %s\n", instanceId);
    const std::size_t length = text::LengthWithin(instanceId, RequiredSize);
    if (length > kMaxInstanceIdUnits) {
        status = ERROR_INSUFFICIENT_BUFFER;
        TraceMessage(L"Device Instance ID too long (%d). GetLastError() = %d\n", static_cast<DWORD>(length),
                     status);
    } else {
        wsprintfW(deviceKeyPath, kDeviceKeyFormat, instanceId);
    }
    return status;
}

// Reads the device's instance ID into a block of its own and forms the device key
// path from it in `deviceKeyPath` (MAX_PATH units, zeroed), freeing the block.
// Without an ID (a query that failed with a last-error of 0) the path stays empty.
DWORD GetDeviceKeyPath(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, WCHAR *deviceKeyPath)
{
    DWORD RequiredSize = 0;
    WCHAR *instanceId = nullptr;

    DWORD status = ProbeInstanceId(DeviceInfoSet, DeviceInfoData, &RequiredSize);
    if (status == NO_ERROR && RequiredSize != 0) {
        // One unit more than reported, so the ID always ends within the block.
        status = AllocateBlock((static_cast<SIZE_T>(RequiredSize) + 1) * sizeof(WCHAR), &instanceId);
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
            status = FormDeviceKeyPath(instanceId, RequiredSize, deviceKeyPath);
        }
    }

    if (instanceId != nullptr) {
        GlobalFree(instanceId);
    }
    return status;
}

// The size probe of PortName: 0 or 234 is its normal answer.
DWORD ProbePortName(HKEY deviceKey, DWORD *size)
{
    DWORD type = 0;
    DWORD status = RegQueryValueExW(deviceKey, kPortNameValue, nullptr, &type, nullptr, size);
    if (status == ERROR_MORE_DATA) {
        status = NO_ERROR;
    } else if (status != ERROR_SUCCESS) {
        TraceMessage(L"RegQueryValueEx(0) failed. GetLastError() = %d\n", status);
    }
    return status;
}

// Reads PortName from the device key at `deviceKeyPath` into a block of its size,
// handed over through strPortName (null when none was taken), closing the key.
DWORD ReadPortName(const WCHAR *deviceKeyPath, WCHAR **strPortName)
{
    HKEY deviceKey = nullptr;
    WCHAR *portName = nullptr;
    DWORD size = 0;

    // cppcheck-suppress cstyleCast ; HKEY_LOCAL_MACHINE is the platform's macro, a C-style cast
    DWORD status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, deviceKeyPath, 0, KEY_READ, &deviceKey);
    if (status != ERROR_SUCCESS) {
        TraceMessage(L"RegOpenKeyEx(%s) failed. GetLastError() = %d\n", deviceKeyPath, status);
        deviceKey = nullptr;
    } else {
        status = ProbePortName(deviceKey, &size);
    }
    if (status == NO_ERROR && size != 0) {
        status = AllocateBlock(size, &portName);
    }
    if (status == NO_ERROR) {
        const DWORD blockBytes = size;
        DWORD type = 0;
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

    if (deviceKey != nullptr) {
        RegCloseKey(deviceKey);
    }
    *strPortName = portName;
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
    WCHAR deviceKeyPath[MAX_PATH] = {};
    *strPortName = nullptr;

    DWORD status = GetDeviceKeyPath(DeviceInfoSet, DeviceInfoData, deviceKeyPath);
    // Without an ID (a query that failed with a last-error of 0) there is no key
    // path: the port stays unknown and no queue can match it.
    if (status == NO_ERROR && deviceKeyPath[0] != L'\0') {
        status = ReadPortName(deviceKeyPath, strPortName);
    }
    return status;
}
