#include "packagecheck.h"

#include "dllfile.h"
#include "inftext.h"
#include "win32/files.h"

#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cwchar>
#include <iterator>
#include <map>
#include <set>

namespace host {

namespace {

using inf::Architecture;
using inf::Bracketed;
using inf::CopiedFile;
using inf::CopiedFiles;
using inf::DestinationOf;
using inf::Folded;
using inf::Inf;
using inf::InfLine;
using inf::kArm64;
using inf::ListedSections;
using inf::SameText;
using inf::SourceOf;
using inf::WithoutBlanks;

constexpr wchar_t kVeldrianFile[] = L"VELDRIAN.dll";
constexpr wchar_t kVeldrianEntry[] = L"VELDRIAN.dll,CoInstallerE";
constexpr wchar_t kSystemDirectory[] = L"11";
// VELDRIAN forms a profile's default printer, the queue name, a comma and the profile's
// Devices entry for the queue ("winspool,<port>" on Windows) with its terminator, in
// 260 bytes; a profile whose text would be longer is skipped.
constexpr std::size_t kDefaultPrinterBytes = 260;
constexpr wchar_t kDevicesEntryStart[] = L"winspool,";

constexpr wchar_t kSigningNote[] =
    L"from Windows 11 22H2, a driver package with a DDInstall.CoInstallers section is no longer "
    L"eligible for a signature from the Hardware Developer Center (InfVerif error 1303, \"legacy AddReg "
    L"operation defining co-installers\", under /u, /w and /h); such a package ships with a catalog "
    L"signed by the publisher's own certificate, trusted on the target machines";

struct Checker {
    const Package &package;
    const Inf &inf;
    std::wstring infDirectory;
    std::wstring dll;                        // --dll, or ""
    std::wstring port;                       // --port, or ""
    std::map<std::wstring, DllFile> dlls;    // read once each, by path
    std::map<std::wstring, bool> files;      // whether each exists, looked up once
    std::set<std::wstring> packageFindings;  // each said once
    PackageCheck *check;

