#include "harness/childprocess.h"

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

}  // namespace harness
