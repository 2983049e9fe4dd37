#include "win32/dbwin.h"

#include "win32/text.h"

#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace win32 {

namespace {

constexpr DWORD kBufferSize = 4096;  // the process ID, then the text and its terminator

struct Names {
    const wchar_t *bufferReady;
    const wchar_t *dataReady;
    const wchar_t *buffer;
};

Names NamesOf(DbwinScope scope)
{
    if (scope == DbwinScope::Global) {
        return {L"Global\\DBWIN_BUFFER_READY", L"Global\\DBWIN_DATA_READY", L"Global\\DBWIN_BUFFER"};
    }
    return {L"DBWIN_BUFFER_READY", L"DBWIN_DATA_READY", L"DBWIN_BUFFER"};
}

// Every process may write to the buffer, whatever account it runs under (services too).
class WritableByAll {
public:
    WritableByAll()
    {
        ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;GRGWGX;;;WD)(A;;GA;;;SY)(A;;GA;;;BA)",
                                                             SDDL_REVISION_1,
                                                             &attributes_.lpSecurityDescriptor, nullptr);
    }
    ~WritableByAll() { LocalFree(attributes_.lpSecurityDescriptor); }
    WritableByAll(const WritableByAll &) = delete;
    WritableByAll &operator=(const WritableByAll &) = delete;
    SECURITY_ATTRIBUTES *get()
    {
        return attributes_.lpSecurityDescriptor != nullptr ? &attributes_ : nullptr;
    }

private:
    SECURITY_ATTRIBUTES attributes_{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
};

// Whether an event of the buffer exists, though this process may not be allowed to open it.
bool Exists(const wchar_t *eventName)
{
    HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, eventName);
    const DWORD error = GetLastError();
    if (event != nullptr) {
        CloseHandle(event);
        return true;
    }
    return error != ERROR_FILE_NOT_FOUND;
}

std::wstring Where(DbwinScope scope)
{
    return scope == DbwinScope::Global ? L"the debugger output of all sessions (Global\\DBWIN_BUFFER)"
                                       : L"the debugger output of this session (DBWIN_BUFFER)";
}

}  // namespace

struct DbwinReader::State {
    HANDLE bufferReady = nullptr;
    HANDLE dataReady = nullptr;
    HANDLE mapping = nullptr;
    HANDLE stop = nullptr;
    const char *view = nullptr;
    Callback callback;
    std::string syncPrefix;
    std::mutex syncMutex;
    std::condition_variable syncSeen;
    int syncReceived = 0;
    bool syncMissed = false;  // a sync message never arrived: another reader took it

    State() = default;
    State(const State &) = delete;
    State &operator=(const State &) = delete;
    ~State()
    {
        if (view != nullptr) {
            UnmapViewOfFile(view);
        }
        for (HANDLE handle : {mapping, dataReady, bufferReady, stop}) {
            if (handle != nullptr) {
                CloseHandle(handle);
            }
        }
    }
};

std::wstring DbwinMessage::wide() const
{
    return FromCodePage(CP_ACP, text);
}

DbwinReader::~DbwinReader()
{
    stop();
}

