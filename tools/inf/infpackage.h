// A printer driver package as 64-bit Windows reads its INF: for each architecture,
// the models section each [Manufacturer] line gives it (the decoration Windows picks),
// the models listed there and the DDInstall section each one installs; and where its
// files come from and go to. The package check and the installation both read a
// package through this one description. Plain C++: no Windows header.
#pragma once

#include "inf.h"

#include <string>
#include <vector>

namespace inf {

// The 64-bit architectures a package's models sections are decorated for.
struct Architecture {
    const wchar_t *name;        // as the check names it
    const wchar_t *decoration;  // of models and DDInstall sections
    const wchar_t *platform;    // of SourceDisksNames and SourceDisksFiles
    unsigned short machine;     // of the DLL it loads (IMAGE_FILE_MACHINE_*)
};
inline constexpr Architecture kX64 = {L"x64", L"NTamd64", L"amd64", 0x8664};
inline constexpr Architecture kArm64 = {L"ARM64", L"NTarm64", L"arm64", 0xAA64};
inline constexpr const Architecture *kArchitectures[] = {&kX64, &kArm64};

// The Windows whose choice of models section a package is read for: a client
// (workstation) Windows of this version and build.
struct WindowsVersion {
    unsigned major;
    unsigned minor;
    unsigned build;
};
// Windows 10 and Windows 11 (both 10.0), of any build.
inline constexpr WindowsVersion kWindows10AndLater = {10, 0, 0xFFFFFFFFU};

// The models section one [Manufacturer] line gives an architecture.
struct ModelsChoice {
    const Architecture *architecture = nullptr;
    std::wstring decoration;  // the one Windows picks, e.g. "NTamd64" or "NTamd64.10.0"
    std::wstring section;     // the line's models section with that decoration
    bool exists = false;      // whether the INF has that section
    bool osVersion = false;   // whether the decoration names an OS version
};

struct Model {
    const Architecture *architecture = nullptr;
    std::wstring name;            // the driver's description: the model name
    std::wstring hardwareId;      // the first ID of its line
    std::wstring ddInstall;       // the DDInstall section as the models line names it
    std::wstring installSection;  // the section the platform installs: decorated for the architecture,
                                  // else for NT, else as named; "" when none exists
    std::wstring coInstallers;    // the .CoInstallers section the platform looks for
    std::wstring modelsSection;   // where the model is listed
    bool osVersion = false;       // the models section's decoration names an OS version
};

// A line of a models section that names no model: it has no '=' or nothing before it.
struct UnnamedModelLine {
    std::wstring section;
    std::wstring text;  // its first field, as written
};

struct Package {
    Inf inf;
    std::wstring infClass;  // [Version] Class
    bool hasManufacturer = false;
    std::vector<ModelsChoice> choices;        // every [Manufacturer] line's, for each architecture it names
    std::vector<std::wstring> undecorated;    // [Manufacturer] models sections decorated for neither
    std::vector<std::wstring> otherSections;  // the sections those lines name ("[Models]", "[Models.NT]")
    std::vector<Model> models;                // of every chosen section that exists
    std::vector<UnnamedModelLine> unnamed;    // lines of those sections that name no model
};

Package DescribePackage(Inf inf, const WindowsVersion &windows = kWindows10AndLater);

// The sections that the lines named `key` of `section` list (AddReg=a,b; CopyFiles=c).
std::vector<std::wstring> ListedSections(const Inf &inf, const std::wstring &section, const wchar_t *key);

// A file that a CopyFiles entry copies.
struct CopiedFile {
    std::wstring section;  // the copy section, or "@name" for CopyFiles=@name
    std::wstring target;   // the file's name where it is copied
    std::wstring source;   // the source file's name
};
// Every file the CopyFiles lines of `section` copy.
std::vector<CopiedFile> CopiedFiles(const Inf &inf, const std::wstring &section);
// The destination of a copy: its DestinationDirs line, or DefaultDestDir; null when neither.
const InfLine *DestinationOf(const Inf &inf, const CopiedFile &copy);
// Where SourceDisksFiles.<platform> (else SourceDisksFiles) puts a source file, relative to
// the INF's folder; false when neither lists it.
bool SourceOf(const Inf &inf, const Architecture &architecture, const std::wstring &name,
              std::wstring *relative);
// Every source file the architecture's installation reads, relative to the INF's folder, each once.
std::vector<std::wstring> SourceFiles(const Inf &inf, const Architecture &architecture);

// A file the installation of a model copies: its DDInstall section's CopyFiles (when
// the device's files are installed) and its .CoInstallers section's (when the
// co-installers are registered), and where the package holds it.
struct InstalledFile {
    CopiedFile copy;
    std::wstring copiedBy;  // the DDInstall or .CoInstallers section whose CopyFiles names it
    bool listed = false;    // SourceDisksFiles[.platform] lists its source
    std::wstring relative;  // where it lists it, relative to the INF's folder; else the source's name
};
std::vector<InstalledFile> InstalledFiles(const Inf &inf, const Model &model);

// The catalog of the architecture's installation: [Version] CatalogFile.NT<platform>,
// else CatalogFile; "" when the INF names none.
std::wstring CatalogOf(const Inf &inf, const Architecture &architecture);

// The PortName the model's .HW section writes into the device's hardware key
// (HKR,,PortName,...), or "": on Windows the bus and the port monitor record it.
std::wstring PortWritten(const Inf &inf, const Model &model);

}  // namespace inf
