#include "standin.h"

#include "win32/names.h"
#include "win32/printers.h"
#include "win32/registry.h"

#include <setupapi.h>

#include <string>
#include <vector>

namespace {

standin::Host g_host;
bool g_connected = false;

void Note(const std::wstring &text)
{
    if (g_connected && g_host.note != nullptr) {
        g_host.note(g_host.context, text.c_str());
    }
}

std::wstring Quoted(const std::wstring &text)
{
    return L"\"" + text + L"\"";
}

// The device's port: recorded first when the host names one, as a port monitor
// records it; otherwise what the model's .HW section wrote.
std::wstring DevicePort(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    HKEY key = SetupDiCreateDevRegKeyW(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
    if (key == INVALID_HANDLE_VALUE) {
        return L"";
    }
    if (g_connected && g_host.port != nullptr) {
        win32::WriteValue(key, L"", L"PortName", win32::StringValue(g_host.port));
    }
    const std::optional<win32::RegValue> port = win32::ReadValue(key, L"", L"PortName");
    RegCloseKey(key);
    return port ? win32::StringOf(*port) : L"";
}

// The print queue of the installed model on the device's port, named after the
// model; a second queue of the same model is "<model> (Copy N)", as on Windows.
DWORD MakeQueue(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    SP_DRVINFO_DATA_V2_W driverInfo = {};
    driverInfo.cbSize = sizeof(driverInfo);
    if (!SetupDiGetSelectedDriverW(set, device, &driverInfo)) {
        const DWORD error = GetLastError();
        Note(L"no driver is selected for the device, so no queue is made (error " + std::to_wstring(error) +
             L")");
        return error;
    }
    const std::wstring model = driverInfo.Description;
    const std::wstring port = DevicePort(set, device);
    if (port.empty()) {
        Note(L"the device has no PortName, so no queue is made");
        return NO_ERROR;
    }
    const bool driverAdded = !win32::PrinterDriverExists(model);
    std::wstring queue = model;
    for (int copy = 1; win32::QueueExists(queue); ++copy) {
        queue = model + L" (Copy " + std::to_wstring(copy) + L")";
    }
    if (g_connected && g_host.willMake != nullptr &&
        !g_host.willMake(g_host.context, queue.c_str(), model.c_str(), driverAdded ? TRUE : FALSE)) {
        Note(L"the host refused the queue " + Quoted(queue) + L", so none is made");
        return ERROR_CANCELLED;
    }
    // Wine's PostScript driver stands in for the package's driver files.
    DWORD error = win32::MakePrinterDriver(model) ? NO_ERROR : GetLastError();
    if (error != NO_ERROR) {
        Note(L"AddPrinterDriverEx(" + Quoted(model) + L") failed: error " + std::to_wstring(error));
        return error;
    }
    if (!win32::AddQueue(queue, model, port)) {
        error = GetLastError();
        Note(L"AddPrinter(" + Quoted(queue) + L" on " + port + L") failed: error " + std::to_wstring(error));
        return error;
    }
    Note(L"printer driver " + Quoted(model) + (driverAdded ? L" added" : L" was there already") +
         L"; print queue " + Quoted(queue) + L" on " + port + L" added");
    if (g_connected && g_host.queueMade != nullptr) {
        g_host.queueMade(g_host.context, queue.c_str(), model.c_str(), port.c_str(),
                         driverAdded ? TRUE : FALSE);
    }
    return NO_ERROR;
}

std::wstring Trimmed(std::wstring text)
{
    text.erase(0, text.find_first_not_of(L" \t"));
    text.erase(text.find_last_not_of(L" \t") + 1);
    return text;
}

// One device co-installer's post-processing call. An entry is "<DLL>,<entry
// point>", CoDeviceInstall when none is named; a DLL named without a path is
// loaded from the system directory, as SetupAPI loads it.
void CallCoInstaller(const std::wstring &entry, HDEVINFO set, SP_DEVINFO_DATA *device, DWORD installResult)
{
    const std::size_t comma = entry.find(L',');
    const std::wstring dll = Trimmed(entry.substr(0, comma));
    const std::wstring function =
        comma == std::wstring::npos ? std::wstring(L"CoDeviceInstall") : Trimmed(entry.substr(comma + 1));
    const bool hasPath = dll.find_first_of(L"\\/:") != std::wstring::npos;
    HMODULE module = LoadLibraryExW(dll.c_str(), nullptr, hasPath ? 0 : LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        Note(L"cannot load the co-installer " + dll + L": error " + std::to_wstring(GetLastError()));
        return;
    }
    wchar_t loaded[MAX_PATH] = {};
    GetModuleFileNameW(module, loaded, MAX_PATH);
    std::string narrow(function.begin(), function.end());
    using Entry = DWORD(CALLBACK *)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);
    auto call = reinterpret_cast<Entry>(reinterpret_cast<void *>(GetProcAddress(module, narrow.c_str())));
    if (call == nullptr) {
        Note(std::wstring(loaded) + L" has no entry point " + function);
    } else {
        Note(std::wstring(loaded) + L" " + function +
             L"(DIF_INSTALLDEVICE) with PostProcessing = TRUE, InstallResult = " +
             std::to_wstring(installResult));
        COINSTALLER_CONTEXT_DATA context = {};
        context.PostProcessing = TRUE;
        context.InstallResult = installResult;
        const DWORD result = call(DIF_INSTALLDEVICE, set, device, &context);
        Note(function + L" returned " + std::to_wstring(static_cast<long>(result)) +
             (result == NO_ERROR ? L" (NO_ERROR)" : L""));
    }
    FreeLibrary(module);
}

// The device co-installers that the driver key's CoInstallers32 lists, called in
// reverse order, as SetupAPI calls them after the class installer. The list is read as
// the device installer reads it: a REG_MULTI_SZ value, or none at all; a co-installer
// the device installer did not take is never called here either.
void PostProcess(HDEVINFO set, SP_DEVINFO_DATA *device, DWORD installResult)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE);
    std::optional<win32::RegValue> value;
    if (key != INVALID_HANDLE_VALUE) {
        value = win32::ReadValue(key, L"", L"CoInstallers32");
        RegCloseKey(key);
    }
    const bool taken = value && value->type == REG_MULTI_SZ;
    const std::vector<std::wstring> entries =
        taken ? win32::MultiStringOf(*value) : std::vector<std::wstring>{};
    if (value && !taken) {
        Note(
            L"the driver key's CoInstallers32 is not a REG_MULTI_SZ value, so the device installer called no "
            L"co-installer from it: no post-processing call to make");
        return;
    }
    if (entries.empty()) {
        Note(L"the driver key lists no device co-installer: no post-processing call to make");
        return;
    }
    Note(L"> the co-installers' post-processing call, made by the stand-in (Wine's SetupAPI makes none)");
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
        CallCoInstaller(*entry, set, device, installResult);
    }
}

