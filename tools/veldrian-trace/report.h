// What veldrian-trace shows: VELDRIAN's messages as they arrive, and each
// post-processing pass, decoded, once it has ended; or the passes as JSON.
#pragma once

#include "options.h"
#include "tracedecoder.h"

#include <windows.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace trace {

// The standard output or error: a console gets the text as it is, a file or pipe UTF-8.
class Output {
public:
    explicit Output(DWORD standardHandle);
    void write(const std::wstring &text);
    void writeUtf8(const std::string &utf8);

private:
    HANDLE handle_;
    bool console_ = false;
};

class Report {
public:
    Report(const Options &options, Output &out, Output &err) : options_(options), out_(out), err_(err) {}

    // A message of the debugger output; only VELDRIAN's are shown and decoded. True once
    // listening can end (--one-pass, and a pass is complete). Safe from any thread.
    bool message(DWORD processId, const SYSTEMTIME &time, const std::wstring &text);
    // The messages of a saved capture, each with its sender where the capture names it.
    void capture(const std::vector<tracedecoder::CapturedMessage> &messages);
    // Shows the passes that never ended, writes the JSON document, and gives the exit status.
    int finish();

private:
    struct Stream {
        tracedecoder::Decoder decoder;
        std::size_t reported = 0;
    };
    void add(DWORD processId, const std::wstring &message, bool cut = false);
    void report(DWORD processId, const tracedecoder::Pass &pass);
    Output &live() { return options_.json ? err_ : out_; }

    const Options &options_;
    Output &out_;
    Output &err_;
    std::mutex mutex_;
    std::map<DWORD, Stream> streams_;
    tracedecoder::Json json_ = tracedecoder::Json::array();
    int reported_ = 0;
    int complete_ = 0;
};

// A pass as an administrator reads it: device, queue, and each profile's outcome.
std::wstring Describe(const tracedecoder::Pass &pass, int number, DWORD processId);

}  // namespace trace
