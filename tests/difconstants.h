// The expected name line of each DIF code, taken from the platform's headers: every
// DIF_* constant of setupapi.h that VELDRIAN names, listed by its macro and stringized,
// so that a code's line is the SDK's own name for it and never a copy of VELDRIAN's
// table. The codes the list leaves out (0, DIF_UNREMOVE 22, DIF_UNUSED1 31,
// DIF_RESERVED1 37, and 40 on) have no name of their own in the trace and share the
// fallback line. Needs no runtime: the ARM64 test program reads it too.
#pragma once

#include <windows.h>
#include <setupapi.h>

struct DifConstant {
    DWORD code;
    const wchar_t *line;
};

#define VELDRIAN_DIF_CONSTANT(name)                                                                          \
    {                                                                                                        \
        name, L"" #name "\n"                                                                                 \
    }
constexpr DifConstant kDifConstants[] = {
    VELDRIAN_DIF_CONSTANT(DIF_SELECTDEVICE),
    VELDRIAN_DIF_CONSTANT(DIF_ASSIGNRESOURCES),
    VELDRIAN_DIF_CONSTANT(DIF_PROPERTIES),
    VELDRIAN_DIF_CONSTANT(DIF_REMOVE),
    VELDRIAN_DIF_CONSTANT(DIF_FIRSTTIMESETUP),
    VELDRIAN_DIF_CONSTANT(DIF_FOUNDDEVICE),
    VELDRIAN_DIF_CONSTANT(DIF_SELECTCLASSDRIVERS),
    VELDRIAN_DIF_CONSTANT(DIF_VALIDATECLASSDRIVERS),
    VELDRIAN_DIF_CONSTANT(DIF_INSTALLCLASSDRIVERS),
    VELDRIAN_DIF_CONSTANT(DIF_CALCDISKSPACE),
    VELDRIAN_DIF_CONSTANT(DIF_DESTROYPRIVATEDATA),
    VELDRIAN_DIF_CONSTANT(DIF_VALIDATEDRIVER),
    VELDRIAN_DIF_CONSTANT(DIF_MOVEDEVICE),
    VELDRIAN_DIF_CONSTANT(DIF_DETECT),
    VELDRIAN_DIF_CONSTANT(DIF_INSTALLWIZARD),
    VELDRIAN_DIF_CONSTANT(DIF_DESTROYWIZARDDATA),
    VELDRIAN_DIF_CONSTANT(DIF_PROPERTYCHANGE),
    VELDRIAN_DIF_CONSTANT(DIF_ENABLECLASS),
    VELDRIAN_DIF_CONSTANT(DIF_DETECTVERIFY),
    VELDRIAN_DIF_CONSTANT(DIF_INSTALLDEVICEFILES),
    VELDRIAN_DIF_CONSTANT(DIF_SELECTBESTCOMPATDRV),
    VELDRIAN_DIF_CONSTANT(DIF_ALLOW_INSTALL),
    VELDRIAN_DIF_CONSTANT(DIF_REGISTERDEVICE),
    VELDRIAN_DIF_CONSTANT(DIF_NEWDEVICEWIZARD_PRESELECT),
    VELDRIAN_DIF_CONSTANT(DIF_NEWDEVICEWIZARD_SELECT),
    VELDRIAN_DIF_CONSTANT(DIF_NEWDEVICEWIZARD_PREANALYZE),
    VELDRIAN_DIF_CONSTANT(DIF_NEWDEVICEWIZARD_POSTANALYZE),
    VELDRIAN_DIF_CONSTANT(DIF_NEWDEVICEWIZARD_FINISHINSTALL),
    VELDRIAN_DIF_CONSTANT(DIF_INSTALLINTERFACES),
    VELDRIAN_DIF_CONSTANT(DIF_DETECTCANCEL),
    VELDRIAN_DIF_CONSTANT(DIF_REGISTER_COINSTALLERS),
    VELDRIAN_DIF_CONSTANT(DIF_ADDPROPERTYPAGE_ADVANCED),
    VELDRIAN_DIF_CONSTANT(DIF_ADDPROPERTYPAGE_BASIC),
    VELDRIAN_DIF_CONSTANT(DIF_TROUBLESHOOTER),
    VELDRIAN_DIF_CONSTANT(DIF_POWERMESSAGEWAKE),
};
#undef VELDRIAN_DIF_CONSTANT

// Codes 0 to 39 are the ones with a place in the trace's table; the tests also call
// some beyond it.
constexpr DWORD kDifTableCodes = 40;
constexpr const wchar_t *kDifFallbackLine = L"?????\n";

// The line a code is traced with; null for DIF_INSTALLDEVICE, which is answered with a
// request for post-processing rather than only named.
constexpr const wchar_t *ExpectedDifLine(DWORD code)
{
    if (code == DIF_INSTALLDEVICE) {
        return nullptr;
    }
    for (const DifConstant &constant : kDifConstants) {
        if (constant.code == code) {
            return constant.line;
        }
    }
    return kDifFallbackLine;
}
