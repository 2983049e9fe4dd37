#include "infpackage.h"

#include "inftext.h"

#include <algorithm>
#include <array>
#include <cwchar>
#include <iterator>
#include <tuple>

namespace inf {

namespace {

constexpr unsigned kWorkstation = 1;  // VER_NT_WORKSTATION, the product type of a client Windows

// A [Manufacturer] decoration: NT<architecture>[.major[.minor[.productType[.suiteMask[.build]]]]],
// each part optional.
struct Decoration {
    std::wstring architecture;        // "amd64", "arm64", ... or "" for NT alone
    std::array<unsigned, 5> parts{};  // major, minor, product type, suite mask, build
    std::array<bool, 5> given{};      // which of them the decoration names
    bool nt = false;                  // it starts with NT, as every decoration does

    bool osVersion() const
    {
        return std::ranges::any_of(given, [](bool part) { return part; });
    }
};
enum Part : std::size_t { kMajor, kMinor, kProductType, kSuiteMask, kBuild };

Decoration ParseDecoration(const std::wstring &text)
{
    Decoration decoration;
    std::size_t start = 0;
    for (std::size_t part = 0; start <= text.size(); ++part) {
        const std::size_t dot = std::min(text.find(L'.', start), text.size());
        const std::wstring token = text.substr(start, dot - start);
        if (part == 0) {
            decoration.nt = StartsWithText(token, L"NT");
            decoration.architecture = decoration.nt ? Folded(token.substr(2)) : L"";
        } else if (part <= decoration.parts.size() && !token.empty()) {
            decoration.parts[part - 1] = static_cast<unsigned>(std::wcstoul(token.c_str(), nullptr, 0));
            decoration.given[part - 1] = true;
        }
        start = dot + 1;
    }
    return decoration;
}

bool AppliesTo(const Decoration &decoration, const Architecture &architecture, const WindowsVersion &windows)
{
    const auto version = std::make_tuple(decoration.parts[kMajor], decoration.parts[kMinor]);
    return decoration.nt &&
           decoration.architecture == Folded(std::wstring(architecture.decoration).substr(2)) &&
           version <= std::make_tuple(windows.major, windows.minor) &&
           (!decoration.given[kBuild] || decoration.parts[kBuild] <= windows.build) &&
           (!decoration.given[kProductType] || decoration.parts[kProductType] == kWorkstation);
}

// How closely a decoration that applies fits: the later version first, then the more parts named.
auto Fit(const Decoration &decoration)
{
    return std::make_tuple(decoration.parts[kMajor], decoration.parts[kMinor], decoration.parts[kBuild],
                           std::ranges::count(decoration.given, true));
}

// The decoration Windows picks for an architecture among a [Manufacturer] line's (its
// fields 2 on): the one that fits the running Windows best, the first of equals; false
// when none is for the architecture.
bool ChooseDecoration(const InfLine &manufacturer, const Architecture &architecture,
                      const WindowsVersion &windows, std::wstring *chosen, bool *osVersion)
{
    bool found = false;
    Decoration best;
    for (std::size_t index = 2; index <= manufacturer.fields.size(); ++index) {
        const std::wstring text = WithoutBlanks(manufacturer.field(index));
        const Decoration decoration = ParseDecoration(text);
        if (AppliesTo(decoration, architecture, windows) && (!found || Fit(decoration) > Fit(best))) {
            found = true;
            best = decoration;
            *chosen = text;
            *osVersion = decoration.osVersion();
        }
    }
    return found;
}

// The section the platform installs for a model's DDInstall section: decorated for the
// architecture, else for NT, else as named.
std::wstring InstallSection(const Inf &inf, const Architecture &architecture, const std::wstring &ddInstall)
{
    const std::wstring candidates[] = {ddInstall + L"." + architecture.decoration, ddInstall + L".NT",
                                       ddInstall};
    const auto *const found =
        std::ranges::find_if(candidates, [&inf](const std::wstring &section) { return inf.has(section); });
    return found != std::end(candidates) ? *found : L"";
}

void ListModels(const Inf &inf, const ModelsChoice &choice, Package *package)
{
    for (const InfLine &line : inf.lines(choice.section)) {
        if (line.key.empty()) {
            package->unnamed.push_back({choice.section, line.field(1)});
            continue;
        }
        Model model;
        model.architecture = choice.architecture;
        model.name = line.key;
        model.ddInstall = line.field(1);
        model.hardwareId = line.field(2);
        model.installSection = InstallSection(inf, *choice.architecture, model.ddInstall);
        model.coInstallers =
            (model.installSection.empty() ? model.ddInstall : model.installSection) + L".CoInstallers";
        model.modelsSection = choice.section;
        model.osVersion = choice.osVersion;
        package->models.push_back(std::move(model));
    }
}

void ReadManufacturer(const InfLine &manufacturer, const WindowsVersion &windows, Package *package)
{
    bool any = false;
    for (const Architecture *architecture : kArchitectures) {
        ModelsChoice choice;
        choice.architecture = architecture;
        if (!ChooseDecoration(manufacturer, *architecture, windows, &choice.decoration, &choice.osVersion)) {
            continue;
        }
        any = true;
        choice.section = manufacturer.field(1) + L"." + choice.decoration;
        choice.exists = package->inf.has(choice.section);
        package->choices.push_back(choice);
    }
    if (!any) {
        package->undecorated.push_back(manufacturer.field(1));
        for (std::size_t index = 1; index <= std::max<std::size_t>(manufacturer.fields.size(), 1); ++index) {
            package->otherSections.push_back(
                Bracketed(manufacturer.field(1) +
                          (index == 1 ? L"" : L"." + WithoutBlanks(manufacturer.field(index)))));
        }
    }
}

}  // namespace

Package DescribePackage(Inf inf, const WindowsVersion &windows)
{
    Package package;
    package.inf = std::move(inf);
    const InfLine *infClass = package.inf.line(L"Version", L"Class");
    package.infClass = infClass == nullptr ? L"" : infClass->field(1);
    package.hasManufacturer = package.inf.has(L"Manufacturer");
    for (const InfLine &manufacturer : package.inf.lines(L"Manufacturer")) {
        ReadManufacturer(manufacturer, windows, &package);
    }
    // Every architecture's models in turn: x64's first, as the installation takes them.
    for (const Architecture *architecture : kArchitectures) {
        for (const ModelsChoice &choice : package.choices) {
            if (choice.architecture == architecture && choice.exists) {
                ListModels(package.inf, choice, &package);
            }
        }
    }
    return package;
}

std::vector<std::wstring> ListedSections(const Inf &inf, const std::wstring &section, const wchar_t *key)
{
    std::vector<std::wstring> sections;
    for (const InfLine &line : inf.lines(section)) {
        if (SameText(line.key, key)) {
            std::ranges::copy_if(line.fields, std::back_inserter(sections),
                                 [](const std::wstring &name) { return !name.empty(); });
        }
    }
    return sections;
}

std::vector<CopiedFile> CopiedFiles(const Inf &inf, const std::wstring &section)
{
    std::vector<CopiedFile> copies;
    for (const std::wstring &entry : ListedSections(inf, section, L"CopyFiles")) {
        if (entry.front() == L'@') {
            copies.push_back({entry, entry.substr(1), entry.substr(1)});
            continue;
        }
        for (const InfLine &line : inf.lines(entry)) {
            if (!line.field(1).empty()) {
                copies.push_back(
                    {entry, line.field(1), line.field(2).empty() ? line.field(1) : line.field(2)});
            }
        }
    }
    return copies;
}

const InfLine *DestinationOf(const Inf &inf, const CopiedFile &copy)
{
    const InfLine *line = copy.section.front() == L'@' ? nullptr : inf.line(L"DestinationDirs", copy.section);
    return line != nullptr ? line : inf.line(L"DestinationDirs", L"DefaultDestDir");
}

bool SourceOf(const Inf &inf, const Architecture &architecture, const std::wstring &name,
              std::wstring *relative)
{
    const std::wstring platform = architecture.platform;
    for (const std::wstring &section : {L"SourceDisksFiles." + platform, std::wstring(L"SourceDisksFiles")}) {
        const InfLine *line = inf.line(section, name);
        if (line == nullptr) {
            continue;
        }
        const InfLine *disk = inf.line(L"SourceDisksNames." + platform, line->field(1));
        disk = disk != nullptr ? disk : inf.line(L"SourceDisksNames", line->field(1));
        const std::wstring diskPath = disk == nullptr ? L"" : disk->field(4);
        *relative = JoinRelative(JoinRelative(diskPath, line->field(2)), name);
        return true;
    }
    return false;
}

std::vector<std::wstring> SourceFiles(const Inf &inf, const Architecture &architecture)
{
    std::vector<std::wstring> files;
    const std::wstring platform = architecture.platform;
    for (const std::wstring &section : {L"SourceDisksFiles." + platform, std::wstring(L"SourceDisksFiles")}) {
        for (const InfLine &line : inf.lines(section)) {
            std::wstring relative;
            if (!line.key.empty() && SourceOf(inf, architecture, line.key, &relative) &&
                std::ranges::none_of(files,
                                     [&](const std::wstring &file) { return SameText(file, relative); })) {
                files.push_back(relative);
            }
        }
    }
    return files;
}

std::vector<InstalledFile> InstalledFiles(const Inf &inf, const Model &model)
{
    std::vector<InstalledFile> files;
    const std::wstring installed = model.installSection.empty() ? model.ddInstall : model.installSection;
    for (const std::wstring &section : {installed, model.coInstallers}) {
        for (CopiedFile &copy : CopiedFiles(inf, section)) {
            InstalledFile file;
            file.listed = SourceOf(inf, *model.architecture, copy.source, &file.relative);
            file.relative = file.listed ? file.relative : copy.source;
            file.copy = std::move(copy);
            file.copiedBy = section;
            files.push_back(std::move(file));
        }
    }
    return files;
}

std::wstring CatalogOf(const Inf &inf, const Architecture &architecture)
{
    const InfLine *line = inf.line(L"Version", std::wstring(L"CatalogFile.") + architecture.decoration);
    line = line != nullptr ? line : inf.line(L"Version", L"CatalogFile");
    return line == nullptr ? L"" : line->field(1);
}

std::wstring PortWritten(const Inf &inf, const Model &model)
{
    const std::wstring installed = model.installSection.empty() ? model.ddInstall : model.installSection;
    std::wstring port;
    for (const std::wstring &addReg : ListedSections(inf, installed + L".HW", L"AddReg")) {
        for (const InfLine &line : inf.lines(addReg)) {
            if (SameText(line.field(1), L"HKR") && line.field(2).empty() &&
                SameText(line.field(3), L"PortName")) {
                port = line.field(5);
            }
        }
    }
    return port;
}

}  // namespace inf
