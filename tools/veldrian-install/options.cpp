#include "options.h"

#include <algorithm>
#include <cwctype>

namespace host {

const wchar_t kEarlierPrinter[] = L"Earlier Printer";
const wchar_t kEarlierPrinterEntry[] = L"winspool,LPT1:";

namespace {

// The registry's limit for a key name.
constexpr std::size_t kMaxProfileName = 255;

bool SameText(const std::wstring &a, const std::wstring &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) {
               return towlower(x) == towlower(y);
           });
}

std::wstring CheckProfileName(const std::wstring &option, const std::wstring &name)
{
    if (name.find(L'\\') != std::wstring::npos) {
        return option + L" " + name + L": a profile name cannot hold a backslash";
    }
    if (name.size() > kMaxProfileName) {
        return option + L": a profile name has at most 255 characters";
    }
    return L"";
}

}  // namespace

std::vector<ProfileRequest> DemonstrationProfiles()
{
    return {{L"S-1-5-21-1-2-3-1001", true}, {L"S-1-5-21-1-2-3-1002", false}};
}

std::wstring Usage()
{
    return L"usage: veldrian-install [options]\n"
           L"       veldrian-install --check [--inf PATH] [--dll PATH] [--verbose] [--json]\n"
           L"       veldrian-install --clean\n"
           L"\n"
           L"Installs a printer driver package that lists VELDRIAN as its co-installer, as\n"
           L"Windows' own tools do: the device is created and registered, and newdev\n"
           L"(UpdateDriverForPlugAndPlayDevices) installs the package's driver on it and\n"
           L"sends every DIF request. A printer class installer stand-in (Wine has none)\n"
           L"makes the print queue and the co-installers' post-processing call. It prints\n"
           L"every \"VELDRIAN : \" line of the debugger output as it arrives, and ends with\n"
           L"each profile's default printer (its Device value) before and after, and why.\n"
           L"\n"
           L"options:\n"
           L"  --inf PATH        the package's INF (default: the bundled example,\n"
           L"                    examples\\VELDRIAN-example.inf beside this program). The\n"
           L"                    INF and the files its SourceDisksFiles lists are copied to\n"
           L"                    a temporary directory and installed from there.\n"
           L"  --model NAME      the model to install, as the INF's models section names it\n"
           L"                    (default: the first model of the INF)\n"
           L"  --all-models      install every model of the package in turn, and end with a\n"
           L"                    table: model, queue, profiles changed, verdict\n"
           L"  --port PORT       the device's port: recorded as its PortName after the\n"
           L"                    installation, as a port monitor does, and used for the\n"
           L"                    queue (default: the PortName the INF's .HW section writes)\n"
           L"  --profile NAME    make the profile HKEY_USERS\\NAME for the run; its Devices\n"
           L"                    key lists the new queue (winspool,PORT), as the spooler\n"
           L"                    lists a printer for a user\n"
           L"  --unlisted-profile NAME\n"
           L"                    make the profile HKEY_USERS\\NAME without a Devices entry\n"
           L"                    for the new queue\n"
           L"                    Both options may be repeated. Each profile made starts with\n"
           L"                    an earlier default printer, \"Earlier Printer,winspool,LPT1:\".\n"
           L"                    Without either option two demonstration profiles are made:\n"
           L"                    S-1-5-21-1-2-3-1001 (lists the printer) and\n"
           L"                    S-1-5-21-1-2-3-1002 (does not).\n"
           L"  --no-queue        make no print queue, as when the class installer makes none\n"
           L"  --dll PATH        the VELDRIAN.dll under test (default: the package's own,\n"
           L"                    beside its INF); it replaces the package's for the run\n"
           L"  --keep            keep what the run made: the device, the queue and its\n"
           L"                    driver, the profiles, system32\\VELDRIAN.dll and the Device\n"
           L"                    values VELDRIAN wrote. It is recorded in the Wine prefix;\n"
           L"                    --clean removes it. Without --keep everything is removed or\n"
           L"                    put back at the end, so runs repeat.\n"
           L"  --clean           remove what an earlier --keep run left, and put back what it\n"
           L"                    replaced\n"
           L"  --check           check the package without installing anything: for every\n"
           L"                    model of its 64-bit models sections, the DDInstall and\n"
           L"                    .CoInstallers sections, the CoInstallers32 line, the copy to\n"
           L"                    the system directory, SourceDisksFiles, and the DLL itself\n"
           L"  --verbose         with --check: the models without findings too\n"
           L"  --json            the result as one JSON document on the standard output; the\n"
           L"                    rest goes to the error output\n"
           L"  --help            show this text\n"
           L"\n"
           L"Paths may be Windows paths or, under Wine, Unix paths; relative ones are taken\n"
           L"from the current folder.\n"
           L"\n"
           L"Exit status:\n"
           L"  0  VELDRIAN ran its post-processing, and every profile that lists the queue\n"
           L"     got it as its default printer (--check, --clean: nothing wrong)\n"
           L"  1  the package could not be installed, or an input is unusable (one line on\n"
           L"     the error output says why); --clean: something could not be removed\n"
           L"  2  a bad option\n"
           L"  3  VELDRIAN was not called for the post-processing (the reason names the\n"
           L"     .CoInstallers section the platform looked for)\n"
           L"  4  VELDRIAN ran but found no queue\n"
           L"  5  a profile that lists the queue was not changed\n"
           L"  6  --check found faults in the package\n"
           L"With --all-models the status is the first model's that is not 0.\n";
}

