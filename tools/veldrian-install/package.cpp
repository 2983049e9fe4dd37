#include "package.h"

#include "inftext.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/paths.h"
#include "win32/text.h"

#include <windows.h>
#include <winspool.h>

#include <algorithm>
#include <iterator>

namespace host {

namespace {

constexpr wchar_t kVeldrianFile[] = L"VELDRIAN.dll";

bool CopyInto(const std::wstring &from, const std::wstring &to)
{
    const std::wstring directory = DirectoryOf(to);
    // Make each directory level below the stage.
    for (std::size_t at = directory.find(L'\\', 3); at != std::wstring::npos;
         at = directory.find(L'\\', at + 1)) {
        CreateDirectoryW(directory.substr(0, at).c_str(), nullptr);
    }
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
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
                {model.name, model.ddInstall, model.hardwareId, model.installSection, {}});
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

// The directory IDs of DestinationDirs this host resolves, each as a folder below the
// Windows or the system directory (or the Windows directory's drive), as the platform's
// documentation of the IDs gives them.
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
    {51, Base::System, L"\\spool"},
    {52, Base::System, L"\\spool\\drivers"},
    {55, Base::System, L"\\spool\\prtprocs"},
    {24, Base::Drive, L""},
    {30, Base::Drive, L""},
};

// A directory ID of DestinationDirs as the platform resolves it: the directory,
// without a trailing backslash, or "" for one this host does not know.
std::wstring DirectoryOfId(int id, const std::wstring &subdirectory)
{
    wchar_t buffer[MAX_PATH] = {};
    DWORD needed = 0;
    const auto *const known = std::ranges::find(kDirectoryIds, id, &DirectoryId::id);
    if (known != std::end(kDirectoryIds)) {
        if (known->base == Base::System) {
            GetSystemDirectoryW(buffer, MAX_PATH);
        } else {
            GetWindowsDirectoryW(buffer, MAX_PATH);
        }
        const std::wstring base = buffer;
        return (known->base == Base::Drive ? base.substr(0, 2) : base) + known->below;
    }
    if (id == -1) {
        return subdirectory;  // an absolute path
    }
    // The spooler's own folders: printer drivers (66000), print processors (66001).
    const bool found =
        (id == 66000 && GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE *>(buffer),
                                                   sizeof(buffer), &needed)) ||
        (id == 66001 && GetPrintProcessorDirectoryW(nullptr, nullptr, 1, reinterpret_cast<BYTE *>(buffer),
                                                    sizeof(buffer), &needed));
    return found ? std::wstring(buffer) : L"";
}

void AddOnce(std::vector<std::wstring> *paths, const std::wstring &path)
{
    if (std::ranges::none_of(*paths, [&](const std::wstring &item) { return inf::SameText(item, path); })) {
        paths->push_back(path);
    }
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
    } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
               static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text->resize((bytes.size() - 2) / sizeof(wchar_t));
        std::copy_n(bytes.data() + 2, text->size() * sizeof(wchar_t), reinterpret_cast<char *>(text->data()));
    } else if (bytes.find('\0') != std::string::npos) {
        *error =
            L"the INF " + infPath + L" is not a text file (it holds NUL bytes and no UTF-16 byte-order mark)";
    } else {
        *text = win32::FromCodePage(CP_ACP, bytes);
        bool utf8 = false;
        win32::FromCodePage(CP_UTF8, bytes, &utf8);
        const bool ascii =
            std::ranges::all_of(bytes, [](char byte) { return static_cast<unsigned char>(byte) < 0x80; });
        if (!ascii && utf8) {
            notes->push_back(
                L"the INF is UTF-8: SetupAPI reads an INF without a UTF-16 byte-order mark in the ANSI "
                L"code page, so its non-ASCII text is misread; save it as UTF-16 (Unicode)");
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
    inf::Inf parsed = inf::ParseInf(text);
    if (const std::wstring refusal = inf::Refusal(parsed); !refusal.empty()) {
        *error = L"cannot read the INF " + infPath + L": " + refusal;
        return false;
    }
    package->description = std::make_shared<inf::Package>(inf::DescribePackage(std::move(parsed)));
    ReadX64Models(*package->description, package);
    return true;
}

std::wstring InstallableHere(const Package &package)
{
    const inf::Package &description = *package.description;
    if (!inf::SameText(description.infClass, L"Printer")) {
        return L"the INF " + package.infPath + L" is not a printer package (its Version section says Class=" +
               description.infClass + L", not Printer)";
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

bool StagePackage(const Package &package, const std::wstring &dllUnderTest, Stage *stage, std::wstring *error)
{
    stage->directory = StageDirectory();
    win32::RemoveFolderTree(stage->directory);
    if (!CreateDirectoryW(stage->directory.c_str(), nullptr)) {
        *error = L"cannot make the staging directory " + stage->directory + L": " +
                 win32::ErrorText(GetLastError());
        return false;
    }
    const std::wstring source = DirectoryOf(package.infPath);
    const std::wstring infName = package.infPath.substr(source.size());
    stage->infPath = stage->directory + infName;
    if (!CopyFileW(package.infPath.c_str(), stage->infPath.c_str(), FALSE)) {
        *error = L"cannot copy the INF to " + stage->infPath + L": " + win32::ErrorText(GetLastError());
        return false;
    }

    for (const std::wstring &file : package.files) {
        if (file == package.listedDll) {
            if (!CopyInto(dllUnderTest, stage->directory + file)) {
                *error = L"cannot copy the DLL under test to " + stage->directory + file + L": " +
                         win32::ErrorText(GetLastError());
                return false;
            }
        } else if (!CopyInto(source + file, stage->directory + file)) {
            std::wstring note = L"the package's file " + source;
            note += file;
            note += L" could not be staged: ";
            note += win32::ErrorText(GetLastError());
            stage->notes.push_back(note);
        }
    }
    if (package.listedDll.empty()) {
        stage->notes.push_back(L"the INF's SourceDisksFiles does not list VELDRIAN.dll, so SetupAPI has no "
                               L"VELDRIAN.dll to copy");
        CopyInto(dllUnderTest, stage->directory + kVeldrianFile);
    }
    return true;
}

bool CopiedFiles(const Package &package, const InfModel &model, std::vector<std::wstring> *paths,
                 std::wstring *error)
{
    const inf::Inf &inf = package.description->inf;
    const std::wstring installed = model.installSection.empty() ? model.section : model.installSection;
    for (const std::wstring &section : {installed, installed + L".CoInstallers"}) {
        for (const inf::CopiedFile &copy : inf::CopiedFiles(inf, section)) {
            const inf::InfLine *destination = inf::DestinationOf(inf, copy);
            if (destination == nullptr) {
                continue;  // the platform copies it nowhere
            }
            const int id = static_cast<int>(std::wcstol(destination->field(1).c_str(), nullptr, 10));
            const std::wstring subdirectory = destination->field(2);
            std::wstring directory = DirectoryOfId(id, subdirectory);
            if (directory.empty()) {
                *error = L"the INF's DestinationDirs names directory " + destination->field(1) + L" for " +
                         inf::Bracketed(copy.section) + L", which this host cannot resolve";
                return false;
            }
            if (id != -1 && !subdirectory.empty()) {
                directory += L"\\" + subdirectory;
            }
            AddOnce(paths, directory + L"\\" + copy.target);
        }
    }
    return true;
}

}  // namespace host
