// One installation of a printer driver package under Wine, end to end: the device,
// the DIF requests through SetupAPI, the print queue the class installer would
// make, the post-processing call, and the default printer of each profile before
// and after. Everything it made is removed again unless it is asked to keep it.
#pragma once

#include "console.h"
#include "options.h"
#include "package.h"
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
    std::wstring dll;  // the DLL under test, absolute Windows path
};

class Installation {
public:
    Installation(Console &console, DbwinListener &listener, const Options &options, const Subject &subject);
    ~Installation();
    Installation(const Installation &) = delete;
    Installation &operator=(const Installation &) = delete;

    // The exit status: 0 when the installation ran, 1 when it could not.
    int run();

private:
    struct ProfileRow {
        std::wstring name;
        std::optional<std::wstring> before, after;
        bool madeForRun = false;
        bool listsPrinter = false;
    };

    bool prepare();
    bool makeProfiles();
    bool install();
    bool createDevice();
    bool selectDriver();
    bool callDif(DI_FUNCTION code, const wchar_t *name, DWORD *error);
    void checkCoInstallerRegistration();
    std::wstring devicePort();
    void makeQueue(const std::wstring &port);
    void postProcess();
    void readDeviceValues(bool before);
    void cleanUp();
    void printTable();

    void step(const std::wstring &text);
    void note(const std::wstring &text);
    void failWith(const std::wstring &reason);
    std::wstring driverKeyPath() const;

    Console &console_;
    DbwinListener &listener_;
    Options options_;
    Subject subject_;
    std::vector<ProfileRequest> profiles_;

    std::wstring failure_;
    std::wstring systemDll_;  // C:\windows\system32\VELDRIAN.dll
    Stage stage_;
    bool staged_ = false;
    SavedFile savedSystemDll_;
    bool systemDllSaved_ = false;
    std::vector<SavedFile> savedInfCopies_;
    std::vector<std::wstring> infDirectoryBefore_;
    std::wstring installedInfName_;
    bool infCopiesSaved_ = false;

    HDEVINFO set_ = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA device_{};
    bool deviceMade_ = false;
    std::wstring instanceId_;
    DWORD installResult_ = NO_ERROR;
    bool installDeviceSent_ = false;

    std::wstring queue_;
    bool queueMade_ = false;
    bool driverMade_ = false;
    std::vector<SavedValue> savedUserEntries_;
    std::vector<SavedKey> savedUserKeys_;

    std::vector<std::wstring> profilesMade_;
    std::vector<SavedValue> savedDeviceValues_;
    std::vector<ProfileRow> rows_;
};

}  // namespace host