    void packageFinding(const std::wstring &finding, bool refuses = false)
    {
        if (packageFindings.insert(finding).second) {
            check->findings.push_back(finding);
            if (refuses) {
                check->refusals.push_back(finding);
            }
        }
    }
    bool exists(const std::wstring &relative)
    {
        auto found = files.find(Folded(relative));
        if (found == files.end()) {
            found = files.emplace(Folded(relative), win32::FileExists(infDirectory + relative)).first;
        }
        return found->second;
    }
    const DllFile &dllFile(const std::wstring &path)
    {
        auto found = dlls.find(path);
        if (found == dlls.end()) {
            found = dlls.emplace(path, ReadDll(path)).first;
        }
        return found->second;
    }
};

// The CoInstallers32 entries that the AddReg sections of `coSection` write. One
// finding, or none when one line writes "VELDRIAN.dll,CoInstallerE" into the
// driver key as REG_MULTI_SZ.
std::wstring CheckRegistration(const Inf &inf, const std::wstring &coSection,
                               std::vector<std::wstring> *entries)
{
    std::wstring found;  // the last CoInstallers32 line's finding, when it has one
    bool written = false;
    for (const std::wstring &addReg : ListedSections(inf, coSection, L"AddReg")) {
        for (const InfLine &line : inf.lines(addReg)) {
            if (!SameText(line.field(1), L"HKR") || !line.field(2).empty() ||
                !SameText(line.field(3), L"CoInstallers32")) {
                continue;
            }
            written = true;
            const DWORD flags = wcstoul(line.field(4).c_str(), nullptr, 0);
            std::wstring listedText;
            bool listed = false;
            for (std::size_t index = 5; index <= line.fields.size(); ++index) {
                const std::wstring entry = line.field(index);
                entries->push_back(entry);
                listed = listed || SameText(WithoutBlanks(entry), kVeldrianEntry);
                listedText += (listedText.empty() ? L"\"" : L", \"") + entry + L"\"";
            }
            if ((flags & FLG_ADDREG_TYPE_MASK) != FLG_ADDREG_TYPE_MULTI_SZ) {
                found = Bracketed(addReg) + L" writes CoInstallers32 with flags " + Hex(flags, 8) +
                        L", not as REG_MULTI_SZ (0x00010000)";
            } else if (!listed) {
                found = Bracketed(addReg) + L"'s CoInstallers32 does not list \"" + kVeldrianEntry +
                        L"\" (it lists " + (listedText.empty() ? std::wstring(L"nothing") : listedText) +
                        L")";
            } else {
                return L"";
            }
        }
    }
    if (!written) {
        return L"no AddReg section of " + Bracketed(coSection) + L" writes HKR,,CoInstallers32 (\"" +
               kVeldrianEntry + L"\")";
    }
    return found;
}

// The CopyFiles entry of `coSection` that copies a file named `name`, if any.
bool FindCopy(const Inf &inf, const std::wstring &coSection, const std::wstring &name, CopiedFile *copy)
{
    const std::vector<CopiedFile> copies = CopiedFiles(inf, coSection);
    const auto found =
        std::ranges::find_if(copies, [&name](const CopiedFile &file) { return SameText(file.target, name); });
    if (found != copies.end()) {
        *copy = *found;
    }
    return found != copies.end();
}

// The directory ID a copy goes to, or "" when DestinationDirs names none.
std::wstring DestinationIdOf(const Inf &inf, const CopiedFile &copy)
{
    const InfLine *line = DestinationOf(inf, copy);
    return line == nullptr ? L"" : line->field(1);
}

// The copy of VELDRIAN.dll: to the system directory, from a file built for the architecture.
void CheckCopy(Checker &checker, const Architecture &architecture, ModelCheck *model)
{
    CopiedFile copy;
    if (!FindCopy(checker.inf, model->coInstallers, kVeldrianFile, &copy)) {
        model->findings.push_back(L"no CopyFiles line of " + Bracketed(model->coInstallers) +
                                  L" copies VELDRIAN.dll");
        return;
    }
    const std::wstring directory = DestinationIdOf(checker.inf, copy);
    if (directory.empty()) {
        model->findings.push_back(L"DestinationDirs names no directory for " + Bracketed(copy.section) +
                                  L" (11 is wanted)");
    } else if (directory != kSystemDirectory) {
        model->findings.push_back(L"VELDRIAN.dll is copied to DestinationDirs " + directory +
                                  L", not 11 (the system directory, where SetupAPI loads it from)");
    }
    std::wstring relative;
    if (!SourceOf(checker.inf, architecture, copy.source, &relative)) {
        checker.packageFinding(L"SourceDisksFiles does not list " + copy.source +
                               L", so SetupAPI has no file to copy (for the " + architecture.name +
                               L" models)");
        return;
    }
    const bool replaced = !checker.dll.empty() && (checker.dllFile(checker.dll).machine == kArm64.machine) ==
                                                      (architecture.machine == kArm64.machine);
    const std::wstring path = replaced ? checker.dll : checker.infDirectory + relative;
    const DllFile &dll = checker.dllFile(path);
    if (!dll.reason.empty()) {
        // A faulty DLL concerns every model of its architecture.
        model->findings.push_back(dll.reason);
    } else if (dll.machine != architecture.machine) {
        model->findings.push_back(std::wstring(L"the ") + architecture.name + L" installation would copy " +
                                  (replaced ? path : relative) + L", an " + MachineName(dll.machine) +
                                  L" DLL (machine " + Hex(dll.machine, 4) + L"): " + architecture.name +
                                  L" Windows loads only an " + architecture.name +
                                  L" VELDRIAN.dll (machine " + Hex(architecture.machine, 4) + L")");
    }
}

// Another co-installer that CoInstallers32 names must be a file the package copies
// (CopyFiles of the same section), or Windows has none to load and fails the
// installation: one finding, or none. Where the copy comes from is the rule on every
// copied file (CheckFiles).
std::wstring CheckOtherCoInstaller(const Inf &inf, const Architecture &architecture,
                                   const std::wstring &entry, const std::wstring &coSection)
{
    const std::wstring file = WithoutBlanks(entry.substr(0, entry.find(L',')));
    if (file.empty() || SameText(file, kVeldrianFile) || file.find_first_of(L"\\:/") != std::wstring::npos) {
        return L"";
    }
    CopiedFile copy;
    std::wstring relative;
    if (FindCopy(inf, coSection, file, &copy)) {
        return L"";
    }
    const std::wstring unloadable =
        L": SetupAPI has no " + file + L" to load, and Windows fails the installation";
    if (SourceOf(inf, architecture, file, &relative)) {
        return L"CoInstallers32 lists \"" + entry + L"\", but no CopyFiles of " + Bracketed(coSection) +
               L" copies " + file + unloadable;
    }
    return L"CoInstallers32 lists \"" + entry + L"\", but the package neither ships " + file +
           L" (SourceDisksFiles) nor copies it (CopyFiles of " + Bracketed(coSection) + L")" + unloadable;
}

// Every file the model's installation copies must be listed in SourceDisksFiles and lie
// where it says: Windows fails an installation that lacks one. VELDRIAN.dll is CheckCopy's.
void CheckFiles(Checker &checker, const inf::Model &described, ModelCheck *model)
{
    for (const inf::InstalledFile &file : inf::InstalledFiles(checker.inf, described)) {
        if (SameText(file.copy.target, kVeldrianFile)) {
            continue;
        }
        const std::wstring copier = file.copy.section.front() == L'@'
                                        ? Bracketed(file.copiedBy) + L" copies " + file.copy.source
                                        : Bracketed(file.copy.section) + L" copies " + file.copy.source +
                                              L" (CopyFiles of " + Bracketed(file.copiedBy) + L")";
        std::wstring finding;
        if (!file.listed) {
            finding = copier + L", but SourceDisksFiles does not list it: Windows has no source for it and "
                               L"fails the installation";
        } else if (!checker.exists(file.relative)) {
            finding = copier + L", which the package lacks: SourceDisksFiles puts it at " + file.relative +
                      L" beside the INF, and there is no such file; Windows fails the installation";
        }
        if (!finding.empty()) {
            model->findings.push_back(finding);
            model->refusals.push_back(finding);
        }
    }
}

// What must fit VELDRIAN's 260-byte default-printer text: the queue name (the model
// name), a comma, the profile's Devices entry for the port and the terminator.
void CheckNameLength(const Checker &checker, const inf::Model &described, ModelCheck *model)
{
    const std::wstring port = PortOf(checker.package, described, checker.port);
    const std::wstring entry = kDevicesEntryStart + port;
    const std::size_t bytes = (model->name.size() + 1 + entry.size() + 1) * sizeof(wchar_t);
    if (bytes <= kDefaultPrinterBytes) {
        return;
    }
    const std::size_t most = kDefaultPrinterBytes / sizeof(wchar_t) - entry.size() - 2;
    model->findings.push_back(
        L"the model name has " + std::to_wstring(model->name.size()) +
        L" characters: the print queue gets that name, and with a comma, the Devices "
        L"entry \"" +
        entry + L"\" and the terminator it takes " + std::to_wstring(bytes) + L" bytes of the " +
        std::to_wstring(kDefaultPrinterBytes) +
        L" VELDRIAN gives a profile's default printer, so VELDRIAN skips every profile (" +
        std::to_wstring(most) + L" characters at most on port " + port + L")");
}

void CheckModel(Checker &checker, const inf::Model &described, ModelCheck *model)
{
    if (const std::wstring reason = CheckPrinterName(model->name); !reason.empty()) {
        model->findings.push_back(reason);
        model->refusals.push_back(reason);
    }
    CheckNameLength(checker, described, model);
    if (model->hardwareId.empty()) {
        model->findings.push_back(L"the model's line names no hardware ID");
    }
    CheckFiles(checker, described, model);
    if (model->ddInstall.empty()) {
        model->findings.push_back(L"no DDInstall section " + Bracketed(described.ddInstall) +
                                  L" (nor a decorated one)");
        return;
    }
    if (!checker.inf.has(model->coInstallers)) {
        const std::wstring plain = described.ddInstall + L".CoInstallers";
        model->findings.push_back(
            L"no section " + Bracketed(model->coInstallers) +
            L": the platform looks for the co-installers of " + Bracketed(model->ddInstall) + L" there" +
            (!SameText(plain, model->coInstallers) && checker.inf.has(plain)
                 ? L" (" + Bracketed(plain) + L" is there, without the decoration of its DDInstall section)"
                 : L""));
        return;
    }
    std::vector<std::wstring> entries;
    if (const std::wstring finding = CheckRegistration(checker.inf, model->coInstallers, &entries);
        !finding.empty()) {
        model->findings.push_back(finding);
    }
    CheckCopy(checker, *described.architecture, model);
    for (const std::wstring &entry : entries) {
        if (const std::wstring finding =
                CheckOtherCoInstaller(checker.inf, *described.architecture, entry, model->coInstallers);
            !finding.empty()) {
            model->findings.push_back(finding);
            model->refusals.push_back(finding);
        }
    }
}

// What the [Manufacturer] section gives 64-bit Windows, as findings of the package.
void CheckManufacturer(const inf::Package &description, PackageCheck *check)
{
    if (!description.hasManufacturer) {
        check->findings.push_back(L"the INF has no [Manufacturer] section");
    }
    for (const inf::ModelsChoice &choice : description.choices) {
        if (!choice.exists) {
            check->findings.push_back(L"[Manufacturer] names " + Bracketed(choice.section) + L" for the " +
                                      choice.architecture->name + L" models (decoration " +
                                      choice.decoration + L"), but the INF has no such section: " +
                                      choice.architecture->name +
                                      L" Windows installs none of that manufacturer's models");
        } else if (description.inf.lines(choice.section).empty()) {
            check->findings.push_back(Bracketed(choice.section) + L" lists no model");
        }
        if (choice.exists && choice.osVersion && choice.architecture == &inf::kX64) {
            check->notes.push_back(
                L"the x64 models come from " + Bracketed(choice.section) +
                L", whose decoration names an OS version: Windows installs them, but Wine's "
                L"SetupAPI installs only from a models section decorated NTamd64 alone, so "
                L"tools/run.sh cannot try them here");
        }
    }
    for (const std::wstring &section : description.undecorated) {
        check->findings.push_back(L"the manufacturer's models section " + Bracketed(section) +
                                  L" has no NTamd64 or NTarm64 decoration: 64-bit Windows installs none "
                                  L"of its models");
    }
}

// The catalog each architecture's installation names must be in the package: Windows
// refuses a package whose catalog is missing.
void CheckCatalogs(Checker &checker, const inf::Package &description)
{
    for (const inf::Architecture *architecture : inf::kArchitectures) {
        const std::wstring catalog = inf::CatalogOf(description.inf, *architecture);
        const bool used = std::ranges::any_of(
            description.models, [&](const inf::Model &model) { return model.architecture == architecture; });
        if (used && !catalog.empty() && !checker.exists(catalog)) {
            checker.packageFinding(
                L"[Version] names the catalog " + catalog +
                    L" (CatalogFile), which the package lacks: Windows refuses to install a "
                    L"package whose catalog is missing",
                true);
        }
    }
    for (const inf::UnnamedModelLine &line : description.unnamed) {
        checker.packageFinding(Bracketed(line.section) + L" has a line that names no model (\"" + line.text +
                               L"\"): Windows installs nothing from it");
    }
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

std::wstring PortOf(const Package &package, const inf::Model &model, const std::wstring &port)
{
    if (!port.empty()) {
        return port;
    }
    const std::wstring written = inf::PortWritten(package.description->inf, model);
    return written.empty() ? kBusPort : written;
}

PackageCheck CheckPackage(const Package &package, const std::wstring &dll, const std::wstring &port,
                          const CheckProgress &progress)
{
    PackageCheck check;
    check.findings = package.notes;
    const inf::Package &description = *package.description;
    if (!SameText(description.infClass, L"Printer")) {
        check.findings.push_back(NotAPrinterPackage(package));
        return check;
    }
    CheckManufacturer(description, &check);
    Checker checker{package, description.inf, DirectoryOf(package.infPath), dll, port, {}, {}, {}, &check};
    CheckCatalogs(checker, description);
    bool coInstallers = false;
    for (std::size_t index = 0; index < description.models.size(); ++index) {
        if (progress && index % 64 == 0) {
            progress(index, description.models.size());
        }
        const inf::Model &described = description.models[index];
        check.models.push_back({described.name,
                                described.hardwareId,
                                described.architecture->name,
                                described.installSection,
                                described.coInstallers,
                                {},
                                {}});
        CheckModel(checker, described, &check.models.back());
        coInstallers = coInstallers || description.inf.has(described.coInstallers);
    }
    if (check.models.empty() && check.findings.empty()) {
        check.findings.push_back(L"the INF " + package.infPath + L" has no models for 64-bit Windows");
    }
    if (coInstallers) {
        check.notes.push_back(kSigningNote);
    }
    return check;
}

}  // namespace host
