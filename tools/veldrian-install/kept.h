// What a run kept with --keep, recorded in the Wine prefix itself so that a later
// --clean can remove it all and put back what it replaced, and so that a later run
// does not install over it.
#pragma once

#include "console.h"
#include "state.h"

#include <string>
#include <vector>

namespace host {

struct KeptRun {
    std::wstring instanceId;               // the device
    std::wstring queue;                    // the print queue, when the run made one
    std::wstring driver;                   // the printer driver, when the run added it
    std::vector<std::wstring> profiles;    // the profiles made for the run
    std::vector<std::wstring> files;       // files the run added (the INF copy, system32\VELDRIAN.dll)
    SavedFile earlierSystemDll;            // the system32\VELDRIAN.dll the run replaced, if any
    std::vector<SavedValue> deviceValues;  // the Device values of earlier profiles, as they were
};

// Records a kept run. On failure *error says why.
bool RecordKeptRun(const KeptRun &kept, std::wstring *error);
// A line naming the kept run recorded in this prefix, or "" when there is none.
std::wstring DescribeKeptRun();
// Removes the recorded run and puts back what it replaced, saying what it did.
// The exit status: 0 when everything recorded is gone (or nothing was recorded), 1 when not.
int CleanKeptRun(Console &console);

}  // namespace host
