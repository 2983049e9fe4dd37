#include "harness/childprocess.h"

#include "harness/platform.h"
#include "win32/files.h"

#include <tlhelp32.h>

#include <cwctype>

namespace harness {

namespace {

// A job whose programs end when its last handle is closed.
HANDLE KillOnCloseJob()
{
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != nullptr &&
        !SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
        CloseHandle(job);
        job = nullptr;
    }
    return job;
}

std::wstring Lower(std::wstring text)
{
    for (wchar_t &c : text) {
        c = static_cast<wchar_t>(std::towlower(c));
    }
    return text;
}

// The build tree, ending in a backslash: the folder above this program's own.
std::wstring BuildTree()
{
    wchar_t self[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH * 2);
    std::wstring path = self;
    for (int level = 0; level < 2; ++level) {
        const std::size_t slash = path.find_last_of(L"\\/");
        path = slash == std::wstring::npos ? L"" : path.substr(0, slash);
    }
    return path.empty() ? path : Lower(path) + L"\\";
}

std::wstring ImagePath(HANDLE process)
{
    wchar_t image[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    return QueryFullProcessImageNameW(process, 0, image, &size) ? std::wstring(image, size) : L"";
}

// One part of a command line, quoted as the program's argument parser reads it back:
// a quote inside escaped, and the backslashes before a quote or the closing one doubled.
std::wstring Quoted(const std::wstring &part)
{
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : part) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L"\"";
}

std::wstring CommandLine(const std::wstring &program, const std::vector<std::wstring> &arguments)
{
    std::wstring command = Quoted(program);
    for (const std::wstring &argument : arguments) {
        command += L" " + Quoted(argument);
    }
    return command;
}

std::wstring NextOutputBase()
{
    static int serial = 0;
    return TempDirectory() + L"veldrian-child-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(++serial);
}

// An inheritable handle for a child's output; the caller closes it once the child is started.
HANDLE OpenOutput(const std::wstring &path, std::vector<HANDLE> *opened)
{
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    opened->push_back(file);
    return file;
}

}  // namespace

ChildProcess::ChildProcess(std::wstring command, HANDLE output, HANDLE error, const std::wstring &directory)
    : job_(KillOnCloseJob())
{
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = error;
    // Suspended until it is in the job, so that nothing it starts escapes it.
    if (job_ == nullptr ||
        !CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process_)) {
        startError_ = GetLastError();
        process_ = {};
        return;
    }
    if (!AssignProcessToJobObject(job_, process_.hProcess)) {
        startError_ = GetLastError();
        TerminateProcess(process_.hProcess, kEnded);
    }
    ResumeThread(process_.hThread);
}

ChildProcess::~ChildProcess()
{
    if (job_ != nullptr) {
        CloseHandle(job_);  // ends whatever still runs in it
    }
    if (started()) {
        TerminateProcess(process_.hProcess, kEnded);
        WaitForSingleObject(process_.hProcess, 10000);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
}

DWORD ChildProcess::wait(DWORD timeoutMs)
{
    if (!started()) {
        return kEnded;
    }
    if (WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        TerminateJobObject(job_, kEnded);
        WaitForSingleObject(process_.hProcess, 10000);
    }
    DWORD code = kEnded;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

ProgramProcess::ProgramProcess(const std::wstring &program, const std::vector<std::wstring> &arguments,
                               const std::wstring &directory)
    : outPath_(NextOutputBase() + L".out"), errPath_(outPath_.substr(0, outPath_.size() - 4) + L".err"),
      process_(CommandLine(program, arguments), OpenOutput(outPath_, &outputs_),
               OpenOutput(errPath_, &outputs_), directory)
{
    for (HANDLE file : outputs_) {
        CloseHandle(file);  // the child holds its own
    }
}

ProgramProcess::~ProgramProcess()
{
    kill();
    DeleteFileW(outPath_.c_str());
    DeleteFileW(errPath_.c_str());
}

bool ProgramProcess::waitForOutput(const std::string &text, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        if (win32::ReadWholeFile(outPath_).find(text) != std::string::npos) {
            return true;
        }
        if (!process_.started() || WaitForSingleObject(process_.handle(), 100) == WAIT_OBJECT_0) {
            return win32::ReadWholeFile(outPath_).find(text) != std::string::npos;
        }
    }
    return false;
}

void ProgramProcess::kill()
{
    if (process_.started()) {
        TerminateProcess(process_.handle(), ChildProcess::kEnded);
        WaitForSingleObject(process_.handle(), 10000);
    }
}

ProgramRun ProgramProcess::finish(DWORD timeoutMs)
{
    ProgramRun run;
    run.exitCode = process_.wait(timeoutMs);
    run.out = win32::ReadWholeFile(outPath_);
    run.err = win32::ReadWholeFile(errPath_);
    if (!process_.started()) {
        run.err = "cannot start the program: error " + std::to_string(process_.startError()) + "\n" + run.err;
    }
    DeleteFileW(outPath_.c_str());
    DeleteFileW(errPath_.c_str());
    return run;
}

ProgramRun RunProgram(const std::wstring &program, const std::vector<std::wstring> &arguments,
                      DWORD timeoutMs, const std::wstring &directory)
{
    return ProgramProcess(program, arguments, directory).finish(timeoutMs);
}

std::vector<std::wstring> EndLeftoverProcesses()
{
    std::vector<std::wstring> ended;
    const std::wstring tree = BuildTree();
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (tree.empty() || snapshot == INVALID_HANDLE_VALUE) {
        return ended;
    }
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) {
            continue;
        }
        HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE,
                                     FALSE, entry.th32ProcessID);
        if (process == nullptr) {
            continue;
        }
        const std::wstring image = ImagePath(process);
        if (!image.empty() && Lower(image).rfind(tree, 0) == 0 &&
            TerminateProcess(process, ChildProcess::kEnded)) {
            WaitForSingleObject(process, 10000);
            ended.push_back(image + L" (process " + std::to_wstring(entry.th32ProcessID) + L")");
        }
        CloseHandle(process);
    }
    CloseHandle(snapshot);
    return ended;
}

bool SendCtrlC(HANDLE process)
{
    auto *routine = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine")));
    HANDLE thread = routine == nullptr
                        ? nullptr
                        : CreateRemoteThread(process, nullptr, 0, routine,
                                             reinterpret_cast<void *>(CTRL_C_EVENT), 0, nullptr);
    const bool handled = thread != nullptr && WaitForSingleObject(thread, 30000) == WAIT_OBJECT_0;
    if (thread != nullptr) {
        CloseHandle(thread);
    }
    return handled;
}

}  // namespace harness
