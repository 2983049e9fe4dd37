// The driver package: its INF read once (inf::Package, the description the check and
// the installation share), the x64 models the installation takes from it, its files,
// and the staging directory it is installed from.
#pragma once

#include "infpackage.h"

#include <memory>
#include <string>
#include <vector>

namespace host {

std::wstring ProgramDirectory();  // with a trailing backslash
// A Windows path for a Windows or (under Wine) Unix path, made absolute.
std::wstring WindowsPath(const std::wstring &path);
std::wstring DirectoryOf(const std::wstring &path);  // with its trailing backslash, or ""

// The INF's text as SetupAPI decodes it (inf::DecodeInf, with this system's ANSI code
// page). False, with one line in *error, when it is missing, a folder, unreadable or
// not text SetupAPI reads; what the INF rules do not allow but SetupAPI reads is a
// note in *notes.
bool ReadInfText(const std::wstring &infPath, std::wstring *text, std::wstring *error,
                 std::vector<std::wstring> *notes);

// The port a bus gives a printer whose package writes no PortName, as a USB printer's
// port monitor records it: the run records it for such a model (--port names another).
inline constexpr wchar_t kBusPort[] = L"USB001";

struct InfModel {
    std::wstring name;                   // the driver's description: the model name
    std::wstring section;                // its DDInstall section, as its line names it
    std::wstring hardwareId;             // the first ID of its line
    std::wstring installSection;         // the DDInstall section x64 Windows installs
    inf::Model described;                // as the package description reads it
    std::vector<std::wstring> findings;  // what the package check finds for it
    std::wstring refusal;                // the check's finding for which Windows fails it, or ""
};

struct Package {
    std::wstring infPath;                             // absolute Windows path
    std::shared_ptr<const inf::Package> description;  // the INF, read once
    std::vector<InfModel> models;                     // the x64 models
    std::vector<std::wstring> files;                  // x64 source files, relative to the INF's directory
    std::wstring listedDll;           // where SourceDisksFiles puts VELDRIAN.dll, relative, or ""
    std::wstring ownDll;              // the package's own VELDRIAN.dll, beside the INF, or ""
    std::vector<std::wstring> notes;  // what a package author should know of how it reads
};

// Reads the INF into its description, and the x64 models the installation can take.
// False, with one line in *error, when the INF cannot be read as text.
bool ReadPackage(const std::wstring &infPath, Package *package, std::wstring *error);
// "the INF ... is not a printer package (...)": the check's finding and the run's refusal.
std::wstring NotAPrinterPackage(const Package &package);
// Why the package cannot be installed here, in one line, or "": it is not a printer
// package, has no models for x64 Windows, or has them where the platform under this
// run cannot install from.
std::wstring InstallableHere(const Package &package);

// Copies the INF, its catalog and its source files to a new temporary directory, laid
// out as the INF describes them for x64 Windows; the package's VELDRIAN.dll there is
// the DLL under test. Wine's SetupAPI reads only the undecorated SourceDisksNames and
// SourceDisksFiles: each file the model copies is also put where it looks for it, so
// that it copies the file Windows would copy. False, with the reason, when a file the
// model copies cannot be staged.
struct Stage {
    std::wstring directory;  // with a trailing backslash
    std::wstring infPath;
    std::vector<std::wstring> notes;
};
std::wstring StageDirectory();  // this process's, in the temporary directory, with a trailing backslash
bool StagePackage(const Package &package, const InfModel &model, const std::wstring &dllUnderTest,
                  Stage *stage, std::wstring *error);

// Where the installation of a model (its DDInstall section for x64 and that section's
// .CoInstallers) copies files: the full path of every file their CopyFiles name, each
// once, with DestinationDirs' directory IDs resolved as the platform under the run
// (Wine 8) resolves them. A copy into the staging directory is left out.
std::vector<std::wstring> CopiedFiles(const Package &package, const InfModel &model);

}  // namespace host
