#include "win32/names.h"

namespace win32 {

const GUID kPrinterClass = {0x4D36E979, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const wchar_t kPrinterClassText[] = L"{4D36E979-E325-11CE-BFC1-08002BE10318}";

const wchar_t kEnumPath[] = L"SYSTEM\\CurrentControlSet\\Enum\\";
const wchar_t kClassPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\";
const wchar_t kPrinterClassPath[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E979-E325-11CE-BFC1-08002BE10318}";
const wchar_t kPrintPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Print";
const wchar_t kCoDeviceInstallersPath[] = L"SYSTEM\\CurrentControlSet\\Control\\CoDeviceInstallers";

const wchar_t kCurrentVersionPath[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t kDevicesPath[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
const wchar_t kPrinterPortsPath[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\PrinterPorts";
const wchar_t kWindowsPath[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";

const wchar_t kEnvironment[] = L"Windows x64";

}  // namespace win32
