// One installation of a printer driver package under Wine, end to end, as Windows'
// own tools make it: the device is created and registered, then newdev installs the
// package's driver on it and sends every DIF request itself. The printer class
// installer stand-in makes the print queue and the post-processing call. The
// default printer of each profile is read before and after. Everything the run is
// about to make or change is written to the prefix's journal first (journal.h);
// the journal, not this class, removes it again.
#pragma once

#include "console.h"
#include "options.h"
#include "package.h"
#include "result.h"
#include "standin.h"

#include <windows.h>
#include <setupapi.h>

#include <atomic>
#include <string>
#include <vector>

namespace host {

struct Subject {
    Package package;
    InfModel model;
    std::wstring dll;                 // the DLL under test, absolute Windows path
    std::vector<std::wstring> notes;  // what the run should say of the package before it starts
};

// Set by Ctrl+C (or a stop the console sends): the run ends at its next step.
extern std::atomic<bool> g_stopRequested;

class Installation {
public:
    Installation(Console &console, DbwinListener &listener, const Options &options, const Subject &subject);
    ~Installation();
    Installation(const Installation &) = delete;
    Installation &operator=(const Installation &) = delete;

    // Installs the model, then removes what the run made through the journal
    // (unless it keeps it), and judges the outcome from VELDRIAN's trace.
    RunResult run();

private:
    bool stage();
    bool setAsideSystemFiles();
    bool registerClassInstaller();
    bool makeProfiles();
    bool install();
    bool createDevice();
    bool connectStandin();
    void checkOutcome();
    void readDeviceValues(bool before);
    void finish();
    std::wstring notCalledReason() const;

    // Called by the printer class installer stand-in as it works.
    static void StandinNote(void *context, const wchar_t *text);
    static BOOL StandinWillMake(void *context, const wchar_t *queue, const wchar_t *driver, BOOL driverNew);
    static void StandinQueueMade(void *context, const wchar_t *queue, const wchar_t *driver,
                                 const wchar_t *port, BOOL driverAdded);
    void queueMade(const std::wstring &queue, const std::wstring &port);

    bool stopped();
    void step(const std::wstring &text);
    void note(const std::wstring &text);
    void failWith(const std::wstring &reason);
    void reportLeft(const std::vector<std::wstring> &left);
    std::wstring driverKeyPath() const;

    Console &console_;
    DbwinListener &listener_;
    Options options_;
    Subject subject_;
    std::vector<ProfileRequest> profiles_;

    std::wstring systemDll_;     // C:\windows\system32\VELDRIAN.dll
    std::wstring infDirectory_;  // C:\windows\inf\, where SetupAPI copies the INF
    Stage stage_;

    std::wstring standinPath_;  // the printer class installer stand-in beside the host
    HMODULE standin_ = nullptr;
    standin::ConnectFunction standinConnect_ = nullptr;
    std::wstring standinPort_;

    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device_{};
    std::wstring instanceId_;
    std::wstring installedInfName_;

    std::wstring queue_;
    bool queueMade_ = false;
    std::vector<ProfileResult> rows_;
    bool installed_ = false;
    bool abandoned_ = false;  // the newdev call crashed, hung or was stopped, and was ended
    std::wstring installFailure_;
};

}  // namespace host
