// A platform call the run watches. Wine's SetupAPI can loop for ever in its file queue
// (a source file it cannot find, asked for again and again), and a vendor's
// co-installer or the platform can crash or hang inside the call: the call is made on
// a thread of its own, and the run goes on when it returns, when it crashes (the
// thread's unhandled exception ends that thread alone), when it has not returned within
// its time, or when the run is stopped (after a short grace). A thread that did not
// return is ended where it stands, and the DLLs it loaded are let go of: what it made
// is the journal's to undo.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

namespace host {

enum class CallEnd { Returned, Crashed, TimedOut, Stopped };

struct WatchedCall {
    CallEnd end = CallEnd::Returned;
    DWORD exceptionCode = 0;  // Crashed: the exception
    std::wstring where;       // Crashed: "module+0xoffset" of the faulting instruction
};

using CallFunction = void (*)(void *parameter);

// Calls function(parameter) on a thread of its own and watches it.
WatchedCall RunWatched(CallFunction function, void *parameter, unsigned timeoutSeconds,
                       const std::atomic<bool> &stop);

// Where a crash outside a watched call goes: the program's own report, which ends it.
using CrashReporter = void (*)(DWORD exceptionCode, const std::wstring &where);
// Takes every unhandled exception of the process from now on.
void WatchForCrashes(CrashReporter reporter);

// "exception 0xC0000005 (an access violation) in module+0x1234".
std::wstring CrashText(DWORD exceptionCode, const std::wstring &where);

}  // namespace host
