// Programs a test starts (the installation host, the trace reader, a child test
// program): each runs in a job object that ends it, and whatever it started, when the
// test lets go of it, whatever the test's outcome. RunProgram runs one to its end and
// gives its status and both outputs; ProgramProcess is the streaming form, for a test
// that watches the output or the process while it runs. And the clean-up of the Wine
// prefix from programs an earlier test run left running.
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

// What a finished program gave: its exit code (ChildProcess::kEnded when it had to be
// ended, or never started) and its standard output and error.
struct ProgramRun {
    DWORD exitCode = ChildProcess::kEnded;
    std::string out;
    std::string err;
};

// `program` started with `arguments`, each quoted, in `directory` ("" for this
// process's own), its standard output and error in temporary files that go with it.
class ProgramProcess {
public:
    ProgramProcess(const std::wstring &program, const std::vector<std::wstring> &arguments,
                   const std::wstring &directory = L"");
    ~ProgramProcess();
    ProgramProcess(const ProgramProcess &) = delete;
    ProgramProcess &operator=(const ProgramProcess &) = delete;

    ChildProcess &process() { return process_; }
    DWORD processId() const { return process_.processId(); }
    // Waits until its standard output holds `text`; false when it ended first or
    // `timeoutMs` passed.
    bool waitForOutput(const std::string &text, DWORD timeoutMs);
    // Ends it as a kill does: no clean-up of its own.
    void kill();
    // Waits for its end, ending it after `timeoutMs`, and reads what it wrote (a start
    // that failed is said on the error output); its files go then.
    ProgramRun finish(DWORD timeoutMs);

private:
    std::wstring outPath_;
    std::wstring errPath_;
    std::vector<HANDLE> outputs_;  // declared before process_: filled while it is made
    ChildProcess process_;
};

// Ctrl+C as the console delivers it: a thread of the process starts at kernelbase's
// CtrlRoutine with the event, which calls the process's console handlers. Returns once
// they have run.
bool SendCtrlC(HANDLE process);

// Runs `program` with `arguments` to its end (ended after `timeoutMs`).
ProgramRun RunProgram(const std::wstring &program, const std::vector<std::wstring> &arguments,
                      DWORD timeoutMs, const std::wstring &directory = L"");

// Ends every process of this Wine prefix whose program lies in the build tree (the
// folder above this test program's own), but this one, and gives their names: what an
// earlier test left running.
std::vector<std::wstring> EndLeftoverProcesses();

}  // namespace harness
