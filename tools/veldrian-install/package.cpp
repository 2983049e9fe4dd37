#include "package.h"

#include "infdecode.h"
#include "inftext.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/paths.h"
#include "win32/text.h"

#include <windows.h>
#include <shlobj.h>
#include <winspool.h>

#include <algorithm>
#include <iterator>

namespace host {

namespace {

constexpr wchar_t kVeldrianFile[] = L"VELDRIAN.dll";

bool CopyInto(const std::wstring &from, const std::wstring &to)
{
    return win32::MakeFolders(to.substr(0, to.find_last_of(L'\\'))) &&
           CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

std::wstring ModelsNamed(const inf::Package &description)
{
    std::wstring names;
    for (const std::wstring &section : description.otherSections) {
        names += (names.empty() ? L"" : L", ") + section;
    }
    return names;
}

// Why the INF gives x64 Windows no models, in one line.
std::wstring NoX64Models(const std::wstring &infPath, const inf::Package &description)
{
    const auto missing = std::ranges::find_if(description.choices, [](const inf::ModelsChoice &choice) {
        return choice.architecture == &inf::kX64 && !choice.exists;
    });
    if (missing != description.choices.end()) {
        return L"the INF " + infPath + L" has no models for 64-bit Windows on x64: [Manufacturer] names " +
               inf::Bracketed(missing->section) + L" for it (decoration " + missing->decoration +
               L"), but the INF has no such section";
    }
    const std::wstring others = ModelsNamed(description);
    return L"the INF " + infPath +
           L" has no models for 64-bit Windows: no models section of [Manufacturer] " +
           L"is decorated with NTamd64" + (others.empty() ? L"" : L" (it names " + others + L")");
}

// The platform under this run installs only from models sections decorated NTamd64
// alone: one line naming the section it cannot install from, or "".
std::wstring UnderThisPlatform(const inf::Package &description)
{
    const auto versioned = std::ranges::find_if(description.choices, [](const inf::ModelsChoice &choice) {
        return choice.architecture == &inf::kX64 && choice.exists && choice.osVersion;
    });
    if (versioned == description.choices.end()) {
        return L"";
    }
    const std::wstring section = inf::Bracketed(versioned->section);
    return L"64-bit Windows installs the x64 models from " + section +
           L", whose decoration names an OS version; Wine's SetupAPI, the platform under this run, installs "
           L"only from a models section decorated NTamd64 alone, so it cannot install from " +
           section;
}

void ReadX64Models(const inf::Package &description, Package *package)
{
    for (const inf::Model &model : description.models) {
        if (model.architecture == &inf::kX64 && !model.name.empty() && !model.hardwareId.empty()) {
            package->models.push_back(
                {model.name, model.ddInstall, model.hardwareId, model.installSection, model, {}, {}});
        }
    }
    package->files = inf::SourceFiles(description.inf, inf::kX64);
    std::wstring relative;
    if (inf::SourceOf(description.inf, inf::kX64, kVeldrianFile, &relative)) {
        package->listedDll = relative;
    }
    if (!package->listedDll.empty() &&
        win32::FileExists(DirectoryOf(package->infPath) + package->listedDll)) {
        package->ownDll = DirectoryOf(package->infPath) + package->listedDll;
    }
}

// The directory IDs of DestinationDirs as Wine 8's SetupAPI resolves them, each as a
// folder below the Windows or the system directory (or the Windows directory's drive).
// The printer IDs are the platform's printer directories; an ID Wine does not know it
// resolves to the system directory's "unknown" folder.
enum class Base { Windows, System, Drive };
struct DirectoryId {
    int id;
    // cppcheck-suppress unusedStructMember ; read through the table's found row
    Base base;
    // cppcheck-suppress unusedStructMember ; read through the table's found row
    const wchar_t *below;  // "" for the base itself
};
constexpr DirectoryId kDirectoryIds[] = {
    {10, Base::Windows, L""},
    {25, Base::Windows, L""},
    {17, Base::Windows, L"\\inf"},
    {18, Base::Windows, L"\\help"},
    {20, Base::Windows, L"\\fonts"},
    {50, Base::Windows, L"\\system"},
    {11, Base::System, L""},
    {66002, Base::System, L""},
    {12, Base::System, L"\\drivers"},
    {21, Base::System, L"\\viewers"},
    {23, Base::System, L"\\spool\\drivers\\color"},
    {66003, Base::System, L"\\spool\\drivers\\color"},
    {51, Base::System, L"\\spool"},
    {52, Base::System, L"\\spool\\drivers"},
    {24, Base::Drive, L""},
    {30, Base::Drive, L""},
    {54, Base::Drive, L""},
};
constexpr int kSourceDirectory = 1;
constexpr int kAbsolute = -1;
constexpr int kAbsoluteToo = 65535;  // the same as -1
constexpr int kUserProfile = 53;
constexpr int kShellFolders = 16384;  // 16384 + CSIDL_*
constexpr int kUserDefined = 32768;   // up to 65534: none is set for a package, Wine takes system32
constexpr int kPrinterDrivers = 66000;
constexpr int kPrintProcessors = 66001;
constexpr int kPrintProcessorsToo = 55;

std::wstring KnownDirectory(const DirectoryId &known)
{
    wchar_t buffer[MAX_PATH] = {};
    if (known.base == Base::System) {
        GetSystemDirectoryW(buffer, MAX_PATH);
    } else {
        GetWindowsDirectoryW(buffer, MAX_PATH);
    }
    const std::wstring base = buffer;
    return (known.base == Base::Drive ? base.substr(0, 2) : base) + known.below;
}

// A folder the platform names through a call: the spooler's, a shell folder's.
std::wstring PlatformDirectory(int id)
{
    wchar_t buffer[MAX_PATH] = {};
    DWORD needed = 0;
    const int folder = id == kUserProfile ? CSIDL_PROFILE : id - kShellFolders;
    const bool found = (id == kPrinterDrivers &&
                        GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE *>(buffer),
                                                   sizeof(buffer), &needed)) ||
                       ((id == kPrintProcessors || id == kPrintProcessorsToo) &&
                        GetPrintProcessorDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE *>(buffer),
                                                    sizeof(buffer), &needed)) ||
                       ((id == kUserProfile || (id >= kShellFolders && id < kShellFolders + 0x100)) &&
                        SUCCEEDED(SHGetFolderPathW(nullptr, folder, nullptr, SHGFP_TYPE_CURRENT, buffer)));
    return found ? std::wstring(buffer) : L"";
}

// A directory ID of DestinationDirs as the platform resolves it: the directory,
// without a trailing backslash; "" for the package's own folder (the stage).
std::wstring DirectoryOfId(int id, const std::wstring &subdirectory)
{
    const auto *const known = std::ranges::find(kDirectoryIds, id, &DirectoryId::id);
    if (known != std::end(kDirectoryIds)) {
        return KnownDirectory(*known);
    }
    if (id == kAbsolute || id == kAbsoluteToo || id == kSourceDirectory) {
        return id == kSourceDirectory ? L"" : subdirectory;
    }
    if (std::wstring platform = PlatformDirectory(id); !platform.empty()) {
        return platform;
    }
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    return std::wstring(system) + (id >= kUserDefined && id < kAbsoluteToo ? L"" : L"\\unknown");
}

void AddOnce(std::vector<std::wstring> *paths, const std::wstring &path)
{
    if (std::ranges::none_of(*paths, [&](const std::wstring &item) { return inf::SameText(item, path); })) {
        paths->push_back(path);
    }
}

// Where Wine 8's SetupAPI looks for a source file, relative to the INF's folder: it
// reads only the undecorated [SourceDisksFiles] and [SourceDisksNames], takes a disk's
// path and a file's subfolder only when they are two characters or longer, and looks
// in the INF's own folder for a file they do not list.
std::wstring WineRelative(const inf::Inf &inf, const std::wstring &name)
{
    const inf::InfLine *file = inf.line(L"SourceDisksFiles", name);
    const inf::InfLine *disk = file == nullptr ? nullptr : inf.line(L"SourceDisksNames", file->field(1));
    if (disk == nullptr) {
        return name;
    }
    const std::wstring folder = disk->field(4).size() >= 2 ? disk->field(4) : L"";
    const std::wstring rest = file->field(2).size() >= 2 ? file->field(2) : L"";
    return inf::JoinRelative(inf::JoinRelative(folder, rest), name);
}

// Each file the model copies, where the INF lays it out and where Wine looks for it:
// the file Windows would copy, or the DLL under test for VELDRIAN.dll.
bool StageModelFiles(const Package &package, const InfModel &model, const std::wstring &dllUnderTest,
                     Stage *stage, std::wstring *error)
{
    const std::wstring source = DirectoryOf(package.infPath);
    const inf::Inf &inf = package.description->inf;
    for (const inf::InstalledFile &file : inf::InstalledFiles(inf, model.described)) {
        const bool veldrian = inf::SameText(file.copy.source, kVeldrianFile);
        const std::wstring from = veldrian ? dllUnderTest : source + file.relative;
        // Once where Wine looks where the INF lays it out.
        std::vector<std::wstring> places = {file.relative};
        if (const std::wstring wine = WineRelative(inf, file.copy.source);
            !inf::SameText(wine, file.relative)) {
            places.push_back(wine);
        }
        for (const std::wstring &to : places) {
            if (!CopyInto(from, stage->directory + to)) {
                *error = L"cannot stage " + from;
                *error += L" as " + stage->directory + to;
                *error += L": " + win32::ErrorText(GetLastError());
                return false;
            }
        }
    }
    if (package.listedDll.empty()) {
        stage->notes.push_back(L"the INF's SourceDisksFiles does not list VELDRIAN.dll, so SetupAPI has no "
                               L"VELDRIAN.dll to copy");
    }
    return true;
}

}  // namespace

