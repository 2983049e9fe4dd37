#include "tracedecoder.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <map>
#include <string_view>

namespace tracedecoder {

const wchar_t kPrefix[] = L"VELDRIAN : ";

namespace {

constexpr std::wstring_view kPrefixText = L"VELDRIAN : ";
constexpr std::wstring_view kPrefixTrimmed = L"VELDRIAN :";  // a viewer may drop the prefix's trailing blank
constexpr std::wstring_view kRule = L"===========================================";
static_assert(kRule.size() == 43 && kRule.find_first_not_of(L'=') == std::wstring_view::npos);
constexpr std::wstring_view kCodeMark = L"GetLastError() = ";

// The 260-byte text holds the queue name, a comma, the entry and a terminator.
constexpr int kFullNameUnits = 260 / 2;

bool StartsWith(std::wstring_view whole, std::wstring_view start)
{
    return whole.compare(0, start.size(), start) == 0;
}

bool EndsWith(std::wstring_view whole, std::wstring_view end)
{
    return whole.size() >= end.size() && whole.compare(whole.size() - end.size(), end.size(), end) == 0;
}

bool Contains(std::wstring_view whole, std::wstring_view part)
{
    return whole.find(part) != std::wstring_view::npos;
}

std::wstring WithoutLineFeed(const std::wstring &message)
{
    return EndsWith(message, L"\n") ? message.substr(0, message.size() - 1) : message;
}

// The code of a failure line: the number behind "GetLastError() = ". False when there is none.
bool CodeOf(const std::wstring &message, long *code)
{
    const std::size_t mark = message.rfind(kCodeMark);
    if (mark == std::wstring::npos) {
        return false;
    }
    const std::wstring number = WithoutLineFeed(message.substr(mark + kCodeMark.size()));
    std::size_t digits = !number.empty() && number[0] == L'-' ? 1 : 0;
    if (digits == number.size()) {
        return false;
    }
    for (std::size_t i = digits; i < number.size(); ++i) {
        if (!std::iswdigit(number[i])) {
            return false;
        }
    }
    *code = std::wcstol(number.c_str(), nullptr, 10);
    return true;
}

// The text between `opening` and `closing`, as in Model Name = "..." (the text itself may hold quotes).
std::wstring Between(const std::wstring &message, const std::wstring &opening, const std::wstring &closing)
{
    const std::size_t from = message.find(opening);
    if (from == std::wstring::npos) {
        return L"";
    }
    const std::size_t start = from + opening.size();
    const std::size_t end = message.find(closing, start);
    return message.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
}

std::wstring Lower(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t character) { return std::towlower(character); });
    return text;
}

// The queue of the FOUND line, whose model and port (equal but for case) the pass knows already.
std::wstring FoundQueue(const std::wstring &message, const Pass &pass)
{
    const std::wstring opening = L"FOUND : Printer Name = \"";
    const std::wstring closing =
        L"\" Model Name = \"" + pass.model + L"\" Port Name = \"" + pass.port + L"\"\n";
    if (message.size() >= opening.size() + closing.size() && EndsWith(Lower(message), Lower(closing))) {
        return message.substr(opening.size(), message.size() - opening.size() - closing.size());
    }
    return Between(message, opening, L"\" Model Name = \"");
}

// The messages VELDRIAN sends without a line feed (a profile's failures): in a capture
// the next message runs on behind them.
bool SentWithoutLineFeed(const std::wstring &message)
{
    long code = 0;
    if (!CodeOf(message, &code) || EndsWith(message, L"\n")) {
        return false;
    }
    return (StartsWith(message, L"GetFullPrinterName(") &&
            Contains(message, L") : RegQueryValueEx() : failed. ")) ||
           (StartsWith(message, L"SetDefaultPrinterInRegistry(") &&
            (Contains(message, L") : RegOpenKeyEx() : failed. ") ||
             Contains(message, L") : RegSetValueEx() : failed. ")));
}

