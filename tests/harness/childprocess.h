// Programs a test starts (the installation host, the trace reader, a child test
// program): each runs in a job object that ends it, and whatever it started, when the
// test lets go of it, whatever the test's outcome. And the clean-up of the Wine prefix
// from programs an earlier test run left running.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace harness {

class ChildProcess {
public:
    // Starts `command` (the whole command line) with the given standard handles
    // (inheritable, or null) in `directory` ("" for this process's own).
    ChildProcess(std::wstring command, HANDLE output, HANDLE error, const std::wstring &directory = L"");
    ~ChildProcess();  // ends it, and what it started, if still running
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    bool started() const { return process_.hProcess != nullptr; }
    DWORD startError() const { return startError_; }
    DWORD processId() const { return process_.dwProcessId; }
    HANDLE handle() const { return process_.hProcess; }
    HANDLE thread() const { return process_.hThread; }
    // Waits for its end, ending it after `timeoutMs`, and gives its exit code
    // (kEnded when it had to be ended).
    DWORD wait(DWORD timeoutMs);

    static constexpr DWORD kEnded = 0xDEAD;

private:
    HANDLE job_ = nullptr;
    PROCESS_INFORMATION process_{};
    DWORD startError_ = 0;
};

// Ends every process of this Wine prefix whose program lies in the build tree (the
// folder above this test program's own), but this one, and gives their names: what an
// earlier test left running.
std::vector<std::wstring> EndLeftoverProcesses();

}  // namespace harness
