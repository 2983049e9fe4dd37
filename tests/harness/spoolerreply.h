// A spooler answer made by the test: EnumPrintersW at level 2, as the DLL calls it,
// answered from a list of queues the test made up, laid out as the spooler lays its
// answer out (the PRINTER_INFO_2W records first, their strings behind them, the
// last string ending at the end of the block). Installed on top of the Interposer,
// it answers in the spooler's place: the spooler is not asked.
#pragma once

#include "iat.h"

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace harness {

// One queue of the answer; an absent field is a null pointer in the record.
struct QueueRecord {
    std::optional<std::wstring> name, driver, port;
};

// The bytes of a level-2 answer for `queues`, laid out for the block at `base`.
std::vector<BYTE> PrinterInfo2Block(const std::vector<QueueRecord> &queues, BYTE *base);
// The size in bytes of that answer.
DWORD PrinterInfo2Bytes(const std::vector<QueueRecord> &queues);

// While it lives, the DLL's EnumPrintersW calls get this answer instead of the spooler's.
class ScopedSpoolerReply {
public:
    ScopedSpoolerReply();
    ~ScopedSpoolerReply();
    ScopedSpoolerReply(const ScopedSpoolerReply &) = delete;
    ScopedSpoolerReply &operator=(const ScopedSpoolerReply &) = delete;

    std::vector<QueueRecord> queues;
    // Non-zero: every call fails with this last-error (a spooler that is down).
    DWORD failure = 0;
    // Queues that appear between the size probe and the call that fetches the list.
    std::vector<QueueRecord> appearing;
    int calls = 0;

private:
    static BOOL WINAPI Answer(DWORD flags, LPWSTR server, DWORD level, LPBYTE buffer, DWORD bytes, LPDWORD needed,
                              LPDWORD returned);
    std::unique_ptr<ScopedRedirect> redirect_;
};

}  // namespace harness
