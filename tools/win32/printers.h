// Printer drivers and print queues made and removed through the spooler. A driver
// made here has Wine's PostScript driver (wineps.drv in system32) for every file:
// Wine has no other driver to install, and the spooler only needs one that loads.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace win32 {

// Adds the printer driver `name` for 64-bit Windows; false, with the platform's
// last-error, when AddPrinterDriverExW refuses it.
bool MakePrinterDriver(const std::wstring &name);
bool RemovePrinterDriver(const std::wstring &name);

// Makes the print queue `name` on an existing driver and a port (print processor
// WinPrint, data type RAW); false, with the platform's last-error, when AddPrinterW
// refuses it.
bool AddQueue(const std::wstring &name, const std::wstring &driver, const std::wstring &port);
bool DeleteQueue(const std::wstring &name);
bool QueueExists(const std::wstring &name);
bool PrinterDriverExists(const std::wstring &name);  // for 64-bit Windows

// The local and connected queues, as EnumPrintersW lists them at level 2.
struct QueueInfo {
    std::wstring name, driver, port;
};
std::vector<QueueInfo> EnumQueues();

}  // namespace win32