DWORD InstallDevice(HDEVINFO set, SP_DEVINFO_DATA *device)
{
    DWORD result = NO_ERROR;
    if (!SetupDiInstallDevice(set, device)) {
        result = GetLastError();
        Note(L"SetupDiInstallDevice failed: error " + std::to_wstring(result));
    } else if (g_connected && !g_host.makeQueue) {
        DevicePort(set, device);
        Note(L"SetupDiInstallDevice: the device is installed; no queue is made (asked for none)");
    } else {
        Note(L"SetupDiInstallDevice: the device is installed");
        result = MakeQueue(set, device);
    }
    PostProcess(set, device, result);
    return result;
}

}  // namespace

extern "C" __declspec(dllexport) void WINAPI StandinConnect(const standin::Host *host)
{
    g_connected = host != nullptr;
    g_host = host != nullptr ? *host : standin::Host{};
}

extern "C" __declspec(dllexport) DWORD WINAPI
    PrinterClassInstaller(DI_FUNCTION function, HDEVINFO set, PSP_DEVINFO_DATA device)
{
    if (function != DIF_INSTALLDEVICE || device == nullptr) {
        return ERROR_DI_DO_DEFAULT;
    }
    Note(L"> printer class installer stand-in (Wine has none): DIF_INSTALLDEVICE");
    return InstallDevice(set, device);
}