std::wstring DirectoryOf(const std::wstring &path)
{
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
}

std::wstring ProgramDirectory()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return DirectoryOf(path);
}

std::wstring WindowsPath(const std::wstring &path)
{
    // Relative paths are the caller's: Wine starts the program in the caller's folder.
    std::wstring windows = win32::WindowsPath(path);
    const DWORD size = GetFullPathNameW(windows.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return windows;
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(windows.c_str(), size, full.data(), nullptr);
    full.resize(length);
    return full;
}

bool ReadInfText(const std::wstring &infPath, std::wstring *text, std::wstring *error,
                 std::vector<std::wstring> *notes)
{
    const DWORD attributes = GetFileAttributesW(infPath.c_str());
    std::string bytes;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *error = L"cannot read the INF " + infPath + L": there is no such file";
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *error = L"the INF " + infPath + L" is a folder, not a file";
    } else if (!win32::ReadWholeFile(infPath, &bytes)) {
        *error = L"cannot read the INF " + infPath + L": " + win32::ErrorText(GetLastError());
    } else {
        inf::DecodedInf decoded = inf::DecodeInf(bytes, win32::AnsiCodePageTable());
        *text = std::move(decoded.text);
        notes->insert(notes->end(), decoded.notes.begin(), decoded.notes.end());
        if (!decoded.refusal.empty()) {
            *error = L"the INF " + infPath + L" is not a text file SetupAPI reads: " + decoded.refusal;
        }
    }
    return error->empty();
}

