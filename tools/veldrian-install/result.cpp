#include "result.h"

#include "win32/text.h"

#include <windows.h>

#include <algorithm>

namespace host {

namespace {

constexpr std::size_t kNameColumn = 30;
constexpr std::size_t kDeviceColumn = 36;

std::wstring Shown(const std::optional<std::wstring> &value)
{
    return value ? *value : L"(none)";
}

// A cell of at most `width` characters: a longer text is cut, and says so.
std::wstring Cell(const std::wstring &text, std::size_t width)
{
    return text.size() <= width ? text : text.substr(0, width - 3) + L"...";
}

std::wstring Padded(const std::wstring &text, std::size_t width)
{
    return text.size() >= width ? text : text + std::wstring(width - text.size(), L' ');
}

const tracedecoder::Profile *FindProfile(const tracedecoder::Pass &pass, const std::wstring &name)
{
    const auto found = std::ranges::find(pass.profiles, name, &tracedecoder::Profile::name);
    return found != pass.profiles.end() ? &*found : nullptr;
}

// Why a profile is as it is, when VELDRIAN's pass did not reach it.
std::wstring ReasonWithoutWalk(const RunResult &result)
{
    if (result.passes.empty()) {
        return L"VELDRIAN did not run its post-processing";
    }
    const tracedecoder::Pass &pass = result.passes.back();
    if (!pass.queueFound) {
        return L"VELDRIAN found no queue";
    }
    return pass.complete ? L"not walked by VELDRIAN" : L"trace incomplete";
}

void JudgeProfiles(RunResult *result)
{
    for (ProfileResult &row : result->profiles) {
        const tracedecoder::Profile *profile =
            result->passes.empty() ? nullptr : FindProfile(result->passes.back(), row.name);
        if (profile != nullptr) {
            row.outcome = profile->outcome;
            row.reason = tracedecoder::Reason(*profile, result->passes.back().queue);
        } else {
            row.reason = ReasonWithoutWalk(*result);
        }
    }
}

// The debugger output carries text in the ANSI code page, so a name with characters
// outside it arrives changed ("Drücker Ω 5000" as "Drücker O 5000"). A traced name that
// is the package's name so changed is the package's name.
std::wstring AsThePackageNamesIt(const std::wstring &traced, const std::wstring &packageName)
{
    if (traced == packageName || packageName.empty()) {
        return traced;
    }
    const int size = static_cast<int>(packageName.size());
    const int length = WideCharToMultiByte(CP_ACP, 0, packageName.data(), size, nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    WideCharToMultiByte(CP_ACP, 0, packageName.data(), size, ansi.data(), length, nullptr, nullptr);
    return win32::FromCodePage(CP_ACP, ansi) == traced ? packageName : traced;
}

std::wstring Plural(std::size_t count, const wchar_t *one, const wchar_t *many)
{
    return std::to_wstring(count) + L" " + (count == 1 ? one : many);
}

// The models table's queue cell: the queue VELDRIAN found, or why there is none.
std::wstring FoundQueue(const RunResult &result)
{
    if (!result.queue.empty()) {
        return result.queue;
    }
    return result.passes.empty() ? L"(not called)" : L"(none found)";
}

void JudgeStatus(RunResult *result)
{
    const tracedecoder::Pass &pass = result->passes.back();
    if (!pass.queueFound) {
        result->status = kExitNoQueue;
        result->verdict = L"VELDRIAN ran but found no queue";
        if (pass.endedBy.empty()) {
            result->verdict += L" of model \"";
            result->verdict += AsThePackageNamesIt(pass.model, result->model.name);
            result->verdict += L"\" on port \"";
            result->verdict += pass.port;
            result->verdict += L"\"";
        } else {
            result->verdict += L": ";
            result->verdict += pass.endedBy;
        }
        return;
    }
    result->queue = AsThePackageNamesIt(pass.queue, result->model.name);
    std::vector<std::wstring> unchanged;
    std::size_t listing = 0;
    for (const ProfileResult &row : result->profiles) {
        if (row.listsQueue) {
            ++listing;
            if (row.outcome != tracedecoder::Outcome::MadeDefault) {
                unchanged.push_back(row.name);
            }
        }
    }
    if (!unchanged.empty()) {
        std::wstring names;
        for (const std::wstring &name : unchanged) {
            names += (names.empty() ? L"" : L", ") + name;
        }
        result->status = kExitNotChanged;
        result->verdict = Plural(unchanged.size(), L"profile lists", L"profiles list") + L" the queue \"" +
                          result->queue + L"\" but kept " + (unchanged.size() == 1 ? L"its" : L"their") +
                          L" default printer: " + names;
        return;
    }
    result->status = kExitOk;
    result->verdict = L"VELDRIAN made \"" + result->queue + L"\" the default printer of " +
                      Plural(listing, L"profile", L"profiles") + L" that list it";
}

// Whether the device installer itself called VELDRIAN for DIF_INSTALLDEVICE before the
// post-processing call: only then does Windows make that call.
bool CalledByTheDeviceInstaller(const std::vector<std::wstring> &messages)
{
    for (const std::wstring &message : messages) {
        if (message == L"DIF_INSTALLDEVICE\n") {
            return true;
        }
        if (message == L"DIF_INSTALLDEVICE PostProcessing\n") {
            return false;
        }
    }
    return false;
}

}  // namespace

void Judge(RunResult *result, bool installed, const std::wstring &failure)
{
    tracedecoder::Decoder decoder;
    for (const std::wstring &message : result->messages) {
        decoder.add(message);
    }
    result->passes = decoder.passes();
    JudgeProfiles(result);
    if (!installed) {
        result->status = kExitNotInstalled;
        result->verdict = L"the package could not be installed: " + failure;
    } else if (result->passes.empty()) {
        result->status = kExitNotCalled;
        result->verdict = L"VELDRIAN was not called for the post-processing: " + failure;
    } else if (!CalledByTheDeviceInstaller(result->messages)) {
        result->status = kExitNotCalled;
        result->verdict =
            L"VELDRIAN was not called by the device installer (no DIF_INSTALLDEVICE call before "
            L"the post-processing call), so Windows would make no post-processing call: " +
            failure;
    } else {
        JudgeStatus(result);
    }
}

std::vector<std::wstring> ProfileTable(const RunResult &result, std::size_t width)
{
    std::size_t nameWidth = std::wstring(L"Profile under HKEY_USERS").size();
    std::size_t beforeWidth = std::wstring(L"Device before").size();
    std::size_t afterWidth = std::wstring(L"Device after").size();
    for (const ProfileResult &row : result.profiles) {
        nameWidth = std::max(nameWidth, Cell(row.name, kNameColumn).size() + (row.madeForRun ? 2 : 0));
        beforeWidth = std::max(beforeWidth, Cell(Shown(row.before), kDeviceColumn).size());
        afterWidth = std::max(afterWidth, Cell(Shown(row.after), kDeviceColumn).size());
    }
    const std::size_t reasonWidth =
        std::max<std::size_t>(30, width - std::min(width, nameWidth + beforeWidth + afterWidth + 6));
    std::vector<std::wstring> lines;
    lines.push_back(Padded(L"Profile under HKEY_USERS", nameWidth) + L"  " +
                    Padded(L"Device before", beforeWidth) + L"  " + Padded(L"Device after", afterWidth) +
                    L"  Why");
    bool made = false;
    for (const ProfileResult &row : result.profiles) {
        made = made || row.madeForRun;
        lines.push_back(Padded(Cell(row.name, kNameColumn) + (row.madeForRun ? L" *" : L""), nameWidth) +
                        L"  " + Padded(Cell(Shown(row.before), kDeviceColumn), beforeWidth) + L"  " +
                        Padded(Cell(Shown(row.after), kDeviceColumn), afterWidth) + L"  " +
                        Cell(row.reason, reasonWidth));
    }
    if (made) {
        lines.push_back(std::wstring(L"* made for this run") +
                        (result.kept ? L" (kept)" : L" (removed again)"));
    }
    return lines;
}

std::vector<std::wstring> ModelsTable(const std::vector<RunResult> &results, std::size_t width)
{
    const std::wstring queueHeading = L"Queue VELDRIAN found";
    std::size_t modelWidth = 5;
    std::size_t queueWidth = queueHeading.size();
    for (const RunResult &result : results) {
        modelWidth = std::max(modelWidth, Cell(result.model.name, kNameColumn).size());
        queueWidth = std::max(queueWidth, Cell(FoundQueue(result), kNameColumn).size());
    }
    const std::wstring changedHeading = L"Profiles changed";
    const std::size_t verdictWidth = std::max<std::size_t>(
        30, width - std::min(width, modelWidth + queueWidth + changedHeading.size() + 6));
    std::vector<std::wstring> lines;
    lines.push_back(Padded(L"Model", modelWidth) + L"  " + Padded(queueHeading, queueWidth) + L"  " +
                    changedHeading + L"  Verdict");
    for (const RunResult &result : results) {
        const auto changed = std::count_if(result.profiles.begin(), result.profiles.end(),
                                           [](const ProfileResult &row) { return row.before != row.after; });
        lines.push_back(Padded(Cell(result.model.name, kNameColumn), modelWidth) + L"  " +
                        Padded(Cell(FoundQueue(result), kNameColumn), queueWidth) + L"  " +
                        Padded(std::to_wstring(changed) + L" of " + std::to_wstring(result.profiles.size()),
                               changedHeading.size()) +
                        L"  " +
                        Cell(L"[" + std::to_wstring(result.status) + L"] " + result.verdict, verdictWidth));
    }
    return lines;
}

namespace {

tracedecoder::Json OptionalText(const std::optional<std::wstring> &value)
{
    return value ? tracedecoder::JsonText(*value) : tracedecoder::Json(nullptr);
}

tracedecoder::Json ProfileJson(const ProfileResult &profile)
{
    tracedecoder::Json json;
    json["name"] = tracedecoder::JsonText(profile.name);
    json["before"] = OptionalText(profile.before);
    json["after"] = OptionalText(profile.after);
    json["madeForRun"] = profile.madeForRun;
    json["listsQueue"] = profile.listsQueue;
    json["outcome"] = profile.outcome ? tracedecoder::Json(tracedecoder::OutcomeName(*profile.outcome))
                                      : tracedecoder::Json(nullptr);
    json["reason"] = tracedecoder::JsonText(profile.reason);
    return json;
}

tracedecoder::Json ModelJson(const RunResult &result)
{
    tracedecoder::Json json;
    json["model"] = tracedecoder::JsonText(result.model.name);
    json["hardwareId"] = tracedecoder::JsonText(result.model.hardwareId);
    json["status"] = result.status;
    json["verdict"] = tracedecoder::JsonText(result.verdict);
    json["queue"] = result.queue.empty() ? tracedecoder::Json(nullptr) : tracedecoder::JsonText(result.queue);
    json["kept"] = result.kept;
    json["profiles"] = tracedecoder::Json::array();
    for (const ProfileResult &profile : result.profiles) {
        json["profiles"].push_back(ProfileJson(profile));
    }
    json["messages"] = tracedecoder::Json::array();
    for (const std::wstring &message : result.messages) {
        json["messages"].push_back(tracedecoder::JsonText(message));
    }
    json["passes"] = tracedecoder::Json::array();
    for (const tracedecoder::Pass &pass : result.passes) {
        json["passes"].push_back(tracedecoder::PassJson(pass));
    }
    return json;
}

}  // namespace

std::string ResultsJson(const std::wstring &infPath, const std::vector<RunResult> &results, int status)
{
    tracedecoder::Json json;
    json["inf"] = tracedecoder::JsonText(infPath);
    json["status"] = status;
    json["models"] = tracedecoder::Json::array();
    for (const RunResult &result : results) {
        json["models"].push_back(ModelJson(result));
    }
    return tracedecoder::Serialized(json) + "\n";
}

}  // namespace host
