// The host's exit statuses, the same for a plain run, --all-models, --check and
// --clean: named once here, with the meaning --help gives each.
#pragma once

#include <iterator>

namespace host {

enum ExitStatus : int {
    kExitOk = 0,             // VELDRIAN ran its post-processing; every profile that lists the queue got it
    kExitNotInstalled = 1,   // the package could not be installed (or bad input, or --clean left something)
    kExitUsage = 2,          // a bad option
    kExitNotCalled = 3,      // VELDRIAN was not called for the post-processing
    kExitNoQueue = 4,        // VELDRIAN ran but found no queue
    kExitNotChanged = 5,     // a profile that lists the queue was not changed
    kExitCheckFindings = 6,  // --check found faults in the package
    kExitAbandoned = 7,      // the newdev call crashed or did not return in time: ended, its work undone
    kExitStopped = 130,      // Ctrl+C (or SIGINT, or SIGTERM through tools/run.sh)
};

struct ExitStatusMeaning {
    ExitStatus status;
    const wchar_t *meaning;  // as --help says it
};

inline constexpr ExitStatusMeaning kExitStatuses[] = {
    {kExitOk, L"VELDRIAN ran its post-processing, and every profile that lists the queue got it as its "
              L"default printer (--check, --clean: nothing wrong)"},
    {kExitNotInstalled, L"the package could not be installed, or an input is unusable (one line on the error "
                        L"output says why), or Windows would fail it (a finding of --check), or another run "
                        L"holds the Wine prefix, or another program reads the debugger output; --clean: "
                        L"something could not be removed"},
    {kExitUsage, L"a bad option"},
    {kExitNotCalled, L"VELDRIAN was not called for the post-processing (the reason names the .CoInstallers "
                     L"section the platform looked for)"},
    {kExitNoQueue, L"VELDRIAN ran but found no queue"},
    {kExitNotChanged, L"a profile that lists the queue was not changed"},
    {kExitCheckFindings, L"--check found faults in the package"},
    {kExitAbandoned, L"the installation did not end by itself: the platform crashed inside the newdev call, "
                     L"or the call did not return within --timeout; it was ended and its work undone"},
    {kExitStopped, L"stopped by Ctrl+C (or SIGINT; tools/run.sh passes SIGTERM on as SIGINT): the work of "
                   L"the model under way is undone and no further model starts"},
};
static_assert(std::size(kExitStatuses) == 9, "every status has its meaning");

}  // namespace host