bool IsSeparator(const std::wstring &message)
{
    return EndsWith(message, L"\n" + std::wstring(kRule) + L"\n");
}

// A line that holds the separator rule, possibly behind a debug viewer's columns.
bool IsRuleLine(const std::wstring &line)
{
    if (!EndsWith(line, kRule)) {
        return false;
    }
    const std::size_t before = line.size() - kRule.size();
    return before == 0 || std::iswspace(line[before - 1]) || line[before - 1] == L']';
}

std::vector<std::wstring> Lines(const std::wstring &text)
{
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = text.size();
        }
        std::wstring line = text.substr(start, end - start);
        if (EndsWith(line, L"\r")) {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// The process ID of a debug viewer's column "[1234]" within `columns`; 0 where there is none.
unsigned long ProcessColumn(const std::wstring &columns)
{
    const std::size_t close = columns.rfind(L']');
    const std::size_t open = close == std::wstring::npos ? std::wstring::npos : columns.rfind(L'[', close);
    if (open == std::wstring::npos || close == open + 1) {
        return 0;
    }
    for (std::size_t at = open + 1; at < close; ++at) {
        if (!std::iswdigit(columns[at])) {
            return 0;
        }
    }
    return std::wcstoul(columns.c_str() + open + 1, nullptr, 10);
}

// Appends the rule to the message it belongs to: the last one naming a profile, of the
// same process where the rule's line names one.
// Whether a rule line that follows this message's line is the rest of it: only a
// profile's name line carries one, so never a blank line, a failure line, a message
// of several lines or one cut short.
bool TakesRule(const CapturedMessage &message)
{
    long code = 0;
    const std::size_t feed = message.text.find(L'\n');
    return !message.cut && !message.text.empty() && message.text != L"\n" &&
           (feed == std::wstring::npos || feed + 1 == message.text.size()) && !CodeOf(message.text, &code);
}

// By process: whether its last line gave a message that a rule line may join. A rule
// never joins across another line of its process, so that what a message means is
// settled by its own line, whatever lines come later.
using RuleJoins = std::map<unsigned long, bool>;

void Given(const std::vector<CapturedMessage> &messages, std::size_t before, unsigned long processId,
           RuleJoins &joins)
{
    joins[processId] = messages.size() > before && TakesRule(messages.back());
}

void JoinRule(std::vector<CapturedMessage> &messages, unsigned long processId, RuleJoins &joins)
{
    if (!joins[processId]) {
        return;  // a rule line of no name line of VELDRIAN's
    }
    joins[processId] = false;
    auto owner = messages.rbegin();
    while (processId != 0 && owner != messages.rend() && owner->processId != processId) {
        ++owner;
    }
    if (owner == messages.rend()) {
        return;
    }
    if (!EndsWith(owner->text, L"\n")) {
        owner->text += L"\n";
    }
    owner->text += kRule;
    owner->text += L"\n";
}

// A line of a capture with prefixes: everything before the first prefix is a viewer's
// columns; a prefix further on starts a message that ran on behind the one before.
// `terminated`: the line ends in a line feed; the last line of a capture cut short does
// not, and its last message is kept as cut, without the line feed it would have had.
void SplitPrefixedLine(std::wstring line, bool terminated, std::vector<CapturedMessage> &messages,
                       RuleJoins &joins)
{
    const std::size_t before = messages.size();
    std::wstring trimmed = line;
    while (!trimmed.empty() && std::iswspace(trimmed.back())) {
        trimmed.pop_back();
    }
    if (EndsWith(trimmed, kPrefixTrimmed)) {
        line = trimmed + L' ';
    }
    std::size_t start = line.find(kPrefixText);
    if (start == std::wstring::npos) {
        if (IsRuleLine(line)) {
            JoinRule(messages, ProcessColumn(line.substr(0, line.size() - kRule.size())), joins);
        } else {
            joins[ProcessColumn(line)] = false;  // another program's output
        }
        return;
    }
    const unsigned long processId = ProcessColumn(line.substr(0, start));
    while (start != std::wstring::npos) {
        const std::size_t from = start + kPrefixText.size();
        const std::size_t next = line.find(kPrefixText, from);
        std::wstring message =
            line.substr(from, next == std::wstring::npos ? std::wstring::npos : next - from);
        if (next == std::wstring::npos && !SentWithoutLineFeed(message) && terminated) {
            message += L"\n";
        }
        if (next == std::wstring::npos && !terminated) {
            // Cut inside a line: what may be the start of the next message's prefix is not
            // part of this one.
            for (std::size_t length = std::min(message.size(), kPrefixText.size() - 1); length > 0;
                 --length) {
                if (message.compare(message.size() - length, length, kPrefixText, 0, length) == 0) {
                    message.resize(message.size() - length);
                    break;
                }
            }
        }
        messages.push_back({processId, message, next == std::wstring::npos && !terminated});
        start = next;
    }
    Given(messages, before, processId, joins);
}

// A line without its columns of index, time and [process ID], as debug-output viewers and
// veldrian-trace save them in front of a message; the line as it is when it has none.
// `processId` receives the process column's ID, or 0.
std::wstring WithoutColumns(const std::wstring &line, unsigned long *processId)
{
    *processId = 0;
    std::size_t position = 0;
    while (position < line.size() && (std::iswdigit(line[position]) || std::iswspace(line[position]) ||
                                      std::wcschr(L":.APM", line[position]) != nullptr)) {
        ++position;
    }
    std::size_t end = position + 1;
    while (position < line.size() && line[position] == L'[' && end < line.size() &&
           std::iswdigit(line[end])) {
        ++end;
    }
    if (position < line.size() && line[position] == L'[' && end > position + 1 && end < line.size() &&
        line[end] == L']') {
        *processId = ProcessColumn(line.substr(position, end + 1 - position));
        ++end;
        while (end < line.size() && std::iswspace(line[end])) {
            ++end;
        }
        return line.substr(end);
    }
    return line;
}

// A line of a capture without prefixes: the line feed that ends a failure message sent
// without one is the blank line that followed it.
void SplitPlainLine(const std::wstring &columns, bool terminated, std::vector<CapturedMessage> &messages,
                    RuleJoins &joins)
{
    unsigned long processId = 0;
    const std::wstring line = WithoutColumns(columns, &processId);
    const std::size_t before = messages.size();
    if (IsRuleLine(line)) {
        JoinRule(messages, processId, joins);
        return;
    }
    if (SentWithoutLineFeed(line)) {
        messages.push_back({processId, line, !terminated});
        if (terminated) {
            messages.push_back({processId, L"\n"});
        }
    } else {
        messages.push_back({processId, terminated ? line + L"\n" : line, !terminated});
    }
    Given(messages, before, processId, joins);
}

const wchar_t *ReasonText(Outcome outcome)
{
    switch (outcome) {
    case Outcome::MadeDefault:
        return L"made default";
    case Outcome::NoDevicesKey:
        return L"no Devices key";
    case Outcome::NotListed:
        return L"Devices does not list the queue";
    case Outcome::QueueNameTooLong:
        return L"the queue name has 129 characters or more";
    case Outcome::ProfileKeyTooLong:
        return L"the profile key name is longer than 206 characters";
    case Outcome::NoWindowsKey:
        return L"no Windows key";
    case Outcome::Incomplete:
        return L"trace incomplete";
    default:
        return L"";
    }
}

// What a failure line within a profile's block means for that profile.
Outcome FailureOutcome(const std::wstring &message, long code)
{
    const bool reading = StartsWith(message, L"GetFullPrinterName(");
    const bool writing = StartsWith(message, L"SetDefaultPrinterInRegistry(");
    if (reading && Contains(message, L") : user key name too long. ")) {
        return Outcome::ProfileKeyTooLong;
    }
    if (reading && Contains(message, L") : RegOpenKeyEx(") && code == 2) {
        return Outcome::NoDevicesKey;
    }
    if (reading && Contains(message, L") : RegQueryValueEx() : failed. ") && (code == 2 || code == 234)) {
        return code == 2 ? Outcome::NotListed : Outcome::EntryTooLong;
    }
    if (writing && Contains(message, L") : RegOpenKeyEx() : failed. ")) {
        return code == 2 ? Outcome::NoWindowsKey : Outcome::WriteRefused;
    }
    if (writing && Contains(message, L") : RegSetValueEx() : failed. ")) {
        return Outcome::WriteRefused;
    }
    return Outcome::OtherFailure;
}

Json ProfileJson(const Profile &profile, const std::wstring &queue)
{
    Json json;
    json["name"] = JsonText(profile.name);
    json["outcome"] = OutcomeName(profile.outcome);
    json["reason"] = JsonText(Reason(profile, queue));
    json["device"] = JsonText(profile.device);
    json["code"] = profile.code;
    json["line"] = JsonText(profile.line);
    return json;
}

}  // namespace

