// veldrian-install: installs a printer driver package that lists VELDRIAN as its
// co-installer, as Windows' device installer would, and shows VELDRIAN's trace and
// each profile's default printer before and after. Run under Wine.
#include "console.h"
#include "installation.h"
#include "options.h"
#include "package.h"

#include <string>
#include <vector>

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// An empty text when the DLL can serve as VELDRIAN, else the reason it cannot.
std::wstring CheckDll(const std::wstring &dll)
{
    if (!host::FileExists(dll)) {
        return L"cannot load the DLL under test " + dll + L": there is no such file";
    }
    HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        return L"cannot load the DLL under test " + dll + L": " + host::ErrorText(GetLastError());
    }
    const bool hasEntry = GetProcAddress(module, "CoInstallerE") != nullptr;
    // Unloaded again, so that SetupAPI's own load of VELDRIAN.dll finds the system directory's copy.
    FreeLibrary(module);
    return hasEntry ? L"" : L"the DLL under test " + dll + L" has no export CoInstallerE";
}

bool FindModel(const host::Package &package, const std::wstring &name, host::InfModel *model, std::wstring *error)
{
    if (name.empty()) {
        *model = package.models.front();
        return true;
    }
    std::wstring names;
    for (const host::InfModel &candidate : package.models) {
        if (lstrcmpiW(candidate.name.c_str(), name.c_str()) == 0) {
            *model = candidate;
            return true;
        }
        names += (names.empty() ? L"\"" : L", \"") + candidate.name + L"\"";
    }
    *error = L"the INF " + package.infPath + L" has no model named \"" + name + L"\" (its models: " + names + L")";
    return false;
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    host::Console console;
    const host::ParsedOptions parsed = host::ParseOptions(std::vector<std::wstring>(argv + 1, argv + argc));
    if (!parsed.ok) {
        console.error(parsed.error);
        console.errorText(L"\n" + host::Usage());
        return kExitUsage;
    }
    const host::Options &options = parsed.options;
    if (options.help) {
        console.text(host::Usage());
        return 0;
    }

    host::Subject subject;
    const std::wstring directory = host::ProgramDirectory();
    subject.dll = host::WindowsPath(options.dll.empty() ? directory + L"VELDRIAN.dll" : options.dll);
    const std::wstring inf =
        host::WindowsPath(options.inf.empty() ? directory + L"examples\\VELDRIAN-example.inf" : options.inf);

    std::wstring error = CheckDll(subject.dll);
    if (error.empty() && host::ReadPackage(inf, &subject.package, &error)) {
        FindModel(subject.package, options.model, &subject.model, &error);
    }
    if (!error.empty()) {
        console.error(error);
        return kExitFailure;
    }

    host::DbwinListener listener(console);
    if (!listener.start(&error)) {
        console.error(error);
        return kExitFailure;
    }
    host::Installation installation(console, listener, options, subject);
    const int status = installation.run();
    listener.stop();
    return status;
}
