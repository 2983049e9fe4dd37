// VELDRIAN's trace read back: its messages grouped into post-processing passes, and
// for each pass the device, the queue, and every profile's outcome with a reason a
// package author or an administrator can read. No I/O: text in, passes out.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace tracedecoder {

enum class Outcome {
    MadeDefault,        // the Device value was written
    NoDevicesKey,       // the profile has no Devices key
    NotListed,          // Devices does not list the queue
    EntryTooLong,       // queue name, comma and entry exceed the 260-byte default-printer text
    QueueNameTooLong,   // only the separator and the blank line: a queue name of 129 characters or more
    ProfileKeyTooLong,  // the profile key name is over 206 characters
    NoWindowsKey,       // the profile has no Windows key
    WriteRefused,       // the Windows key could not be opened for writing, or the write failed
    OtherFailure,       // any other failure line: quoted as it stands
    Incomplete,         // the profile's block did not end (trace cut off)
};

struct Profile {
    std::wstring name;  // the HKEY_USERS subkey, as traced
    Outcome outcome = Outcome::Incomplete;
    std::wstring device;  // MadeDefault: the text written, e.g. "Model X,winspool,USB001"
    long code = 0;        // the code of the failure line, where one was traced
    std::wstring line;    // the failure line as it stands, where one was traced
};

// One line a package author can read without knowing VELDRIAN's design.
// `queue` is the pass's queue name (for the limit in characters).
std::wstring Reason(const Profile &profile, const std::wstring &queue);
const char *OutcomeName(Outcome outcome);  // stable keyword for JSON: "made-default", "no-devices-key", ...

// The most characters of Devices entry that fit beside `queue` in the 260-byte text.
int MaxEntryCharacters(const std::wstring &queue);

struct Pass {
    std::wstring model;       // the selected driver's model name
    std::wstring instanceId;  // the device's instance ID
    std::wstring port;        // the device's port name
    bool queueFound = false;
    std::wstring queue;    // the queue found
    std::wstring endedBy;  // the failure line that ended the pass before the walk ("" when the walk ran)
    std::wstring
        walkEndedBy;  // the failure line that cut the walk over the profiles short ("" when it ran out)
    std::vector<Profile> profiles;
    bool complete = false;  // ended: the walk's closing line, a pass-ending failure, or no queue found
    std::vector<std::wstring> messages;  // the pass's messages, prefix removed, as sent
};

// The prefix of every message VELDRIAN sends.
extern const wchar_t kPrefix[];  // "VELDRIAN : "

// A message read back from a capture, with the process that sent it where the capture
// has a process column (0 where it has none).
struct CapturedMessage {
    unsigned long processId = 0;
    std::wstring text;
    bool cut = false;  // the capture ends inside it: what it says so far is not conclusive
    bool operator==(const CapturedMessage &other) const = default;
};

// A capture's text (one message per line, with or without the prefix, messages possibly
// run on behind a failure message that has no line feed, the separator rule on a line of
// its own, columns of a debug viewer before the prefix) split back into messages, prefix
// removed, each as VELDRIAN sent it (line feeds included). The process column, where there
// is one, is kept: the messages of several processes may be interleaved in a capture.
std::vector<CapturedMessage> SplitCapture(const std::wstring &text);
// The same, the messages' texts alone.
std::vector<std::wstring> SplitMessages(const std::wstring &text);

class Decoder {
public:
    // One message as VELDRIAN sent it; a leading prefix is removed when present. A `cut`
    // message (a capture that ends inside it) decides nothing: it names, as far as it
    // goes, a profile whose name line it starts, and is otherwise only kept.
    void add(const std::wstring &message, bool cut = false);
    const std::vector<Pass> &passes() const { return passes_; }

private:
    void addCut(const std::wstring &message);
    void addToPass(Pass &pass, const std::wstring &message);
    void beforeWalk(Pass &pass, const std::wstring &message);
    void inWalk(Pass &pass, const std::wstring &message);
    void openProfile(Pass &pass, const std::wstring &message);
    void inProfile(const Pass &pass, Profile &profile, const std::wstring &message);

    std::vector<Pass> passes_;
    bool walking_ = false;      // the queue was found: the profiles follow
    bool profileOpen_ = false;  // the last profile's block has not ended yet
};

// JSON objects keep their members in the order they were added.
using Json = nlohmann::ordered_json;

// The pass as one JSON object: model, instanceId, port, queueFound, queue, endedBy,
// walkEndedBy, complete, profiles [{name, outcome, reason, device, code, line}], messages.
Json PassJson(const Pass &pass);
// A text as a JSON string value (UTF-8; a lone surrogate becomes U+FFFD).
Json JsonText(const std::wstring &text);
// A JSON document or value as UTF-8 text, on one line.
std::string Serialized(const Json &json);
std::string ToJson(const Pass &pass);              // Serialized(PassJson(pass))
std::string JsonString(const std::wstring &text);  // Serialized(JsonText(text)): quoted and escaped

}  // namespace tracedecoder