int MaxEntryCharacters(const std::wstring &queue)
{
    // Name, comma, entry and terminator within 130 units.
    const int room = kFullNameUnits - static_cast<int>(queue.size()) - 2;
    return room > 0 ? room : 0;
}

std::wstring Reason(const Profile &profile, const std::wstring &queue)
{
    // Appended in steps: GCC 12 warns falsely (-Wrestrict) on a literal + a temporary string at -O3.
    std::wstring reason = ReasonText(profile.outcome);
    switch (profile.outcome) {
    case Outcome::EntryTooLong:
        reason =
            L"the queue name and its Devices entry are too long for the 260-byte default-printer text (at "
            L"most ";
        reason += std::to_wstring(MaxEntryCharacters(queue));
        reason += L" characters of entry for this queue)";
        break;
    case Outcome::WriteRefused:
        reason = L"the write was refused (error ";
        reason += std::to_wstring(profile.code);
        reason += L")";
        break;
    case Outcome::OtherFailure:
        reason = L"failed: ";
        reason += profile.line;
        break;
    default:
        break;
    }
    return reason;
}

const char *OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::MadeDefault:
        return "made-default";
    case Outcome::NoDevicesKey:
        return "no-devices-key";
    case Outcome::NotListed:
        return "not-listed";
    case Outcome::EntryTooLong:
        return "entry-too-long";
    case Outcome::QueueNameTooLong:
        return "queue-name-too-long";
    case Outcome::ProfileKeyTooLong:
        return "profile-key-too-long";
    case Outcome::NoWindowsKey:
        return "no-windows-key";
    case Outcome::WriteRefused:
        return "write-refused";
    case Outcome::OtherFailure:
        return "other-failure";
    case Outcome::Incomplete:
        return "incomplete";
    }
    return "incomplete";
}

