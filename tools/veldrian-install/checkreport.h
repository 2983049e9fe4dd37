// The package check's report: the findings grouped by the models that share them, the
// notes, a summary that counts models and architectures apart and stays one readable
// line at any size, progress on a terminal, and the whole result as JSON.
#pragma once

#include "console.h"
#include "packagecheck.h"

#include <string>

namespace host {

// --check: reads nothing itself; prints the report (every model with `verbose`), with
// `json` the result as JSON on the standard output. Returns the exit status.
// port: --port, or empty.
int RunCheck(Console &console, const Package &package, const std::wstring &dll, const std::wstring &port,
             bool verbose, bool json);

// The result as one JSON document (UTF-8): every model and finding, nothing cut.
std::string CheckJson(const std::wstring &infPath, const PackageCheck &check, int status);

}  // namespace host
