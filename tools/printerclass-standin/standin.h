// The printer class installer stand-in. Wine has no printer class installer, so
// for a run of the installation host this DLL is registered as the Printer class's
// Installer32. It answers every request with ERROR_DI_DO_DEFAULT but
// DIF_INSTALLDEVICE, where it does what Windows' printer class installer does: it
// installs the device, then makes the printer driver and the print queue, named
// after the model, on the device's PortName. Wine's SetupAPI never makes the device
// co-installers' post-processing call, so the stand-in makes it where Windows'
// SetupAPI does: at the end of DIF_INSTALLDEVICE, after the class installer's work.
// It is a tool of the host's runs, never part of a driver package.
#pragma once

#include <windows.h>

namespace standin {

// What the installation host hands the stand-in for its run. Without it the
// stand-in still does its work, silently.
struct Host {
    void *context = nullptr;
    // One line of what the stand-in does, as it does it.
    void (*note)(void *context, const wchar_t *text) = nullptr;
    // The stand-in is about to add the queue `queue` of the model `driver` (driverNew:
    // and the driver too); FALSE: it makes neither. The host records them first.
    BOOL (*willMake)(void *context, const wchar_t *queue, const wchar_t *driver, BOOL driverNew) = nullptr;
    // The print queue has been made (driverAdded: its driver is new too). Called
    // before the post-processing call, so that the host can list the queue in its profiles.
    void (*queueMade)(void *context, const wchar_t *queue, const wchar_t *driver, const wchar_t *port,
                      BOOL driverAdded) = nullptr;
    const wchar_t *port = nullptr;  // not null: record this PortName after installing, as a port monitor does
    BOOL makeQueue = TRUE;          // FALSE: make no queue, as when the class installer makes none
};

using ConnectFunction = void(WINAPI *)(const Host *host);  // null disconnects
inline constexpr char kConnectName[] = "StandinConnect";
inline constexpr wchar_t kEntryName[] = L"PrinterClassInstaller";
inline constexpr wchar_t kFileName[] = L"printerclass-standin.dll";

}  // namespace standin