std::vector<CapturedMessage> SplitCapture(const std::wstring &text)
{
    const std::vector<std::wstring> lines = Lines(text);
    const bool prefixed = std::any_of(lines.begin(), lines.end(), [](const std::wstring &line) {
        return Contains(line, kPrefixText) || Contains(line, kPrefixTrimmed);
    });
    // A capture that does not end in a line feed was cut inside its last line.
    const bool cut = !text.empty() && text.back() != L'\n';
    std::vector<CapturedMessage> messages;
    RuleJoins joins;
    for (std::size_t index = 0; index < lines.size(); ++index) {
        const bool terminated = !cut || index + 1 < lines.size();
        if (prefixed) {
            SplitPrefixedLine(lines[index], terminated, messages, joins);
        } else {
            SplitPlainLine(lines[index], terminated, messages, joins);
        }
    }
    return messages;
}

std::vector<std::wstring> SplitMessages(const std::wstring &text)
{
    std::vector<CapturedMessage> messages = SplitCapture(text);
    std::vector<std::wstring> texts(messages.size());
    std::transform(messages.begin(), messages.end(), texts.begin(),
                   [](CapturedMessage &message) { return std::move(message.text); });
    return texts;
}

void Decoder::add(const std::wstring &message, bool cut)
{
    const std::wstring text = StartsWith(message, kPrefixText) ? message.substr(kPrefixText.size()) : message;
    if (cut) {
        addCut(text);
        return;
    }
    if (text == L"DIF_INSTALLDEVICE PostProcessing\n") {
        passes_.emplace_back();
        walking_ = false;
        profileOpen_ = false;
    }
    if (passes_.empty() || passes_.back().complete) {
        return;  // outside a pass: the other installation steps
    }
    Pass &pass = passes_.back();
    pass.messages.push_back(text);
    addToPass(pass, text);
}

