// The driver package: paths, the models of its INF, and the staging directory it
// is installed from.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

namespace host {

std::wstring ProgramDirectory();  // with a trailing backslash
// A Windows path for a Windows or (under Wine) Unix path, made absolute.
std::wstring WindowsPath(const std::wstring &path);

// INF reading through SetupAPI's own functions.
std::wstring InfField(INFCONTEXT *context, DWORD index);  // "" when there is none
bool InfSectionExists(HINF inf, const std::wstring &section);
// The 64-bit (NTamd64) models section that a [Manufacturer] line names, or "".
std::wstring Models64Section(HINF inf, INFCONTEXT *manufacturer);

struct InfModel {
    std::wstring name;        // the driver's description: the model name
    std::wstring section;     // its DDInstall section
    std::wstring hardwareId;  // the first ID of its line
};

struct Package {
    std::wstring infPath;             // absolute Windows path
    std::vector<InfModel> models;     // of its 64-bit models sections
    std::vector<std::wstring> files;  // source files, relative to the INF's directory
    std::wstring listedDll;           // where SourceDisksFiles puts VELDRIAN.dll, relative, or ""
    std::wstring ownDll;              // the package's own VELDRIAN.dll, beside the INF, or ""
    std::vector<std::wstring> notes;  // what a package author should know of how it reads
};

// Reads the INF with SetupAPI. On failure *error is one line.
bool ReadPackage(const std::wstring &infPath, Package *package, std::wstring *error);

// Copies the INF and its source files to a new temporary directory; the package's
// VELDRIAN.dll there is the DLL under test. Notes say what could not be staged.
struct Stage {
    std::wstring directory;  // with a trailing backslash
    std::wstring infPath;
    std::vector<std::wstring> notes;
};
std::wstring StageDirectory();  // this process's, in the temporary directory, with a trailing backslash
bool StagePackage(const Package &package, const std::wstring &dllUnderTest, Stage *stage,
                  std::wstring *error);

// Where the installation of a model's DDInstall section (the one the platform picks
// for 64-bit Windows) and its .CoInstallers section copies files: the full path of
// every file their CopyFiles name, each once, read through SetupAPI's INF functions
// (DestinationDirs, DefaultDestDir and the platform's directory IDs resolved by it).
std::vector<std::wstring> CopiedFiles(const std::wstring &infPath, const std::wstring &section);

}  // namespace host
