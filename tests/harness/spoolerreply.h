// A spooler answer made by the test: EnumPrintersW at level 2, as the DLL calls it,
// answered from a list of queues the test made up, laid out as the spooler lays its
// answer out (the PRINTER_INFO_2W records first, their strings behind them, the
// last string ending at the end of the block). Given to the interposer as its
// answer to EnumPrintersW, it answers in the spooler's place: the spooler is not asked.
#pragma once

#include "harness.h"

#include <windows.h>
#include <winspool.h>

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

// The spooler as the test makes it up.
struct SpoolerReply {
    std::vector<QueueRecord> queues;
    // Non-zero: every call fails with this last-error (a spooler that is down).
    DWORD failure = 0;
    // Queues that appear between the size probe and the call that fetches the list.
    std::vector<QueueRecord> appearing;
};

// The answer to EnumPrintersW from `reply`, which must outlive it.
Answer<decltype(&EnumPrintersW)> SpoolerAnswer(const SpoolerReply &reply);

}  // namespace harness