void Decoder::addCut(const std::wstring &message)
{
    if (passes_.empty() || passes_.back().complete) {
        return;
    }
    Pass &pass = passes_.back();
    pass.messages.push_back(message);
    // Between profiles, a cut message that cannot be the walk's own closing lines nor the
    // start of the next pass is a profile's name line: the profile, named as far as it
    // goes, incomplete.
    const auto mayBe = [&message](const std::wstring &line) {
        return StartsWith(message, line) || StartsWith(line, message);
    };
    if (walking_ && !profileOpen_ && !message.empty() && !mayBe(L"RegEnumKeyEx(") &&
        !mayBe(L"RegOpenKeyEx(HKEY_USERS)") && !mayBe(L"DIF_INSTALLDEVICE PostProcessing\n")) {
        openProfile(pass, message);
    }
}

void Decoder::addToPass(Pass &pass, const std::wstring &message)
{
    if (!walking_) {
        beforeWalk(pass, message);
    } else if (profileOpen_) {
        inProfile(pass, pass.profiles.back(), message);
    } else {
        inWalk(pass, message);
    }
}

void Decoder::beforeWalk(Pass &pass, const std::wstring &message)
{
    long code = 0;
    const bool failure = CodeOf(message, &code);
    if (StartsWith(message, L"GetPrinterModelName() : Model Name = \"")) {
        pass.model = Between(message, L"Model Name = \"", L"\"\n");
    } else if (StartsWith(message, L"Device Instance ID = ")) {
        pass.instanceId = WithoutLineFeed(message.substr(21));
    } else if (StartsWith(message, L"PortName = ")) {
        pass.port = WithoutLineFeed(message.substr(11));
    } else if (StartsWith(message, L"FOUND : Printer Name = \"")) {
        pass.queueFound = true;
        pass.queue = FoundQueue(message, pass);
        walking_ = true;
    } else if (StartsWith(message, L"Unable to found Printer : ")) {
        pass.endedBy = WithoutLineFeed(message);
        pass.complete = true;
    } else if (StartsWith(message, L"GetPrinterModelName() failed. ")) {
        // The sequence's own line after the driver query's: it ends the pass whatever its code.
        if (pass.endedBy.empty()) {
            pass.endedBy = WithoutLineFeed(message);
        }
        pass.complete = true;
    } else if (failure && code != 0) {
        // Every other failure with a code ends the pass; the driver query's is followed by the sequence's
        // line.
        pass.endedBy = WithoutLineFeed(message);
        pass.complete = !StartsWith(message, L"GetPrinterModelName() : ");
    }
}

void Decoder::inWalk(Pass &pass, const std::wstring &message)
{
    long code = 0;
    const bool separator = IsSeparator(message);
    if (!separator && StartsWith(message, L"RegEnumKeyEx(") && CodeOf(message, &code)) {
        if (code != 259) {  // ERROR_NO_MORE_ITEMS is the walk's normal end
            pass.walkEndedBy = WithoutLineFeed(message);
        }
        pass.complete = true;
    } else if (!separator && StartsWith(message, L"RegOpenKeyEx(HKEY_USERS) : failed. ")) {
        pass.endedBy = WithoutLineFeed(message);
        pass.complete = true;
    } else if (!message.empty()) {
        // A profile's name line with its rule; without the rule only in a capture cut
        // inside that line or its rule: the profile named as far as it goes, incomplete.
        openProfile(pass, message);
    }
}