ParsedOptions ParseOptions(const std::vector<std::wstring> &arguments)
{
    ParsedOptions parsed;
    Options &options = parsed.options;
    std::vector<std::wstring> seen;

    auto fail = [&parsed](const std::wstring &error) {
        parsed.ok = false;
        parsed.error = error;
        return parsed;
    };

    for (std::size_t index = 0; index < arguments.size(); ++index) {
        std::wstring option = arguments[index];
        std::wstring value;
        bool hasValue = false;
        const std::size_t equals = option.find(L'=');
        if (option.rfind(L"--", 0) == 0 && equals != std::wstring::npos) {
            value = option.substr(equals + 1);
            option = option.substr(0, equals);
            hasValue = true;
        }

        const bool takesValue = option == L"--inf" || option == L"--model" || option == L"--port" ||
                                option == L"--dll" || option == L"--profile" ||
                                option == L"--unlisted-profile";
        const bool isFlag = option == L"--no-queue" || option == L"--keep" || option == L"--clean" ||
                            option == L"--check" || option == L"--all-models" || option == L"--json" ||
                            option == L"--verbose" || option == L"--help" || option == L"-h";
        if (!takesValue && !isFlag) {
            if (option.rfind(L"-", 0) == 0) {
                return fail(L"unknown option " + option);
            }
            return fail(L"unexpected argument \"" + option + L"\" (options begin with --)");
        }
        if (isFlag && hasValue) {
            return fail(option + L" takes no value");
        }
        if (takesValue && !hasValue) {
            if (index + 1 >= arguments.size()) {
                return fail(option + L" needs a value");
            }
            value = arguments[++index];
            if (value.rfind(L"--", 0) == 0) {
                return fail(option + L" needs a value, not the option " + value);
            }
        }
        if (takesValue && value.empty()) {
            return fail(option + L" needs a value that is not empty");
        }

        const bool repeatable = option == L"--profile" || option == L"--unlisted-profile";
        if (!repeatable) {
            if (std::find(seen.begin(), seen.end(), option) != seen.end()) {
                return fail(option + L" is given twice");
            }
            seen.push_back(option);
        }

        if (option == L"--inf") {
            options.inf = value;
        } else if (option == L"--model") {
            options.model = value;
        } else if (option == L"--port") {
            options.port = value;
        } else if (option == L"--dll") {
            options.dll = value;
        } else if (repeatable) {
            const std::wstring problem = CheckProfileName(option, value);
            if (!problem.empty()) {
                return fail(problem);
            }
            for (const ProfileRequest &profile : options.profiles) {
                if (SameText(profile.name, value)) {
                    return fail(L"the profile " + value + L" is named twice");
                }
            }
            options.profiles.push_back({value, option == L"--profile"});
            options.demoProfiles = false;
        } else if (option == L"--no-queue") {
            options.noQueue = true;
        } else if (option == L"--keep") {
            options.keep = true;
        } else if (option == L"--clean") {
            options.clean = true;
        } else if (option == L"--check") {
            options.check = true;
        } else if (option == L"--all-models") {
            options.allModels = true;
        } else if (option == L"--json") {
            options.json = true;
        } else if (option == L"--verbose") {
            options.verbose = true;
        } else {
            options.help = true;
        }
    }
    if (options.clean && arguments.size() > 1) {
        return fail(L"--clean takes no other option: it removes what an earlier --keep left");
    }
    if (options.check && (options.keep || options.allModels || !options.model.empty() ||
                          !options.port.empty() || !options.profiles.empty() || options.noQueue)) {
        return fail(L"--check installs nothing: it goes with --inf, --dll, --verbose and --json only");
    }
    if (options.verbose && !options.check) {
        return fail(L"--verbose goes with --check only");
    }
    if (options.allModels && !options.model.empty()) {
        return fail(L"--all-models and --model do not go together");
    }
    if (options.allModels && options.keep) {
        return fail(
            L"--all-models and --keep do not go together: each model's run is removed before the next");
    }
    parsed.ok = true;
    return parsed;
}

}  // namespace host
