// The platform's names that the tools and tests use: the Printer device class, and
// the registry paths of devices, classes and a profile's printer settings.
#pragma once

#include <windows.h>

namespace win32 {

// The Printer device setup class, {4D36E979-E325-11CE-BFC1-08002BE10318}.
extern const GUID kPrinterClass;
extern const wchar_t kPrinterClassText[];

// Under HKEY_LOCAL_MACHINE.
extern const wchar_t kEnumPath[];          // SYSTEM\CurrentControlSet\Enum\ (a device's instance ID follows)
extern const wchar_t kClassPath[];         // SYSTEM\CurrentControlSet\Control\Class\ (a class GUID follows)
extern const wchar_t kPrinterClassPath[];  // the Printer class's key
extern const wchar_t kPrintPath[];         // SYSTEM\CurrentControlSet\Control\Print
extern const wchar_t kCoDeviceInstallersPath[];  // SYSTEM\CurrentControlSet\Control\CoDeviceInstallers

// Under a profile's key (or HKEY_CURRENT_USER).
extern const wchar_t
    kCurrentVersionPath[];  // Software\Microsoft\Windows NT\CurrentVersion, the three below's parent
extern const wchar_t kDevicesPath[];       // Software\Microsoft\Windows NT\CurrentVersion\Devices
extern const wchar_t kPrinterPortsPath[];  // Software\Microsoft\Windows NT\CurrentVersion\PrinterPorts
extern const wchar_t kWindowsPath[];       // Software\Microsoft\Windows NT\CurrentVersion\Windows

// The spooler's environment for 64-bit drivers.
extern const wchar_t kEnvironment[];

}  // namespace win32
