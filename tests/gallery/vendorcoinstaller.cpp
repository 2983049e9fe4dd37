// A vendor's device co-installer, of the tests' own, for packages shaped like real
// vendors' ones, listed in CoInstallers32 beside VELDRIAN: VendorEntry behaves (it
// answers every request with NO_ERROR); StallEntry never returns from
// DIF_INSTALLDEVICE; CrashEntry faults there. A DLL of the system's imports alone, as
// a vendor ships it.
#include <windows.h>
#include <setupapi.h>

namespace {

bool Installing(DI_FUNCTION function, const COINSTALLER_CONTEXT_DATA *context)
{
    return function == DIF_INSTALLDEVICE && context != nullptr && context->PostProcessing == FALSE;
}

}  // namespace

extern "C" __declspec(dllexport) DWORD CALLBACK
    VendorEntry(DI_FUNCTION /*function*/, HDEVINFO /*set*/, PSP_DEVINFO_DATA /*device*/,
                PCOINSTALLER_CONTEXT_DATA /*context*/)
{
    return NO_ERROR;
}

extern "C" __declspec(dllexport) DWORD CALLBACK
    StallEntry(DI_FUNCTION function, HDEVINFO /*set*/, PSP_DEVINFO_DATA /*device*/,
               PCOINSTALLER_CONTEXT_DATA context)
{
    while (Installing(function, context)) {
        Sleep(INFINITE);
    }
    return NO_ERROR;
}

extern "C" __declspec(dllexport) DWORD CALLBACK
    CrashEntry(DI_FUNCTION function, HDEVINFO /*set*/, PSP_DEVINFO_DATA /*device*/,
               PCOINSTALLER_CONTEXT_DATA context)
{
    if (Installing(function, context)) {
        // cppcheck-suppress nullPointer ; the fault this entry is for
        *static_cast<volatile DWORD *>(nullptr) = function;
    }
    return NO_ERROR;
}
