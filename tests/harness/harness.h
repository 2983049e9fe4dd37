// The test harness around the shipped VELDRIAN.dll: loads it as the device installer
// does, and interposes on its imports to record traces, log each call with its
// arguments, account for blocks and keys, hand out guard-page blocks, inject platform
// failures and give the answers a test states in the platform's place.
#pragma once

#include "win32/dbwin.h"
#include "win32/text.h"

#include <windows.h>
#include <setupapi.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace harness {

using CoInstallerEntry = DWORD(CALLBACK *)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA,
                                           PCOINSTALLER_CONTEXT_DATA);

// The DLL under test: the path in VELDRIAN_DLL (a Unix or Windows path), loaded once
// per process with LoadLibrary, as SetupAPI loads a co-installer.
HMODULE Veldrian();
CoInstallerEntry VeldrianEntry();
std::wstring VeldrianPath();  // Windows form of the path

// The UTF-16 form of a UTF-8 text, and back.
using win32::Wide;                             // UTF-8 to UTF-16
std::string Narrow(const std::wstring &text);  // UTF-16 to UTF-8
// The lines of a text, without their line feeds.
std::vector<std::string> Lines(const std::string &text);

// One injected failure: the `call`-th call (0-based) of `function` fails with
// `error` (a registry function returns it; the others report failure and leave it
// as last-error). A negative `call` fails every call.
struct Fault {
    std::string function;
    int call;
    DWORD error;
};

// One call the DLL made through an interposed import, with its arguments.
struct Call {
    std::string function;
    HKEY key = nullptr;            // the root (RegOpenKeyExW) or the key the call is made on
    std::wstring name;             // the key path opened, the value name, or the subkey name enumerated
    REGSAM access = 0;             // RegOpenKeyExW: the rights asked for
    HKEY opened = nullptr;         // RegOpenKeyExW: the key it opened
    DWORD type = 0;                // RegSetValueExW: the value type
    std::vector<BYTE> data;        // RegSetValueExW: exactly the bytes handed over
    const void *buffer = nullptr;  // the buffer or block handed over; null for a size probe
    SIZE_T number = 0;  // bytes (GlobalAlloc, EnumPrintersW), capacity (instance ID), index (RegEnumKeyExW)
};

// What the platform answers in a test's place: called with the real function (to
// pass the call on) and the DLL's arguments. A failure injected with inject() comes
// first; an answer replaces only the real call, so the call is still counted, logged
// and accounted for.
template <typename Function>
struct AnswerOf;
template <typename R, typename... Args>
struct AnswerOf<R (*)(Args...)> {
    using type = std::function<R(R (*real)(Args...), Args...)>;
};
template <typename Function>
using Answer = typename AnswerOf<Function>::type;

// Interposes on every import of the DLL that it knows while it lives. One at a time.
class Interposer {
public:
    Interposer();
    ~Interposer();
    Interposer(const Interposer &) = delete;
    Interposer &operator=(const Interposer &) = delete;

    // Exact UTF-16 text of each trace message, in order of arrival.
    std::vector<std::wstring> traces() const;
    std::wstring traceText() const;  // all messages concatenated
    void clearTraces();
    // Also hand each message to the real OutputDebugStringW (the DBWIN channel).
    void passTracesThrough(bool on) { passTraces_ = on; }

    // Blocks from GlobalAlloc end exactly at an inaccessible page and are filled with
    // a non-zero pattern (kFill bytes), so a read one byte past a block faults.
    static constexpr BYTE kFill = 0xAB;
    void useGuardPages(bool on) { guardPages_ = on; }

    void inject(const Fault &fault);
    void clearFaults();

    // The answer to every call of `function` (an import such as "EnumPrintersW",
    // Function its type, decltype(&EnumPrintersW)) until it is cleared.
    template <typename Function>
    void answer(const std::string &function, Answer<Function> reply)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answers_[function] = std::make_shared<Answer<Function>>(std::move(reply));
    }
    void clearAnswers();
    template <typename Function>
    std::shared_ptr<Answer<Function>> answerFor(const std::string &function) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = answers_.find(function);
        return found == answers_.end() ? nullptr : std::static_pointer_cast<Answer<Function>>(found->second);
    }

    // Calls made by the DLL, by function name, since construction or reset.
    int calls(const std::string &function) const;
    void resetCounts();
    std::vector<SIZE_T> allocationSizes() const;
    // The calls made since construction or reset, in order, with their arguments;
    // only those of `function` when one is named.
    std::vector<Call> log(const std::string &function = "") const;

    // Accounting: blocks not yet freed and keys not yet closed.
    int outstandingBlocks() const;
    int openKeys() const;

    // Names of the imports that the interposer covers.
    static std::vector<std::string> covered();

    // Internal: used by the interposed functions.
    bool shouldFail(const char *function, DWORD *error);
    void count(const char *function);
    std::size_t record(Call call);  // the call's place in the log
    void amend(std::size_t at, const std::function<void(Call &)> &change);
    void recordTrace(const wchar_t *text);
    void *allocate(UINT flags, SIZE_T bytes, DWORD *error);
    bool release(void *block);
    void keyOpened(HKEY key);
    void keyClosed(HKEY key);
    void *original(const char *function) const;
    bool passTraces() const { return passTraces_; }

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> traces_;
    std::map<std::string, int> counts_;
    std::vector<Fault> faults_;
    std::map<void *, void *> guardBlocks_;  // block -> reservation
    std::map<void *, int> blocks_;
    std::map<HKEY, int> keys_;
    std::vector<SIZE_T> sizes_;
    std::vector<Call> log_;
    std::map<std::string, std::shared_ptr<void>> answers_;
    std::map<std::string, void *> originals_;
    std::atomic<bool> guardPages_{false};
    std::atomic<bool> passTraces_{false};
};

// The interposer in force, or null.
Interposer *Active();

// Narrow text of the debugger output, read through the shared reader as a
// debug-output viewer reads it (the DBWIN_BUFFER protocol).
class DbwinReader {
public:
    DbwinReader();
    DbwinReader(const DbwinReader &) = delete;
    DbwinReader &operator=(const DbwinReader &) = delete;

    bool ok() const { return started_; }
    // Waits until every message sent before the call has been read, and returns all
    // messages read so far.
    std::vector<std::string> drain();

private:
    win32::DbwinReader reader_;
    bool started_ = false;
    std::mutex mutex_;
    std::vector<std::string> messages_;
};

// Calls the entry as the installer does, with a context record.
DWORD CallEntry(DI_FUNCTION code, HDEVINFO set = nullptr, PSP_DEVINFO_DATA device = nullptr,
                BOOL postProcessing = FALSE, DWORD installResult = NO_ERROR);

}  // namespace harness