DbwinOpen DbwinReader::start(DbwinScope scope, Callback callback, std::wstring *error, bool joinHeld)
{
    const Names names = NamesOf(scope);
    auto state = std::make_shared<State>();
    WritableByAll security;
    DWORD failure = NO_ERROR;
    bool held = false;
    // A reader creates the events and the section; writers only open them. So if any of
    // them exists already, another reader is at work.
    const auto opened = [&](HANDLE handle) {
        const DWORD code = GetLastError();
        if (handle == nullptr && failure == NO_ERROR) {
            failure = code;
        }
        held = held || code == ERROR_ALREADY_EXISTS;
        return handle;
    };
    SetLastError(NO_ERROR);
    state->bufferReady = opened(CreateEventW(security.get(), FALSE, FALSE, names.bufferReady));
    SetLastError(NO_ERROR);
    state->dataReady = opened(CreateEventW(security.get(), FALSE, FALSE, names.dataReady));
    SetLastError(NO_ERROR);
    state->mapping = opened(CreateFileMappingW(INVALID_HANDLE_VALUE, security.get(), PAGE_READWRITE, 0,
                                               kBufferSize, names.buffer));

    if (failure == ERROR_ACCESS_DENIED && !held && !Exists(names.bufferReady) && !Exists(names.dataReady)) {
        *error = L"cannot listen to " + Where(scope) + L": that needs administrator rights (run it elevated)";
        return DbwinOpen::NeedsRights;
    }
    if ((held && !joinHeld) || failure == ERROR_ACCESS_DENIED) {
        *error =
            L"cannot listen to " + Where(scope) +
            L": another program is reading it already (a debugger or a debug-output viewer); close it first";
        return DbwinOpen::AlreadyRead;
    }
    if (failure != NO_ERROR) {
        *error = L"cannot open " + Where(scope) + L": error " + std::to_wstring(failure);
        return DbwinOpen::Failed;
    }
    state->view = static_cast<const char *>(MapViewOfFile(state->mapping, FILE_MAP_READ, 0, 0, kBufferSize));
    state->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    state->callback = std::move(callback);
    state->syncPrefix = "win32 dbwin sync " + std::to_string(GetCurrentProcessId()) + " ";
    auto *threadState = new std::shared_ptr<State>(state);
    thread_ = state->view != nullptr && state->stop != nullptr
                  ? CreateThread(nullptr, 0, &DbwinReader::Run, threadState, 0, nullptr)
                  : nullptr;
    if (thread_ == nullptr) {
        *error = L"cannot read " + Where(scope) + L": error " + std::to_wstring(GetLastError());
        delete threadState;
        return DbwinOpen::Failed;
    }
    state_ = state;
    return DbwinOpen::Started;
}

DWORD WINAPI DbwinReader::Run(void *parameter)
{
    const std::shared_ptr<State> state = *static_cast<std::shared_ptr<State> *>(parameter);
    delete static_cast<std::shared_ptr<State> *>(parameter);
    const HANDLE waits[] = {state->stop, state->dataReady};
    const DWORD self = GetCurrentProcessId();
    for (;;) {
        SetEvent(state->bufferReady);
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1) {
            break;
        }
        DbwinMessage message;
        std::memcpy(&message.processId, state->view, sizeof(DWORD));
        GetLocalTime(&message.time);
        const char *text = state->view + sizeof(DWORD);
        message.text.assign(text, strnlen(text, kBufferSize - sizeof(DWORD)));
        if (message.processId == self && message.text.rfind(state->syncPrefix, 0) == 0) {
            std::lock_guard<std::mutex> lock(state->syncMutex);
            const int serial =
                static_cast<int>(std::strtol(message.text.c_str() + state->syncPrefix.size(), nullptr, 10));
            state->syncMissed = state->syncMissed || serial != state->syncReceived + 1;
            state->syncReceived = std::max(serial, state->syncReceived);
            state->syncSeen.notify_all();
        } else {
            state->callback(message);
        }
    }
    return 0;
}

bool DbwinReader::sync(DWORD timeoutMs)
{
    if (thread_ == nullptr) {
        return false;
    }
    // The writer waits for the reader, so once the reader has seen this message it has
    // handed over every message sent before it.
    const int serial = ++syncSent_;
    OutputDebugStringA((state_->syncPrefix + std::to_string(serial)).c_str());
    std::unique_lock<std::mutex> lock(state_->syncMutex);
    const bool seen = state_->syncSeen.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                [&] { return state_->syncReceived >= serial; });
    state_->syncMissed = state_->syncMissed || !seen;
    return seen;
}

bool DbwinReader::missed() const
{
    if (state_ == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(state_->syncMutex);
    return state_->syncMissed;
}

bool DbwinReader::stop(DWORD timeoutMs)
{
    if (thread_ == nullptr) {
        return true;
    }
    SetEvent(state_->stop);
    const bool ended = WaitForSingleObject(thread_, timeoutMs) == WAIT_OBJECT_0;
    CloseHandle(thread_);
    thread_ = nullptr;
    state_.reset();  // a thread still running keeps its own share
    return ended;
}

}  // namespace win32
