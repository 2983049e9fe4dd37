// The line VELDRIAN traces to name each DIF code from 0 to 39, in the system's own
// words: the expected side of the entry point's tests on every architecture. Null
// for DIF_INSTALLDEVICE, which is handled rather than only named.
#pragma once

constexpr unsigned kDifNamedCodes = 40;

constexpr const wchar_t *kDifNameLines[kDifNamedCodes] = {
    L"?????\n",
    L"DIF_SELECTDEVICE\n",
    nullptr,
    L"DIF_ASSIGNRESOURCES\n",
    L"DIF_PROPERTIES\n",
    L"DIF_REMOVE\n",
    L"DIF_FIRSTTIMESETUP\n",
    L"DIF_FOUNDDEVICE\n",
    L"DIF_SELECTCLASSDRIVERS\n",
    L"DIF_VALIDATECLASSDRIVERS\n",
    L"DIF_INSTALLCLASSDRIVERS\n",
    L"DIF_CALCDISKSPACE\n",
    L"DIF_DESTROYPRIVATEDATA\n",
    L"DIF_VALIDATEDRIVER\n",
    L"DIF_MOVEDEVICE\n",
    L"DIF_DETECT\n",
    L"DIF_INSTALLWIZARD\n",
    L"DIF_DESTROYWIZARDDATA\n",
    L"DIF_PROPERTYCHANGE\n",
    L"DIF_ENABLECLASS\n",
    L"DIF_DETECTVERIFY\n",
    L"DIF_INSTALLDEVICEFILES\n",
    L"?????\n",
    L"DIF_SELECTBESTCOMPATDRV\n",
    L"DIF_ALLOW_INSTALL\n",
    L"DIF_REGISTERDEVICE\n",
    L"DIF_NEWDEVICEWIZARD_PRESELECT\n",
    L"DIF_NEWDEVICEWIZARD_SELECT\n",
    L"DIF_NEWDEVICEWIZARD_PREANALYZE\n",
    L"DIF_NEWDEVICEWIZARD_POSTANALYZE\n",
    L"DIF_NEWDEVICEWIZARD_FINISHINSTALL\n",
    L"?????\n",
    L"DIF_INSTALLINTERFACES\n",
    L"DIF_DETECTCANCEL\n",
    L"DIF_REGISTER_COINSTALLERS\n",
    L"DIF_ADDPROPERTYPAGE_ADVANCED\n",
    L"DIF_ADDPROPERTYPAGE_BASIC\n",
    L"?????\n",
    L"DIF_TROUBLESHOOTER\n",
    L"DIF_POWERMESSAGEWAKE\n",
};
