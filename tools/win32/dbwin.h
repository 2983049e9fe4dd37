// The debugger output as debug-output viewers read it: the DBWIN_BUFFER section and its
// DBWIN_BUFFER_READY / DBWIN_DATA_READY events. OutputDebugString in any process waits
// for the buffer to be ready, writes its process ID and text (in the ANSI code page)
// there, and signals that data is ready. One reader at a time: a second one would take
// messages away from the first, so the reader refuses to start when the buffer is held.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

namespace win32 {

struct DbwinMessage {
    DWORD processId = 0;  // the sender's
    SYSTEMTIME time{};    // local time of arrival
    std::string text;     // as sent, in the ANSI code page
    std::wstring wide() const;
};

// A process writes to the buffer of its own session. The global buffer is session 0's,
// where services run (Windows installs devices there): to hear every session, read both.
enum class DbwinScope {
    Session,  // the reader's own session (DBWIN_BUFFER)
    Global,   // session 0 (Global\DBWIN_BUFFER); creating it needs administrator rights
};

enum class DbwinOpen {
    Started,
    AlreadyRead,  // another program reads the buffer already (its section or events exist)
    NeedsRights,  // the global buffer needs administrator rights (SeCreateGlobalPrivilege)
    Failed,       // any other failure; the error text says which
};

class DbwinReader {
public:
    using Callback = std::function<void(const DbwinMessage &message)>;

    DbwinReader() = default;
    ~DbwinReader();
    DbwinReader(const DbwinReader &) = delete;
    DbwinReader &operator=(const DbwinReader &) = delete;

    // Opens the buffer and starts a thread that hands every message to `callback`, one
    // at a time, in order. `error` receives one line saying what went wrong. With
    // `joinHeld`, a buffer that another reader holds is joined instead of refused
    // (the two readers then share the messages between them).
    DbwinOpen start(DbwinScope scope, Callback callback, std::wstring *error, bool joinHeld = false);

    // Returns true once every message this process sent before the call has been handed
    // over; false after `timeoutMs`. Only where this process's messages reach the buffer
    // read: in the session scope, or in the global one for a process of session 0.
    bool sync(DWORD timeoutMs = 10000);

    // Whether another reader has joined the buffer since this one started and took
    // messages meant for it: a message sent by sync() never reached this reader. Each
    // message reaches one reader only, so from then on this reader's view is partial.
    // Known only through sync(), and only where sync() works.
    bool missed() const;

    // Ends the reader within `timeoutMs`; false when the callback was still running then
    // (the thread is then left to end on its own, with the buffer still mapped for it).
    bool stop(DWORD timeoutMs = 2000);

private:
    struct State;
    static DWORD WINAPI Run(void *parameter);
    std::shared_ptr<State> state_;  // shared with the thread, which may outlive a stop that timed out
    HANDLE thread_ = nullptr;
    int syncSent_ = 0;
};

}  // namespace win32
