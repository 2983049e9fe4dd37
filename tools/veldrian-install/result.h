// The result of one model's installation: each profile's default printer before
// and after with the reason VELDRIAN's trace gives, the verdict, and the exit
// status a script can rely on.
#pragma once

#include "exitstatus.h"
#include "package.h"
#include "tracedecoder.h"

#include <optional>
#include <string>
#include <vector>

namespace host {

struct ProfileResult {
    std::wstring name;
    std::optional<std::wstring> before, after;  // its Device value
    bool madeForRun = false;
    bool listsQueue = false;                       // its Devices key lists the queue
    std::optional<tracedecoder::Outcome> outcome;  // none when VELDRIAN did not reach it
    std::wstring reason;                           // in a package author's words
};

struct RunResult {
    InfModel model;
    int status = kExitNotInstalled;
    std::wstring verdict;  // one line
    std::wstring queue;    // the queue VELDRIAN found, or ""
    std::vector<ProfileResult> profiles;
    std::vector<std::wstring> messages;  // VELDRIAN's trace messages, prefix removed, as sent
    std::vector<tracedecoder::Pass> passes;
    bool kept = false;
};

// Reads VELDRIAN's messages into passes, the reason for each profile, and the
// status and verdict. `installed`: the package's driver is on the device.
// `failure`: why the installation itself failed, or "".
void Judge(RunResult *result, bool installed, const std::wstring &failure);

// The profiles table, at most `width` columns wide.
std::vector<std::wstring> ProfileTable(const RunResult &result, std::size_t width);
// The table of an --all-models run: model, queue, profiles changed, verdict.
std::vector<std::wstring> ModelsTable(const std::vector<RunResult> &results, std::size_t width);
// The results as one JSON document (UTF-8).
std::string ResultsJson(const std::wstring &infPath, const std::vector<RunResult> &results, int status);

}  // namespace host
