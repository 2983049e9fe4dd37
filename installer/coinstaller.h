// The co-installer entry point that the device installer (SetupAPI) calls for
// every step of a printer installation.
#pragma once

#include <windows.h>
#include <setupapi.h>

extern "C" DWORD CALLBACK CoInstallerE(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                       PSP_DEVINFO_DATA DeviceInfoData, PCOINSTALLER_CONTEXT_DATA Context);
