// One installation of a printer driver package under Wine, end to end, as Windows'
// own tools make it: the device is created and registered, then newdev installs the
// package's driver on it and sends every DIF request itself. The printer class
// installer stand-in makes the print queue and the post-processing call. The
// default printer of each profile is read before and after, and everything the run
// made is removed again unless it is asked to keep it.
#pragma once

#include "console.h"
#include "options.h"
#include "package.h"
#include "printerclass-standin/standin.h"
#include "result.h"
#include "state.h"

#include <windows.h>
#include <setupapi.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace host {

struct Subject {
    Package package;
    InfModel model;
    std::wstring dll;                 // the DLL under test, absolute Windows path
    std::vector<std::wstring> notes;  // what the run should say of the package before it starts
};

class Installation {
public:
    Installation(Console &console, DbwinListener &listener, const Options &options, const Subject &subject);
    ~Installation();
    Installation(const Installation &) = delete;
    Installation &operator=(const Installation &) = delete;

    // Installs the model, removes what the run made (unless it keeps it), and
    // judges the outcome from VELDRIAN's trace.
    RunResult run();

private:
    bool prepare();
    bool registerClassInstaller();
    bool makeProfiles();
    bool install();
    bool createDevice();
    bool connectStandin();
    void checkOutcome();
    void readDeviceValues(bool before);
    void cleanUp();
    void keep();
    void removeInfCopies(std::vector<std::wstring> *removed);
    std::wstring notCalledReason();

    // Called by the printer class installer stand-in as it works.
    static void StandinNote(void *context, const wchar_t *text);
    static void StandinQueueMade(void *context, const wchar_t *queue, const wchar_t *driver,
                                 const wchar_t *port, BOOL driverAdded);
    void queueMade(const std::wstring &queue, const std::wstring &port, bool driverAdded);

    void step(const std::wstring &text);
    void note(const std::wstring &text);
    void failWith(const std::wstring &reason);
    std::wstring driverKeyPath() const;

    Console &console_;
    DbwinListener &listener_;
    Options options_;
    Subject subject_;
    std::vector<ProfileRequest> profiles_;

    std::wstring systemDll_;     // C:\windows\system32\VELDRIAN.dll
    std::wstring infDirectory_;  // C:\windows\inf\, where SetupAPI copies the INF
    Stage stage_;
    bool staged_ = false;
    SavedFile savedSystemDll_;
    bool systemDllSaved_ = false;
    std::vector<SavedFile> savedInfCopies_;
    std::vector<std::wstring> infDirectoryBefore_;
    std::wstring installedInfName_;
    bool infCopiesSaved_ = false;

    std::wstring standinPath_;  // the printer class installer stand-in beside the host
    HMODULE standin_ = nullptr;
    standin::ConnectFunction standinConnect_ = nullptr;
    SavedValue savedInstaller32_;
    bool installer32Saved_ = false;
    std::wstring standinPort_;

    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device_{};
    bool deviceMade_ = false;
    std::wstring instanceId_;

    std::wstring queue_;
    bool queueMade_ = false;
    bool driverMade_ = false;
    std::vector<std::pair<std::wstring, win32::RegSnapshot>> savedUserLists_;

    std::vector<std::wstring> profilesMade_;
    std::vector<SavedValue> savedDeviceValues_;
    std::vector<ProfileResult> rows_;
    bool installed_ = false;
    std::wstring installFailure_;
};

}  // namespace host
