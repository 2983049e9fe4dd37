// The package check (--check): what 64-bit Windows' SetupAPI will find of VELDRIAN in
// a driver package, for every model of every architecture, read from the package's one
// description (package.h). It installs nothing. Its report is checkreport.h.
#pragma once

#include "package.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace host {

struct ModelCheck {
    std::wstring name;  // the model name
    std::wstring hardwareId;
    std::wstring architecture;  // "x64" or "ARM64": the models section it comes from
    std::wstring ddInstall;     // the decorated DDInstall section the platform installs
    std::wstring coInstallers;  // the .CoInstallers section it looks for
    std::vector<std::wstring> findings;
};

struct PackageCheck {
    std::vector<std::wstring> findings;  // findings of the package as a whole
    std::vector<std::wstring> notes;     // what the author should know; not findings
    std::vector<ModelCheck> models;
};

// Called with the models checked so far and their number in all.
using CheckProgress = std::function<void(std::size_t done, std::size_t total)>;

// dll: the DLL to check instead of the package's own for its architecture, or empty.
PackageCheck CheckPackage(const Package &package, const std::wstring &dll,
                          const CheckProgress &progress = nullptr);

// A model name that cannot name a print queue on Windows: the reason, or empty.
std::wstring CheckPrinterName(const std::wstring &name);

}  // namespace host
