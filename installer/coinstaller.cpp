#include "coinstaller.h"

#include "../defaultprinter/defaultprinter.h"
#include "../trace/trace.h"
#include "difnames.h"

extern "C" DWORD CALLBACK CoInstallerE(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                       PSP_DEVINFO_DATA DeviceInfoData, PCOINSTALLER_CONTEXT_DATA Context)
{
    DWORD result = NO_ERROR;

    if (InstallFunction == DIF_INSTALLDEVICE) {
        // The host always passes a context; without one there is no post-processing
        // flag to read, and the call counts as the one before the class installer.
        if (Context == nullptr || !Context->PostProcessing) {
            TraceMessage(L"DIF_INSTALLDEVICE\n");
            result = ERROR_DI_POSTPROCESSING_REQUIRED;
        } else {
            // Runs whatever InstallResult says; nothing it meets is reported to the host.
            OnInstallDevicePostProcessing(DeviceInfoSet, DeviceInfoData);
        }
    } else {
        TraceMessage(difnames::DifTraceText(InstallFunction));
    }

    return result;
}

static_assert(ERROR_DI_POSTPROCESSING_REQUIRED == 0xE0000226, "the handshake code of the protocol");
