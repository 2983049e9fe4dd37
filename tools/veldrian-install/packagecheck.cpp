#include "packagecheck.h"

#include "package.h"
#include "win32/errors.h"
#include "win32/files.h"

#include <windows.h>
#include <setupapi.h>

namespace host {

namespace {

constexpr wchar_t kVeldrianEntry[] = L"VELDRIAN.dll,CoInstallerE";
constexpr DWORD kSystemDirectoryId = 11;

std::wstring Bracketed(const std::wstring &section)
{
    return L"[" + section + L"]";
}

std::wstring Hex(DWORD value)
{
    wchar_t text[16];
    wsprintfW(text, L"0x%08X", value);
    return text;
}

std::wstring WithoutBlanks(const std::wstring &text)
{
    std::wstring result;
    for (wchar_t c : text) {
        if (c != L' ' && c != L'\t') {
            result += c;
        }
    }
    return result;
}

// Every section that the lines named `key` of `section` list (AddReg=a,b; CopyFiles=c).
std::vector<std::wstring> ListedSections(HINF inf, const std::wstring &section, const wchar_t *key)
{
    std::vector<std::wstring> sections;
    INFCONTEXT context;
    if (!SetupFindFirstLineW(inf, section.c_str(), key, &context)) {
        return sections;
    }
    do {
        const DWORD fields = SetupGetFieldCount(&context);
        for (DWORD index = 1; index <= fields; ++index) {
            const std::wstring name = InfField(&context, index);
            if (!name.empty()) {
                sections.push_back(name);
            }
        }
    } while (SetupFindNextMatchLineW(&context, key, &context));
    return sections;
}

// The CoInstallers32 line of the AddReg sections: one finding, or none when it
// writes "VELDRIAN.dll,CoInstallerE" into the driver key as REG_MULTI_SZ.
std::wstring CheckRegistration(HINF inf, const std::wstring &coSection)
{
    std::wstring found;  // the last CoInstallers32 line's finding, when it has one
    bool written = false;
    for (const std::wstring &addReg : ListedSections(inf, coSection, L"AddReg")) {
        INFCONTEXT line;
        if (!SetupFindFirstLineW(inf, addReg.c_str(), nullptr, &line)) {
            continue;
        }
        do {
            if (lstrcmpiW(InfField(&line, 1).c_str(), L"HKR") != 0 || !InfField(&line, 2).empty() ||
                lstrcmpiW(InfField(&line, 3).c_str(), L"CoInstallers32") != 0) {
                continue;
            }
            written = true;
            INT flags = 0;
            SetupGetIntField(&line, 4, &flags);
            const DWORD type = static_cast<DWORD>(flags) & (FLG_ADDREG_TYPE_MASK);
            std::wstring entries;
            bool listed = false;
            for (DWORD index = 5; index <= SetupGetFieldCount(&line); ++index) {
                const std::wstring entry = InfField(&line, index);
                listed = listed || lstrcmpiW(WithoutBlanks(entry).c_str(), kVeldrianEntry) == 0;
                entries += (entries.empty() ? L"\"" : L", \"") + entry + L"\"";
            }
            if (type != FLG_ADDREG_TYPE_MULTI_SZ) {
                found = Bracketed(addReg) + L" writes CoInstallers32 with flags " +
                        Hex(static_cast<DWORD>(flags)) + L", not as REG_MULTI_SZ (0x00010000)";
            } else if (!listed) {
                found = Bracketed(addReg) + L"'s CoInstallers32 does not list \"" + kVeldrianEntry +
                        L"\" (it lists " + (entries.empty() ? std::wstring(L"nothing") : entries) + L")";
            } else {
                return L"";
            }
        } while (SetupFindNextLine(&line, &line));
    }
    if (!written) {
        return L"no AddReg section of " + Bracketed(coSection) + L" writes HKR,,CoInstallers32 (\"" +
               kVeldrianEntry + L"\")";
    }
    return found;
}

// The directory a copy section goes to: its DestinationDirs line, or DefaultDestDir.
int DestinationOf(HINF inf, const std::wstring &copySection)
{
    INFCONTEXT context;
    if (!SetupFindFirstLineW(inf, L"DestinationDirs", copySection.c_str(), &context) &&
        !SetupFindFirstLineW(inf, L"DestinationDirs", L"DefaultDestDir", &context)) {
        return -1;
    }
    INT directory = -1;
    SetupGetIntField(&context, 1, &directory);
    return directory;
}

// The CopyFiles lines: one finding, or none when VELDRIAN.dll goes to the system directory.
std::wstring CheckCopy(HINF inf, const std::wstring &coSection)
{
    for (const std::wstring &copy : ListedSections(inf, coSection, L"CopyFiles")) {
        bool listsDll = false;
        if (copy.front() == L'@') {
            listsDll = lstrcmpiW(copy.c_str() + 1, L"VELDRIAN.dll") == 0;
        } else {
            INFCONTEXT line;
            if (SetupFindFirstLineW(inf, copy.c_str(), nullptr, &line)) {
                do {
                    listsDll = listsDll || lstrcmpiW(InfField(&line, 1).c_str(), L"VELDRIAN.dll") == 0;
                } while (SetupFindNextLine(&line, &line));
            }
        }
        if (!listsDll) {
            continue;
        }
        const int directory = DestinationOf(inf, copy.front() == L'@' ? L"DefaultDestDir" : copy);
        if (directory == static_cast<int>(kSystemDirectoryId)) {
            return L"";
        }
        return directory < 0
                   ? L"DestinationDirs names no directory for " + Bracketed(copy) + L" (11 is wanted)"
                   : L"VELDRIAN.dll is copied to DestinationDirs " + std::to_wstring(directory) +
                         L", not 11 (the system directory, where SetupAPI loads it from)";
    }
    return L"no CopyFiles line of " + Bracketed(coSection) + L" copies VELDRIAN.dll";
}

void CheckModel(HINF inf, ModelCheck *model, const std::wstring &ddInstall)
{
    if (const std::wstring reason = CheckPrinterName(model->name); !reason.empty()) {
        model->findings.push_back(reason);
    }
    if (model->hardwareId.empty()) {
        model->findings.push_back(L"the model's line names no hardware ID");
    }
    wchar_t actual[LINE_LEN] = {};
    if (!SetupDiGetActualSectionToInstallW(inf, ddInstall.c_str(), actual, LINE_LEN, nullptr, nullptr) ||
        !InfSectionExists(inf, actual)) {
        model->findings.push_back(L"no DDInstall section " + Bracketed(ddInstall) +
                                  L" (nor a decorated one)");
        return;
    }
    model->ddInstall = actual;
    model->coInstallers = model->ddInstall + L".CoInstallers";
    if (!InfSectionExists(inf, model->coInstallers)) {
        const std::wstring plain = ddInstall + L".CoInstallers";
        model->findings.push_back(
            L"no section " + Bracketed(model->coInstallers) +
            L": the platform looks for the co-installers of " + Bracketed(model->ddInstall) + L" there" +
            (plain != model->coInstallers && InfSectionExists(inf, plain)
                 ? L" (" + Bracketed(plain) + L" is there, without the decoration of its DDInstall section)"
                 : L""));
        return;
    }
    for (const std::wstring &finding :
         {CheckRegistration(inf, model->coInstallers), CheckCopy(inf, model->coInstallers)}) {
        if (!finding.empty()) {
            model->findings.push_back(finding);
        }
    }
}

// The models of every 64-bit models section of [Manufacturer].
void CheckModels(HINF inf, PackageCheck *check)
{
    INFCONTEXT context;
    if (!SetupFindFirstLineW(inf, L"Manufacturer", nullptr, &context)) {
        check->findings.push_back(L"the INF has no [Manufacturer] section");
        return;
    }
    do {
        const std::wstring base = InfField(&context, 1);
        const std::wstring section = Models64Section(inf, &context);
        if (section.empty()) {
            check->findings.push_back(
                L"the manufacturer's models section " + Bracketed(base) +
                L" has no NTamd64 decoration: 64-bit Windows installs none of its models");
            continue;
        }
        INFCONTEXT line;
        if (!SetupFindFirstLineW(inf, section.c_str(), nullptr, &line)) {
            check->findings.push_back(Bracketed(section) + L" lists no model");
            continue;
        }
        do {
            ModelCheck model;
            model.name = InfField(&line, 0);
            model.hardwareId = InfField(&line, 2);
            CheckModel(inf, &model, InfField(&line, 1));
            check->models.push_back(model);
        } while (SetupFindNextLine(&line, &line));
    } while (SetupFindNextLine(&context, &context));
}

}  // namespace

std::wstring CheckPrinterName(const std::wstring &name)
{
    if (name.find_first_of(L"\\,") != std::wstring::npos) {
        return L"the model name \"" + name +
               L"\" cannot name a print queue: Windows forbids \\ and , in printer names";
    }
    return L"";
}

std::wstring CheckVeldrianDll(const std::wstring &path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return path + L": there is no such file";
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return path + L" is a folder, not a DLL";
    }
    std::string bytes;
    if (!win32::ReadWholeFile(path, &bytes)) {
        return path + L" cannot be read: " + win32::ErrorText(GetLastError());
    }
    const auto *dos = reinterpret_cast<const IMAGE_DOS_HEADER *>(bytes.data());
    if (bytes.size() < sizeof(IMAGE_DOS_HEADER) || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
        bytes.size() < static_cast<std::size_t>(dos->e_lfanew) + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER)) {
        return path + L" is not a DLL (it has no Windows executable header)";
    }
    DWORD signature = 0;
    IMAGE_FILE_HEADER header = {};
    memcpy(&signature, bytes.data() + dos->e_lfanew, sizeof(signature));
    memcpy(&header, bytes.data() + dos->e_lfanew + sizeof(signature), sizeof(header));
    if (signature != IMAGE_NT_SIGNATURE) {
        return path + L" is not a DLL (it has no Windows executable header)";
    }
    if (header.Machine == IMAGE_FILE_MACHINE_I386) {
        return path + L" is a 32-bit DLL: 64-bit Windows loads only a 64-bit (x64) VELDRIAN.dll";
    }
    if (header.Machine != IMAGE_FILE_MACHINE_AMD64) {
        return path + L" is not an x64 DLL (machine " + Hex(header.Machine) + L")";
    }
    if ((header.Characteristics & IMAGE_FILE_DLL) == 0) {
        return path + L" is a program, not a DLL";
    }
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    if (module == nullptr) {
        return path + L" cannot be loaded: " + win32::ErrorText(GetLastError());
    }
    const bool hasEntry = GetProcAddress(module, "CoInstallerE") != nullptr;
    FreeLibrary(module);
    return hasEntry ? L"" : path + L" has no export CoInstallerE";
}

PackageCheck CheckPackage(const std::wstring &infPath, const std::wstring &dll)
{
    PackageCheck check;
    Package package;
    std::wstring error;
    if (!ReadPackage(infPath, &package, &error)) {
        check.findings.push_back(error);
        return check;
    }
    for (const std::wstring &note : package.notes) {
        check.findings.push_back(note);
    }
    UINT errorLine = 0;
    HINF inf = SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, &errorLine);
    CheckModels(inf, &check);
    SetupCloseInfFile(inf);

    if (package.listedDll.empty()) {
        check.findings.push_back(
            L"SourceDisksFiles does not list VELDRIAN.dll, so SetupAPI has no file to copy");
    }
    const std::wstring checked =
        !dll.empty()
            ? dll
            : InfDirectory(infPath) + (package.listedDll.empty() ? L"VELDRIAN.dll" : package.listedDll);
    if (const std::wstring reason = CheckVeldrianDll(checked); !reason.empty()) {
        check.findings.push_back(reason);
    }
    return check;
}

}  // namespace host
