// Command line of veldrian-trace: where the trace comes from, and when listening ends.
#pragma once

#include "win32/commandline.h"

#include <string>
#include <vector>

namespace trace {

struct Options {
    bool global = false;   // every session's debugger output, not only this session's
    long seconds = 0;      // --for: listen this long (0: until Ctrl+C or the pass asked for)
    bool onePass = false;  // end once a post-processing pass is complete
    bool json = false;
    std::wstring from;  // a saved capture to read instead of listening
    bool help = false;
};

using ParsedOptions = win32::ParsedOptions<Options>;

ParsedOptions ParseOptions(const std::vector<std::wstring> &arguments);
std::wstring Usage();

// Exit statuses.
constexpr int kExitDone = 0;
constexpr int kExitFailure = 1;  // the trace could not be read
constexpr int kExitUsage = 2;
constexpr int kExitNoPass = 3;  // no post-processing pass (with --one-pass: none complete)

}  // namespace trace
