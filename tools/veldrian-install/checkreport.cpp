#include "checkreport.h"

#include "exitstatus.h"
#include "inftext.h"

#include <windows.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <utility>

namespace host {

namespace {

// A list of models longer than this is cut, with how many more there are.
constexpr std::size_t kNamesShown = 8;

std::wstring Counted(std::size_t count, const std::wstring &singular, const std::wstring &plural)
{
    return std::to_wstring(count) + L" " + (count == 1 ? singular : plural);
}

std::wstring ShortTitle(const ModelCheck &model)
{
    return L"\"" + model.name + L"\" (" + model.architecture + L")";
}

// "A" (x64), "B" (x64), ... and N more
std::wstring NameList(const std::vector<const ModelCheck *> &models)
{
    std::wstring list;
    for (std::size_t index = 0; index < models.size() && index < kNamesShown; ++index) {
        list += (index == 0 ? L"" : L", ") + ShortTitle(*models[index]);
    }
    if (models.size() > kNamesShown) {
        list += L" and " + std::to_wstring(models.size() - kNamesShown) + L" more";
    }
    return list;
}

// The models with the same findings, in the order the first of each comes.
std::vector<std::vector<const ModelCheck *>> GroupedByFindings(const PackageCheck &check)
{
    std::vector<std::vector<const ModelCheck *>> groups;
    std::map<std::vector<std::wstring>, std::size_t> index;
    for (const ModelCheck &model : check.models) {
        if (model.findings.empty()) {
            continue;
        }
        const auto [found, added] = index.try_emplace(model.findings, groups.size());
        if (added) {
            groups.emplace_back();
        }
        groups[found->second].push_back(&model);
    }
    return groups;
}

void PrintGroup(Console &console, const std::vector<const ModelCheck *> &group)
{
    const ModelCheck &first = *group.front();
    const std::wstring findings = Counted(first.findings.size(), L"finding", L"findings");
    if (group.size() == 1) {
        console.line(L"  model \"" + first.name + L"\" (" + first.hardwareId + L") for " +
                     first.architecture + L": " + findings);
    } else {
        console.line(L"  " + NameList(group) + L": " + findings + L" each");
    }
    for (const std::wstring &finding : first.findings) {
        console.line(L"    - " + finding);
    }
}

// "1 model, 2 architectures, no findings", or "..., 3 findings; models with findings: ..."
std::wstring Summary(const PackageCheck &check, std::size_t findings)
{
    std::set<std::pair<std::wstring, std::wstring>> models;
    std::set<std::wstring> architectures;
    std::vector<const ModelCheck *> faulty;
    for (const ModelCheck &model : check.models) {
        models.emplace(inf::Folded(model.name), inf::Folded(model.hardwareId));
        architectures.insert(model.architecture);
        if (!model.findings.empty()) {
            faulty.push_back(&model);
        }
    }
    const std::wstring counted = Counted(models.size(), L"model", L"models") + L", " +
                                 Counted(architectures.size(), L"architecture", L"architectures") + L", ";
    if (findings == 0) {
        return counted + L"no findings";
    }
    return counted + Counted(findings, L"finding", L"findings") + L"; " +
           (faulty.empty() ? L"no model has one, the package as a whole has them"
                           : L"models with findings: " + NameList(faulty));
}

// Progress on the error output when it is a terminal, once the check has taken more
// than a second; in a file there is none.
class ProgressLine {
public:
    explicit ProgressLine(Console &console) : console_(console), start_(GetTickCount64())
    {
        DWORD mode = 0;
        terminal_ = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != FALSE;
    }
    void show(std::size_t done, std::size_t total)
    {
        const ULONGLONG now = GetTickCount64();
        if (!terminal_ || now - start_ < 1000 || now - last_ < 1000) {
            return;
        }
        last_ = now;
        console_.errorText(L"veldrian-install --check: " + std::to_wstring(done) + L" of " +
                           std::to_wstring(total) + L" models checked\n");
    }

private:
    Console &console_;
    ULONGLONG start_;
    ULONGLONG last_ = 0;
    bool terminal_ = false;
};

}  // namespace

std::string CheckJson(const std::wstring &infPath, const PackageCheck &check, int status)
{
    auto texts = [](const std::vector<std::wstring> &lines) {
        nlohmann::ordered_json list = nlohmann::ordered_json::array();
        std::ranges::transform(lines, std::back_inserter(list), win32::Utf8);
        return list;
    };
    nlohmann::ordered_json models = nlohmann::ordered_json::array();
    std::ranges::transform(check.models, std::back_inserter(models), [&texts](const ModelCheck &model) {
        return nlohmann::ordered_json{{"model", win32::Utf8(model.name)},
                                      {"hardwareId", win32::Utf8(model.hardwareId)},
                                      {"architecture", win32::Utf8(model.architecture)},
                                      {"ddInstall", win32::Utf8(model.ddInstall)},
                                      {"coInstallers", win32::Utf8(model.coInstallers)},
                                      {"findings", texts(model.findings)}};
    });
    const nlohmann::ordered_json document = {{"inf", win32::Utf8(infPath)},
                                             {"models", models},
                                             {"findings", texts(check.findings)},
                                             {"notes", texts(check.notes)},
                                             {"status", status}};
    return document.dump(2) + "\n";
}

int RunCheck(Console &console, const Package &package, const std::wstring &dll, const std::wstring &port,
             bool verbose, bool json)
{
    ProgressLine progress(console);
    const PackageCheck check = CheckPackage(
        package, dll, port, [&progress](std::size_t done, std::size_t total) { progress.show(done, total); });
    console.line(L"veldrian-install --check: " + package.infPath);
    std::size_t findings = check.findings.size();
    for (const ModelCheck &model : check.models) {
        findings += model.findings.size();
        if (verbose && model.findings.empty()) {
            console.line(L"  model \"" + model.name + L"\" (" + model.hardwareId + L") for " +
                         model.architecture + L": ok, " + model.coInstallers + L" registers VELDRIAN");
        }
    }
    for (const std::vector<const ModelCheck *> &group : GroupedByFindings(check)) {
        PrintGroup(console, group);
    }
    if (!check.findings.empty()) {
        console.line(L"  the package as a whole:");
    }
    for (const std::wstring &finding : check.findings) {
        console.line(L"    - " + finding);
    }
    for (const std::wstring &note : check.notes) {
        console.line(L"note: " + note);
    }
    console.line(Summary(check, findings));
    const int status = findings == 0 ? kExitOk : kExitCheckFindings;
    if (json) {
        console.json(CheckJson(package.infPath, check, status));
    }
    return status;
}

}  // namespace host
