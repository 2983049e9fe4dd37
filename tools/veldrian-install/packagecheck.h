// The package check (--check): what 64-bit Windows' SetupAPI will find of VELDRIAN
// in a driver package, for every model of the package's x64 (NTamd64) and ARM64
// (NTarm64) models sections. It reads the INF once, as SetupAPI reads it, and
// installs nothing.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace host {

class Console;

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
PackageCheck CheckPackage(const std::wstring &infPath, const std::wstring &dll,
                          const CheckProgress &progress = nullptr);

// --check: the findings grouped by model (every model with `verbose`), the notes and
// a summary that names each model with a finding; with `json` the result as JSON
// on the standard output. Returns the exit status.
int RunCheck(Console &console, const std::wstring &infPath, const std::wstring &dll, bool verbose, bool json);

// The result as one JSON document (UTF-8).
std::string CheckJson(const std::wstring &infPath, const PackageCheck &check, int status);

// A one-line reason why a DLL cannot be VELDRIAN for 64-bit (x64) Windows, or empty.
std::wstring CheckVeldrianDll(const std::wstring &path);

// A model name that cannot name a print queue on Windows: the reason, or empty.
std::wstring CheckPrinterName(const std::wstring &name);

}  // namespace host
