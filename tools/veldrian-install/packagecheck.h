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
    std::vector<std::wstring> refusals;  // the findings for which Windows fails its installation
};

struct PackageCheck {
    std::vector<std::wstring> findings;  // findings of the package as a whole
    std::vector<std::wstring> refusals;  // those of them for which Windows fails every installation
    std::vector<std::wstring> notes;     // what the author should know; not findings
    std::vector<ModelCheck> models;
};

// Called with the models checked so far and their number in all.
using CheckProgress = std::function<void(std::size_t done, std::size_t total)>;

// dll: the DLL to check instead of the package's own for its architecture, or empty.
// port: the port the run records for every model (--port), or empty: each model's own
// PortName, else the port a bus gives (kBusPort).
PackageCheck CheckPackage(const Package &package, const std::wstring &dll, const std::wstring &port,
                          const CheckProgress &progress = nullptr);

// The port the installation of a model gets: `port` (--port) when given, else the one its
// .HW section writes, else the one a bus would give.
std::wstring PortOf(const Package &package, const inf::Model &model, const std::wstring &port);

// A model name that cannot name a print queue on Windows: the reason, or empty.
std::wstring CheckPrinterName(const std::wstring &name);

}  // namespace host