// A profile's block opens with its name line: the profile, named by that line, until
// its block ends.
void Decoder::openProfile(Pass &pass, const std::wstring &message)
{
    Profile profile;
    profile.name = message.substr(0, message.find(L'\n'));
    pass.profiles.push_back(profile);
    profileOpen_ = true;
}

void Decoder::inProfile(const Pass &pass, Profile &profile, const std::wstring &message)
{
    if (message == L"\n") {
        profileOpen_ = false;
        if (profile.outcome == Outcome::Incomplete) {
            // Nothing but the separator: the queue name did not fit the text at all.
            profile.outcome = profile.device.empty() ? Outcome::QueueNameTooLong : Outcome::MadeDefault;
        }
        return;
    }
    if (profile.outcome != Outcome::Incomplete) {
        return;
    }
    if (profile.device.empty() && StartsWith(message, pass.queue + L",") && EndsWith(message, L"\n")) {
        profile.device = WithoutLineFeed(message);
        return;
    }
    long code = 0;
    if (!CodeOf(message, &code) && !Contains(message, L" is NULL")) {
        return;  // not a failure line
    }
    profile.code = code;
    profile.line = WithoutLineFeed(message);
    profile.outcome = FailureOutcome(message, code);
}

namespace {

void AppendUtf8(char32_t code, std::string &utf8)
{
    if (code < 0x80) {
        utf8 += static_cast<char>(code);
    } else if (code < 0x800) {
        utf8 += static_cast<char>(0xC0 | (code >> 6));
        utf8 += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        utf8 += static_cast<char>(0xE0 | (code >> 12));
        utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        utf8 += static_cast<char>(0xF0 | (code >> 18));
        utf8 += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The text as UTF-8, whether wchar_t holds UTF-16 units (Windows) or code points
// (elsewhere); a lone surrogate, or what is no code point, becomes U+FFFD.
std::string Utf8(const std::wstring &text)
{
    constexpr char32_t kReplacement = 0xFFFD;
    std::string utf8;
    for (std::size_t index = 0; index < text.size(); ++index) {
        auto code = static_cast<char32_t>(text[index]);
        const bool high = code >= 0xD800 && code <= 0xDBFF;
        const bool lowNext = index + 1 < text.size() && static_cast<char32_t>(text[index + 1]) >= 0xDC00 &&
                             static_cast<char32_t>(text[index + 1]) <= 0xDFFF;
        if (high && lowNext) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<char32_t>(text[++index]) - 0xDC00);
        } else if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            code = kReplacement;
        }
        AppendUtf8(code, utf8);
    }
    return utf8;
}

}  // namespace

Json JsonText(const std::wstring &text)
{
    return Utf8(text);
}

std::string Serialized(const Json &json)
{
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json PassJson(const Pass &pass)
{
    Json json;
    json["model"] = JsonText(pass.model);
    json["instanceId"] = JsonText(pass.instanceId);
    json["port"] = JsonText(pass.port);
    json["queueFound"] = pass.queueFound;
    json["queue"] = JsonText(pass.queue);
    json["endedBy"] = JsonText(pass.endedBy);
    json["walkEndedBy"] = JsonText(pass.walkEndedBy);
    json["complete"] = pass.complete;
    json["profiles"] = Json::array();
    for (const Profile &profile : pass.profiles) {
        json["profiles"].push_back(ProfileJson(profile, pass.queue));
    }
    json["messages"] = Json::array();
    for (const std::wstring &message : pass.messages) {
        json["messages"].push_back(JsonText(message));
    }
    return json;
}

std::string ToJson(const Pass &pass)
{
    return Serialized(PassJson(pass));
}

std::string JsonString(const std::wstring &text)
{
    return Serialized(JsonText(text));
}

}  // namespace tracedecoder
