#include "report.h"

#include "win32/text.h"

#include <algorithm>
#include <cstdio>

namespace trace {

namespace {

constexpr std::size_t kNameColumn = 32;  // longer profile names get a line of their own

std::wstring Time(const SYSTEMTIME &time)
{
    wchar_t text[16];
    (void)std::swprintf(text, 16, L"%02u:%02u:%02u.%03u", time.wHour, time.wMinute, time.wSecond,
                        time.wMilliseconds);
    return text;
}

std::wstring Padded(const std::wstring &text, std::size_t width)
{
    return text.size() < width ? text + std::wstring(width - text.size(), L' ') : text;
}

// A message on its lines, each behind the same columns.
std::wstring Shown(const std::wstring &columns, const std::wstring &message)
{
    std::wstring text = message;
    if (!text.empty() && text.back() == L'\n') {
        text.pop_back();
    }
    if (text.empty()) {
        return columns.substr(0, columns.find_last_not_of(L' ') + 1) + L"\n";  // the blank message
    }
    std::wstring shown = columns;
    for (const wchar_t character : text) {
        shown += character;
        if (character == L'\n') {
            shown += std::wstring(columns.size(), L' ');
        }
    }
    return shown + L"\n";
}

std::wstring OrNotTraced(const std::wstring &text)
{
    return text.empty() ? L"(not traced)" : text;
}

std::wstring ProfileLines(const tracedecoder::Pass &pass)
{
    std::size_t width = 7;
    for (const tracedecoder::Profile &profile : pass.profiles) {
        width = std::max(width, std::min(profile.name.size(), kNameColumn));
    }
    width += 2;
    std::wstring lines = L"  " + Padded(L"Profile", width) + L"Default printer\n";
    for (const tracedecoder::Profile &profile : pass.profiles) {
        std::wstring outcome = tracedecoder::Reason(profile, pass.queue);
        if (profile.outcome == tracedecoder::Outcome::MadeDefault) {
            outcome += L": " + profile.device;
        } else if (profile.outcome != tracedecoder::Outcome::Incomplete) {
            outcome = std::wstring(L"not changed: ").append(outcome);
        }
        if (profile.name.size() > kNameColumn) {
            lines += L"  ";
            lines += profile.name;
            lines += L"\n  ";
            lines += std::wstring(width, L' ');
            lines += outcome;
            lines += L"\n";
        } else {
            lines += L"  " + Padded(profile.name, width) + outcome + L"\n";
        }
    }
    return lines;
}

}  // namespace

Output::Output(DWORD standardHandle) : handle_(GetStdHandle(standardHandle))
{
    DWORD mode = 0;
    console_ = GetConsoleMode(handle_, &mode) != FALSE;
}

void Output::write(const std::wstring &text)
{
    DWORD written = 0;
    if (console_) {
        WriteConsoleW(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } else {
        writeUtf8(win32::Utf8(text));
    }
}

void Output::writeUtf8(const std::string &utf8)
{
    DWORD written = 0;
    if (console_) {
        const std::wstring text = win32::Wide(utf8);
        WriteConsoleW(handle_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    } else {
        WriteFile(handle_, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    }
}

std::wstring Describe(const tracedecoder::Pass &pass, int number, DWORD processId)
{
    std::wstring text = L"Post-processing pass " + std::to_wstring(number);
    if (processId != 0) {
        text += L" (process " + std::to_wstring(processId) + L")";
    }
    text += pass.complete ? L": complete\n" : L": incomplete (the trace ended before the pass did)\n";
    text += L"  Model:   " + OrNotTraced(pass.model) + L"\n";
    text += L"  Device:  " + OrNotTraced(pass.instanceId) + L"\n";
    text += L"  Port:    " + OrNotTraced(pass.port) + L"\n";
    if (pass.queueFound) {
        text += L"  Queue:   " + pass.queue + L"\n";
    } else {
        text += pass.complete ? L"  Queue:   none found\n" : L"  Queue:   (not traced)\n";
    }
    if (!pass.endedBy.empty()) {
        text += L"  Ended:   " + pass.endedBy + L"\n";
    }
    if (!pass.walkEndedBy.empty()) {
        text += L"  The walk over the profiles ended early: " + pass.walkEndedBy + L"\n";
    }
    if (!pass.profiles.empty()) {
        const auto made = std::count_if(pass.profiles.begin(), pass.profiles.end(), [](const auto &profile) {
            return profile.outcome == tracedecoder::Outcome::MadeDefault;
        });
        text += ProfileLines(pass) + L"  The queue became the default printer of " + std::to_wstring(made) +
                L" of " + std::to_wstring(pass.profiles.size()) + L" profiles.\n";
    } else if (pass.queueFound && pass.complete && pass.endedBy.empty()) {
        text += L"  No profile is loaded.\n";
    }
    return text;
}

bool Report::message(DWORD processId, const SYSTEMTIME &time, const std::wstring &text)
{
    const std::wstring prefix = tracedecoder::kPrefix;
    if (text.compare(0, prefix.size(), prefix) != 0) {
        return false;  // another program's output
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (options_.onePass && complete_ > 0) {
        return true;
    }
    const std::wstring message = text.substr(prefix.size());
    live().write(Shown(Time(time) + L"  [" + std::to_wstring(processId) + L"]  ", message));
    add(processId, message);
    return options_.onePass && complete_ > 0;
}

void Report::capture(const std::vector<tracedecoder::CapturedMessage> &messages)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (const tracedecoder::CapturedMessage &captured : messages) {
        if (options_.onePass && complete_ > 0) {
            break;
        }
        add(captured.processId, captured.text, captured.cut);
    }
}

void Report::add(DWORD processId, const std::wstring &message, bool cut)
{
    Stream &stream = streams_[processId];
    stream.decoder.add(message, cut);
    const std::vector<tracedecoder::Pass> &passes = stream.decoder.passes();
    // A pass is reported once it has ended, or once the next one has opened without it ending.
    while (stream.reported < passes.size() &&
           (passes[stream.reported].complete || stream.reported + 1 < passes.size())) {
        report(processId, passes[stream.reported++]);
    }
}

void Report::report(DWORD processId, const tracedecoder::Pass &pass)
{
    if (options_.onePass && (complete_ > 0 || !pass.complete)) {
        return;
    }
    ++reported_;
    complete_ += pass.complete ? 1 : 0;
    if (options_.json) {
        // The key is always there: null where the capture names no process.
        tracedecoder::Json json = tracedecoder::Json::object();
        json["process"] = processId != 0 ? tracedecoder::Json(processId) : tracedecoder::Json(nullptr);
        json.update(tracedecoder::PassJson(pass));
        json_.push_back(std::move(json));
    } else {
        out_.write(L"\n" + Describe(pass, reported_, processId) + L"\n");
    }
}

int Report::finish()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!(options_.onePass && complete_ > 0)) {
        for (auto &[processId, stream] : streams_) {
            const std::vector<tracedecoder::Pass> &passes = stream.decoder.passes();
            for (; stream.reported < passes.size(); ++stream.reported) {
                if (options_.onePass) {
                    // Nothing ended: show what there is, for the reason why.
                    err_.write(L"\n" + Describe(passes[stream.reported], ++reported_, processId) + L"\n");
                } else {
                    report(processId, passes[stream.reported]);
                }
            }
        }
    }
    if (options_.json) {
        tracedecoder::Json document;
        document["passes"] = json_;
        out_.writeUtf8(tracedecoder::Serialized(document) + "\n");
    }
    const bool seen = options_.onePass ? complete_ > 0 : reported_ > 0;
    if (!seen) {
        err_.write(options_.onePass ? L"veldrian-trace: no post-processing pass of VELDRIAN completed\n"
                                    : L"veldrian-trace: no post-processing pass of VELDRIAN was seen\n");
    }
    return seen ? kExitDone : kExitNoPass;
}

}  // namespace trace
