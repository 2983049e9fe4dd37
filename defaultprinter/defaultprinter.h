// Default-printer assignment: after a printer device has been installed, find the
// print queue the installation produced and make it every loaded profile's default.
#pragma once

#include <windows.h>
#include <setupapi.h>
#include <winspool.h>

// The post-processing pass of DIF_INSTALLDEVICE. Runs the steps below in order,
// each only while the status is 0, and frees every block it took before returning.
void OnInstallDevicePostProcessing(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData);

// Installed device identity.
// Copies the selected driver's description into strModelName (MAX_PATH units).
DWORD GetPrinterModelName(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, WCHAR *strModelName);
// Reads the device's PortName into a GlobalAlloc block handed over through
// strPortName (null when no block was taken, whatever the status).
DWORD GetPrinterPortName(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, WCHAR **strPortName);

// Printer queue lookup. Returns the name of the first queue whose driver is
// strModelName and whose port is strPortName, or null. The name points into the
// enumeration block stored in printerEnum (null when none was taken).
const WCHAR *FindInstalledPrinter(const WCHAR *strModelName, const WCHAR *strPortName,
                                  PRINTER_INFO_2W **printerEnum);

// Per-user default printer.
void SetDefaultPrinterForAllUsers(const WCHAR *strPrinter);
DWORD GetFullPrinterName(WCHAR *strFullPrinterName, DWORD cbFullPrinterName, const WCHAR *strPrinter,
                         const WCHAR *strUserKey);
DWORD SetDefaultPrinterInRegistry(const WCHAR *strFullPrinterName, const WCHAR *strUserKey);
