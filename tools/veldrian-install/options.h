// Command line of veldrian-install: what to install, on which profiles, with which DLL.
#pragma once

#include "win32/commandline.h"

#include <string>
#include <vector>

namespace host {

// A profile made under HKEY_USERS for the run.
struct ProfileRequest {
    std::wstring name;
    bool listsPrinter = true;  // whether its Devices key gets an entry for the new queue
};

struct Options {
    std::wstring inf;               // empty: the bundled example
    std::wstring model;             // empty: the INF's first model
    std::wstring port;              // empty: the PortName the INF's .HW section wrote
    std::wstring dll;               // empty: VELDRIAN.dll beside the program
    unsigned timeoutSeconds = 120;  // the longest the newdev call may take
    std::vector<ProfileRequest> profiles;
    bool demoProfiles = true;  // no --profile / --unlisted-profile given
    bool noQueue = false;
    bool keep = false;
    bool clean = false;      // remove what an earlier --keep left, and nothing else
    bool check = false;      // check the package's INF and DLL without installing anything
    bool allModels = false;  // install every model of the package in turn
    bool verbose = false;    // --check: the models without findings too
    bool json = false;       // the result as JSON on the standard output
    bool help = false;
};

using ParsedOptions = win32::ParsedOptions<Options>;

ParsedOptions ParseOptions(const std::vector<std::wstring> &arguments);
std::wstring Usage();

// The profiles made when none are asked for: one lists the printer, one does not.
std::vector<ProfileRequest> DemonstrationProfiles();

// What a profile made for the run holds before the installation: an earlier
// default printer, listed under its Devices key.
extern const wchar_t kEarlierPrinter[];
extern const wchar_t kEarlierPrinterEntry[];

}  // namespace host
