// The post-processing sequence of DIF_INSTALLDEVICE: device identity, queue lookup,
// per-user default printer. One status decides after each step whether to go on.
#include "defaultprinter.h"

#include "../trace/trace.h"

void OnInstallDevicePostProcessing(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData)
{
    WCHAR strModelName[MAX_PATH] = {};
    WCHAR *strPortName = nullptr;
    PRINTER_INFO_2W *printerEnum = nullptr;

    TraceMessage(L"DIF_INSTALLDEVICE PostProcessing\n");

    DWORD status = GetPrinterModelName(DeviceInfoSet, DeviceInfoData, strModelName);
    // A driver query that fails with a last-error of 0 leaves the model name empty:
    // no queue can be identified without it, so the sequence ends there too.
    if (status != NO_ERROR || strModelName[0] == L'\0') {
        TraceMessage(L"GetPrinterModelName() failed. GetLastError() = %d\n", status);
    } else {
        status = GetPrinterPortName(DeviceInfoSet, DeviceInfoData, &strPortName);
        if (status == NO_ERROR) {
            const WCHAR *strPrinter = FindInstalledPrinter(strModelName, strPortName, &printerEnum);
            if (strPrinter != nullptr) {
                SetDefaultPrinterForAllUsers(strPrinter);
            }
        }
    }

    // The queue name points into the enumeration block: it goes first, the port name last.
    if (printerEnum != nullptr) {
        GlobalFree(printerEnum);
    }
    if (strPortName != nullptr) {
        GlobalFree(strPortName);
    }
}
