// Trace texts of the device installation function (DIF) codes, indexed by code.
#pragma once

#include <windows.h>

#include <iterator>

namespace difnames {

// Codes without a name of their own (0, 22, 31, 37, 40 and above) share this text.
constexpr const WCHAR *kUnknown = L"?????\n";

// DIF_INSTALLDEVICE (2) is answered by the entry itself and never looked up here.
constexpr const WCHAR *kTable[] = {
    kUnknown,                                // 0
    L"DIF_SELECTDEVICE\n",                   // 1
    nullptr,                                 // 2 DIF_INSTALLDEVICE
    L"DIF_ASSIGNRESOURCES\n",                // 3
    L"DIF_PROPERTIES\n",                     // 4
    L"DIF_REMOVE\n",                         // 5
    L"DIF_FIRSTTIMESETUP\n",                 // 6
    L"DIF_FOUNDDEVICE\n",                    // 7
    L"DIF_SELECTCLASSDRIVERS\n",             // 8
    L"DIF_VALIDATECLASSDRIVERS\n",           // 9
    L"DIF_INSTALLCLASSDRIVERS\n",            // 10
    L"DIF_CALCDISKSPACE\n",                  // 11
    L"DIF_DESTROYPRIVATEDATA\n",             // 12
    L"DIF_VALIDATEDRIVER\n",                 // 13
    L"DIF_MOVEDEVICE\n",                     // 14
    L"DIF_DETECT\n",                         // 15
    L"DIF_INSTALLWIZARD\n",                  // 16
    L"DIF_DESTROYWIZARDDATA\n",              // 17
    L"DIF_PROPERTYCHANGE\n",                 // 18
    L"DIF_ENABLECLASS\n",                    // 19
    L"DIF_DETECTVERIFY\n",                   // 20
    L"DIF_INSTALLDEVICEFILES\n",             // 21
    kUnknown,                                // 22
    L"DIF_SELECTBESTCOMPATDRV\n",            // 23
    L"DIF_ALLOW_INSTALL\n",                  // 24
    L"DIF_REGISTERDEVICE\n",                 // 25
    L"DIF_NEWDEVICEWIZARD_PRESELECT\n",      // 26
    L"DIF_NEWDEVICEWIZARD_SELECT\n",         // 27
    L"DIF_NEWDEVICEWIZARD_PREANALYZE\n",     // 28
    L"DIF_NEWDEVICEWIZARD_POSTANALYZE\n",    // 29
    L"DIF_NEWDEVICEWIZARD_FINISHINSTALL\n",  // 30
    kUnknown,                                // 31
    L"DIF_INSTALLINTERFACES\n",              // 32
    L"DIF_DETECTCANCEL\n",                   // 33
    L"DIF_REGISTER_COINSTALLERS\n",          // 34
    L"DIF_ADDPROPERTYPAGE_ADVANCED\n",       // 35
    L"DIF_ADDPROPERTYPAGE_BASIC\n",          // 36
    kUnknown,                                // 37
    L"DIF_TROUBLESHOOTER\n",                 // 38
    L"DIF_POWERMESSAGEWAKE\n",               // 39
};

constexpr DWORD kLastNamedCode = 39;
static_assert(std::size(kTable) == kLastNamedCode + 1, "one entry for each code from 0 to 39");

// The trace text of any code but DIF_INSTALLDEVICE. The code is unsigned, so
// every value outside 1..39 takes the fallback.
constexpr const WCHAR *DifTraceText(DWORD installFunction)
{
    return (installFunction >= 1 && installFunction <= kLastNamedCode && kTable[installFunction])
               ? kTable[installFunction]
               : kUnknown;
}

static_assert(DIF_REMOVE == 5 && DIF_POWERMESSAGEWAKE == 39 && DIF_INSTALLDEVICE == 2,
              "the table is indexed by the platform's DIF codes");

}  // namespace difnames
