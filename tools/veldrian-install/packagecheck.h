// The package check (--check): what 64-bit Windows' SetupAPI will find of VELDRIAN
// in a driver package, read through SetupAPI's own INF functions, for every model
// of the package's 64-bit models sections. It installs nothing.
#pragma once

#include <string>
#include <vector>

namespace host {

struct ModelCheck {
    std::wstring name;  // the model name
    std::wstring hardwareId;
    std::wstring ddInstall;     // the decorated DDInstall section the platform installs
    std::wstring coInstallers;  // the .CoInstallers section it looks for
    std::vector<std::wstring> findings;
};

struct PackageCheck {
    std::vector<std::wstring> findings;  // findings of the package as a whole
    std::vector<ModelCheck> models;
};

// dll: the DLL to check instead of the package's own, or empty.
PackageCheck CheckPackage(const std::wstring &infPath, const std::wstring &dll);

// A one-line reason why a DLL cannot be VELDRIAN for 64-bit Windows, or empty.
std::wstring CheckVeldrianDll(const std::wstring &path);

// A model name that cannot name a print queue on Windows: the reason, or empty.
std::wstring CheckPrinterName(const std::wstring &name);

}  // namespace host