bool ReadPackage(const std::wstring &infPath, Package *package, std::wstring *error)
{
    package->infPath = infPath;
    std::wstring text;
    if (!ReadInfText(infPath, &text, error, &package->notes)) {
        return false;
    }
    // %dirid% stands for the platform's directory, %1% for the INF's own folder.
    inf::Inf parsed = inf::ParseInf(text, [&infPath](int id) {
        return id == kSourceDirectory ? DirectoryOf(infPath) : DirectoryOfId(id, L"");
    });
    if (const std::wstring refusal = inf::Refusal(parsed); !refusal.empty()) {
        *error = L"cannot read the INF " + infPath + L": " + refusal;
        return false;
    }
    package->description = std::make_shared<inf::Package>(inf::DescribePackage(std::move(parsed)));
    ReadX64Models(*package->description, package);
    return true;
}

std::wstring NotAPrinterPackage(const Package &package)
{
    return L"the INF " + package.infPath + L" is not a printer package (its Version section says Class=" +
           package.description->infClass + L", not Printer)";
}

std::wstring InstallableHere(const Package &package)
{
    const inf::Package &description = *package.description;
    if (!inf::SameText(description.infClass, L"Printer")) {
        return NotAPrinterPackage(package);
    }
    return package.models.empty() ? NoX64Models(package.infPath, description)
                                  : UnderThisPlatform(description);
}

std::wstring StageDirectory()
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    return std::wstring(temp) + L"veldrian-install-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
}

bool StagePackage(const Package &package, const InfModel &model, const std::wstring &dllUnderTest,
                  Stage *stage, std::wstring *error)
{
    stage->directory = StageDirectory();
    win32::RemoveFolderTree(stage->directory);
    if (!CreateDirectoryW(stage->directory.c_str(), nullptr)) {
        *error = L"cannot make the staging directory " + stage->directory + L": " +
                 win32::ErrorText(GetLastError());
        return false;
    }
    const std::wstring source = DirectoryOf(package.infPath);
    stage->infPath = stage->directory + package.infPath.substr(source.size());
    if (!CopyFileW(package.infPath.c_str(), stage->infPath.c_str(), FALSE)) {
        *error = L"cannot copy the INF to " + stage->infPath + L": " + win32::ErrorText(GetLastError());
        return false;
    }
    // The package as the INF lays it out; a file no model of this run copies may be missing.
    const std::wstring catalog = inf::CatalogOf(package.description->inf, inf::kX64);
    std::vector<std::wstring> files = package.files;
    if (!catalog.empty()) {
        files.push_back(catalog);
    }
    for (const std::wstring &file : files) {
        if (!inf::SameText(file, package.listedDll)) {
            CopyInto(source + file, stage->directory + file);
        }
    }
    return StageModelFiles(package, model, dllUnderTest, stage, error);
}

std::vector<std::wstring> CopiedFiles(const Package &package, const InfModel &model)
{
    const inf::Inf &inf = package.description->inf;
    std::vector<std::wstring> paths;
    for (const inf::InstalledFile &file : inf::InstalledFiles(inf, model.described)) {
        const inf::InfLine *destination = inf::DestinationOf(inf, file.copy);
        if (destination == nullptr) {
            continue;  // the platform copies it nowhere
        }
        const int id = static_cast<int>(std::wcstol(destination->field(1).c_str(), nullptr, 10));
        const std::wstring subdirectory = destination->field(2);
        std::wstring directory = DirectoryOfId(id, subdirectory);
        if (directory.empty()) {
            continue;  // into the stage, which goes with the run
        }
        if (id != kAbsolute && id != kAbsoluteToo && !subdirectory.empty()) {
            directory += L"\\" + subdirectory;
        }
        AddOnce(&paths, directory + L"\\" + file.copy.target);
    }
    return paths;
}

}  // namespace host
