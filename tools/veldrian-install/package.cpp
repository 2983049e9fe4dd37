#include "package.h"

#include "win32/errors.h"
#include "win32/files.h"
#include "win32/paths.h"
#include "win32/text.h"

#include <setupapi.h>

#include <algorithm>
#include <cwctype>

namespace host {

namespace {

constexpr wchar_t kVeldrianFile[] = L"VELDRIAN.dll";

bool SameText(const std::wstring &a, const std::wstring &b)
{
    return lstrcmpiW(a.c_str(), b.c_str()) == 0;
}

bool StartsWithText(const std::wstring &text, const std::wstring &start)
{
    return text.size() >= start.size() && SameText(text.substr(0, start.size()), start);
}

std::wstring Directory(const std::wstring &path)
{
    const std::size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
}

std::wstring JoinRelative(std::wstring a, const std::wstring &b)
{
    while (!a.empty() && (a.front() == L'\\' || a.front() == L'.')) {
        a.erase(a.begin());
    }
    if (!a.empty() && a.back() != L'\\') {
        a += L'\\';
    }
    std::wstring rest = b;
    while (!rest.empty() && rest.front() == L'\\') {
        rest.erase(rest.begin());
    }
    return a + rest;
}

// The path of each disk of SourceDisksNames, by disk ID.
std::wstring DiskPath(HINF inf, const std::wstring &diskId)
{
    for (const wchar_t *section : {L"SourceDisksNames.amd64", L"SourceDisksNames"}) {
        INFCONTEXT context;
        if (SetupFindFirstLineW(inf, section, diskId.c_str(), &context)) {
            return InfField(&context, 4);
        }
    }
    return L"";
}

void ReadSourceFiles(HINF inf, Package *package)
{
    for (const wchar_t *section : {L"SourceDisksFiles.amd64", L"SourceDisksFiles"}) {
        INFCONTEXT context;
        if (!SetupFindFirstLineW(inf, section, nullptr, &context)) {
            continue;
        }
        do {
            const std::wstring name = InfField(&context, 0);
            if (name.empty()) {
                continue;
            }
            const std::wstring relative =
                JoinRelative(JoinRelative(DiskPath(inf, InfField(&context, 1)), InfField(&context, 2)), name);
            const bool known =
                std::any_of(package->files.begin(), package->files.end(),
                            [&](const std::wstring &file) { return SameText(file, relative); });
            if (!known) {
                package->files.push_back(relative);
            }
        } while (SetupFindNextLine(&context, &context));
    }
}

bool CopyInto(const std::wstring &from, const std::wstring &to)
{
    const std::wstring directory = Directory(to);
    // Make each directory level below the stage.
    for (std::size_t at = directory.find(L'\\', 3); at != std::wstring::npos;
         at = directory.find(L'\\', at + 1)) {
        CreateDirectoryW(directory.substr(0, at).c_str(), nullptr);
    }
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != FALSE;
}

}  // namespace

std::wstring InfField(INFCONTEXT *context, DWORD index)
{
    DWORD size = 0;
    if (!SetupGetStringFieldW(context, index, nullptr, 0, &size) || size == 0) {
        return L"";
    }
    std::wstring text(size, L'\0');
    if (!SetupGetStringFieldW(context, index, text.data(), size, nullptr)) {
        return L"";
    }
    text.resize(size - 1);
    return text;
}

bool InfSectionExists(HINF inf, const std::wstring &section)
{
    return SetupGetLineCountW(inf, section.c_str()) >= 0;
}

std::wstring Models64Section(HINF inf, INFCONTEXT *manufacturer)
{
    const std::wstring base = InfField(manufacturer, 1);
    const DWORD fields = SetupGetFieldCount(manufacturer);
    for (DWORD index = 2; index <= fields; ++index) {
        const std::wstring decoration = InfField(manufacturer, index);
        std::wstring section = base;
        section += L'.';
        section += decoration;
        if ((SameText(decoration, L"NTamd64") || StartsWithText(decoration, L"NTamd64.")) &&
            InfSectionExists(inf, section)) {
            return section;
        }
    }
    return L"";
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
    return Directory(path);
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

namespace {

// An INF is UTF-16 with its byte-order mark, or text in the ANSI code page. One
// line when it is neither text nor read as its author wrote it, else "".
std::wstring CheckInfText(const std::wstring &infPath, std::vector<std::wstring> *notes)
{
    std::string bytes;
    if (!win32::ReadWholeFile(infPath, &bytes)) {
        return L"cannot read the INF " + infPath + L": " + win32::ErrorText(GetLastError());
    }
    const bool utf16 = bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
                       static_cast<unsigned char>(bytes[1]) == 0xFE;
    if (utf16) {
        return L"";
    }
    bool wide = false;
    bool ascii = true;
    for (char byte : bytes) {
        wide = wide || byte == '\0';
        ascii = ascii && static_cast<unsigned char>(byte) < 0x80;
    }
    if (wide) {
        return L"the INF " + infPath +
               L" is not a text file (it holds NUL bytes and no UTF-16 byte-order mark)";
    }
    bool utf8 = false;
    win32::FromCodePage(CP_UTF8, std::string(bytes.begin(), bytes.end()), &utf8);
    if (!ascii && utf8) {
        notes->push_back(
            L"the INF is UTF-8: SetupAPI reads an INF without a UTF-16 byte-order mark in the ANSI "
            L"code page, so its non-ASCII text is misread; save it as UTF-16 (Unicode)");
    }
    return L"";
}

// The models of every 64-bit models section; *names lists the sections found otherwise.
void ReadModels(HINF inf, Package *package, std::wstring *otherSections)
{
    INFCONTEXT context;
    if (!SetupFindFirstLineW(inf, L"Manufacturer", nullptr, &context)) {
        return;
    }
    do {
        const std::wstring section = Models64Section(inf, &context);
        if (section.empty()) {
            const DWORD fields = SetupGetFieldCount(&context);
            for (DWORD index = 1; index <= fields; ++index) {
                const std::wstring name =
                    InfField(&context, 1) + (index == 1 ? L"" : L"." + InfField(&context, index));
                *otherSections += (otherSections->empty() ? L"[" : L", [") + name + L"]";
            }
            continue;
        }
        INFCONTEXT model;
        if (!SetupFindFirstLineW(inf, section.c_str(), nullptr, &model)) {
            continue;
        }
        do {
            InfModel entry{InfField(&model, 0), InfField(&model, 1), InfField(&model, 2)};
            if (!entry.name.empty() && !entry.hardwareId.empty()) {
                package->models.push_back(entry);
            }
        } while (SetupFindNextLine(&model, &model));
    } while (SetupFindNextLine(&context, &context));
}

}  // namespace

bool ReadPackage(const std::wstring &infPath, Package *package, std::wstring *error)
{
    package->infPath = infPath;
    const DWORD attributes = GetFileAttributesW(infPath.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *error = L"cannot read the INF " + infPath + L": there is no such file";
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *error = L"the INF " + infPath + L" is a folder, not a file";
        return false;
    }
    *error = CheckInfText(infPath, &package->notes);
    if (!error->empty()) {
        return false;
    }
    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
    if (inf == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        *error = L"cannot read the INF " + infPath + L": " + win32::ErrorText(code) +
                 (errorLine != 0 ? L" at line " + std::to_wstring(errorLine) : L"");
        return false;
    }

    INFCONTEXT context;
    std::wstring infClass;
    if (SetupFindFirstLineW(inf, L"Version", L"Class", &context)) {
        infClass = InfField(&context, 1);
    }
    std::wstring otherSections;
    if (!SameText(infClass, L"Printer")) {
        *error = L"the INF " + infPath + L" is not a printer package (its Version section says Class=" +
                 infClass + L", not Printer)";
    } else {
        ReadModels(inf, package, &otherSections);
        ReadSourceFiles(inf, package);
    }
    SetupCloseInfFile(inf);
    if (error->empty() && package->models.empty()) {
        *error = L"the INF " + infPath +
                 L" has no models for 64-bit Windows: no models section of [Manufacturer] " +
                 L"is decorated with NTamd64" +
                 (otherSections.empty() ? L"" : L" (it names " + otherSections + L")");
    }
    for (const std::wstring &file : package->files) {
        const std::size_t slash = file.find_last_of(L'\\');
        // The first is SourceDisksFiles.amd64's where it lists the DLL: 64-bit Windows reads that one.
        if (package->listedDll.empty() &&
            SameText(slash == std::wstring::npos ? file : file.substr(slash + 1), kVeldrianFile)) {
            package->listedDll = file;
        }
    }
    if (!package->listedDll.empty() && win32::FileExists(Directory(infPath) + package->listedDll)) {
        package->ownDll = Directory(infPath) + package->listedDll;
    }
    return error->empty();
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
    const std::wstring source = Directory(package.infPath);
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

namespace {

std::wstring TargetDirectory(HINF inf, const std::wstring &copySection)
{
    wchar_t directory[MAX_PATH] = {};
    if (!SetupGetTargetPathW(inf, nullptr, copySection.empty() ? nullptr : copySection.c_str(), directory,
                             MAX_PATH, nullptr)) {
        return L"";
    }
    std::wstring path = directory;
    return path.empty() || path.back() == L'\\' ? path : path + L"\\";
}

void AddOnce(std::vector<std::wstring> *paths, const std::wstring &path)
{
    if (std::none_of(paths->begin(), paths->end(),
                     [&](const std::wstring &item) { return SameText(item, path); })) {
        paths->push_back(path);
    }
}

// The files one CopyFiles entry names: a copy section's lines, or "@file" to DefaultDestDir.
void AddCopyEntry(HINF inf, const std::wstring &entry, std::vector<std::wstring> *paths)
{
    if (entry.rfind(L'@', 0) == 0) {
        const std::wstring directory = TargetDirectory(inf, L"");
        if (!directory.empty()) {
            AddOnce(paths, directory + entry.substr(1));
        }
        return;
    }
    const std::wstring directory = TargetDirectory(inf, entry);
    INFCONTEXT line;
    if (directory.empty() || !SetupFindFirstLineW(inf, entry.c_str(), nullptr, &line)) {
        return;
    }
    do {
        const std::wstring name = InfField(&line, 1);
        if (!name.empty()) {
            AddOnce(paths, directory + name);
        }
    } while (SetupFindNextLine(&line, &line));
}

}  // namespace

std::vector<std::wstring> CopiedFiles(const std::wstring &infPath, const std::wstring &section)
{
    std::vector<std::wstring> paths;
    HINF inf = SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        return paths;
    }
    wchar_t actual[MAX_PATH] = {};
    if (!SetupDiGetActualSectionToInstallW(inf, section.c_str(), actual, MAX_PATH, nullptr, nullptr)) {
        // A section name the platform could not resolve is read as the package names it.
        section.copy(actual, std::min<std::size_t>(section.size(), MAX_PATH - 1));
    }
    for (const std::wstring &installed : {std::wstring(actual), std::wstring(actual) + L".CoInstallers"}) {
        INFCONTEXT line;
        if (!SetupFindFirstLineW(inf, installed.c_str(), L"CopyFiles", &line)) {
            continue;
        }
        do {
            const DWORD fields = SetupGetFieldCount(&line);
            for (DWORD index = 1; index <= fields; ++index) {
                AddCopyEntry(inf, InfField(&line, index), &paths);
            }
        } while (SetupFindNextMatchLineW(&line, L"CopyFiles", &line));
    }
    SetupCloseInfFile(inf);
    return paths;
}

}  // namespace host
