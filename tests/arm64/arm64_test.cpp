// The ARM64 VELDRIAN.dll under ARM64 Wine, loaded as SetupAPI loads a co-installer
// and called through its export. There is no C or C++ runtime for ARM64 Windows on
// Debian, so this program needs none: it links only system DLLs (msvcrt for the
// block and text functions the compiler calls), keeps its text in fixed buffers,
// and watches the DLL through its import address table: each trace message, each
// key opened and closed, each block taken and freed, and the failures it injects.
//
// Usage: arm64_test.exe [scenario]   (VELDRIAN_DLL names the DLL; no scenario: all)
// Prints one line per scenario and closes with "N passed, N failed".
#include <windows.h>
#include <setupapi.h>
#include <winspool.h>

#include <string.h>
#include <wchar.h>

#include "../difconstants.h"
#include "../harness/iat.h"

namespace {

// ---- Text in fixed buffers ----

constexpr int kTextUnits = 32768;
struct Text {
    WCHAR units[kTextUnits];
    int length;
};

// Each trace message is recorded with this mark behind it, so that the expected
// text states where every message ends (a few end without a line feed).
constexpr WCHAR kEnd[] = L"\u00B6";

void Clear(Text *text)
{
    text->length = 0;
    text->units[0] = 0;
}

void Add(Text *text, const WCHAR *more)
{
    while (*more != 0 && text->length < kTextUnits - 1) {
        text->units[text->length++] = *more++;
    }
    text->units[text->length] = 0;
}

// Copies `source` into the `units` units at `target`, cut to fit, always terminated.
void CopyText(WCHAR *target, const WCHAR *source, int units)
{
    int length = 0;
    for (; length < units - 1 && source[length] != 0; ++length) {
        target[length] = source[length];
    }
    target[length] = 0;
}

void AddNumber(Text *text, DWORD number)
{
    WCHAR digits[16];
    wsprintfW(digits, L"%d", static_cast<int>(number));
    Add(text, digits);
}

// One trace message as VELDRIAN sends it, from its parts (null ends the list).
void Message(Text *text, const WCHAR *first, const WCHAR *second = nullptr, const WCHAR *third = nullptr,
             const WCHAR *fourth = nullptr)
{
    const WCHAR *const parts[] = {first, second, third, fourth};
    Add(text, L"VELDRIAN : ");
    for (const WCHAR *part : parts) {
        if (part != nullptr) {
            Add(text, part);
        }
    }
    Add(text, kEnd);
}

void MessageWithNumber(Text *text, const WCHAR *before, DWORD number, const WCHAR *after)
{
    Add(text, L"VELDRIAN : ");
    Add(text, before);
    AddNumber(text, number);
    Add(text, after);
    Add(text, kEnd);
}

bool Same(const WCHAR *a, const WCHAR *b)
{
    return wcscmp(a, b) == 0;
}

// ---- Output ----

int g_failures = 0;
const char *g_scenario = "";

void Print(const WCHAR *text)
{
    static char narrow[kTextUnits * 3];
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof(narrow), nullptr, nullptr);
    DWORD written = 0;
    if (bytes > 1) {
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), narrow, static_cast<DWORD>(bytes - 1), &written, nullptr);
    }
}

void PrintAscii(const char *text)
{
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

void Fail(const char *what)
{
    ++g_failures;
    PrintAscii("  FAILED (");
    PrintAscii(g_scenario);
    PrintAscii("): ");
    PrintAscii(what);
    PrintAscii("\n");
}

void Check(bool condition, const char *what)
{
    if (!condition) {
        Fail(what);
    }
}

void CheckNumber(DWORD actual, DWORD expected, const char *what)
{
    if (actual != expected) {
        Fail(what);
        WCHAR line[96];
        wsprintfW(line, L"    expected %lu (0x%lx), got %lu (0x%lx)\n", expected, expected, actual, actual);
        Print(line);
    }
}

void CheckText(const Text &actual, const Text &expected, const char *what)
{
    if (!Same(actual.units, expected.units)) {
        Fail(what);
        Print(L"    expected:\n");
        Print(expected.units);
        Print(L"\n    got:\n");
        Print(actual.units);
        Print(L"\n");
    }
}

// ---- The DLL, watched through its import address table ----

using Entry = DWORD(CALLBACK *)(DI_FUNCTION, HDEVINFO, PSP_DEVINFO_DATA, PCOINSTALLER_CONTEXT_DATA);

struct Watch {
    HMODULE module;
    Entry entry;
    Text trace;
    int keysOpened;
    int keysClosed;
    int blocksTaken;
    int blocksFreed;
    int enumCalls;
    // Injected failures: the EnumPrintersW call of this index (-1: none), and the
    // RegOpenKeyExW of this path (null: none).
    int failEnumCall;
    DWORD failEnumError;
    const WCHAR *failOpenPath;
    DWORD failOpenError;
    decltype(&RegOpenKeyExW) realOpen;
    decltype(&RegCloseKey) realClose;
    decltype(&GlobalAlloc) realAlloc;
    decltype(&GlobalFree) realFree;
    decltype(&EnumPrintersW) realEnum;
    decltype(&OutputDebugStringW) realTrace;
    decltype(&wvsprintfW) realFormat;
};
Watch g_watch;

void WINAPI WatchedTrace(LPCWSTR text)
{
    Add(&g_watch.trace, text);
    Add(&g_watch.trace, kEnd);
}

LONG WINAPI WatchedOpen(HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key)
{
    if (g_watch.failOpenPath != nullptr && path != nullptr && Same(path, g_watch.failOpenPath)) {
        return static_cast<LONG>(g_watch.failOpenError);
    }
    const LONG status = g_watch.realOpen(root, path, options, access, key);
    if (status == ERROR_SUCCESS) {
        ++g_watch.keysOpened;
    }
    return status;
}

LONG WINAPI WatchedClose(HKEY key)
{
    ++g_watch.keysClosed;
    return g_watch.realClose(key);
}

HGLOBAL WINAPI WatchedAlloc(UINT flags, SIZE_T bytes)
{
    HGLOBAL block = g_watch.realAlloc(flags, bytes);
    if (block != nullptr) {
        ++g_watch.blocksTaken;
    }
    return block;
}

HGLOBAL WINAPI WatchedFree(HGLOBAL block)
{
    ++g_watch.blocksFreed;
    return g_watch.realFree(block);
}

BOOL WINAPI WatchedEnum(DWORD flags, LPWSTR name, DWORD level, LPBYTE buffer, DWORD size, LPDWORD needed,
                        LPDWORD returned)
{
    if (g_watch.enumCalls++ == g_watch.failEnumCall) {
        SetLastError(g_watch.failEnumError);
        return FALSE;
    }
    return g_watch.realEnum(flags, name, level, buffer, size, needed, returned);
}

// Debian's ARM64 Wine builds its builtins as Linux (ELF) code, whose va_list is not
// Windows' (a pointer to the arguments' slots): handed a Windows one, its wvsprintfW
// misreads the arguments and faults. So the DLL's wvsprintfW calls go to the
// platform's variadic wsprintfW, which both sides pass alike, with the slots unpacked
// (every argument is a text pointer or a 32-bit number, one 8-byte slot each; the
// slots past the last argument are read from the caller's stack and not used). On
// Windows the import goes straight to user32.
// NOLINTNEXTLINE(readability-non-const-parameter): wvsprintfW's own signature
int WINAPI FormatThroughWsprintf(LPWSTR buffer, LPCWSTR format, va_list arguments)
{
    const auto *slot = reinterpret_cast<const ULONG_PTR *>(arguments);
    return wsprintfW(buffer, format, slot[0], slot[1], slot[2], slot[3], slot[4], slot[5], slot[6], slot[7]);
}

template <typename Function>
bool Watched(Function *real, const char *dll, const char *function, Function replacement)
{
    *real = reinterpret_cast<Function>(
        harness::RedirectImport(g_watch.module, dll, function, reinterpret_cast<void *>(replacement)));
    return *real != nullptr;
}

WCHAR g_dllPath[MAX_PATH];

// VELDRIAN_DLL, a Unix path (on Wine's Z: drive) or a Windows one.
bool FindDll()
{
    const int drive = 2;  // room for "Z:" in front of a Unix path
    const DWORD length = GetEnvironmentVariableW(L"VELDRIAN_DLL", g_dllPath + drive, MAX_PATH - drive);
    if (length == 0 || length >= MAX_PATH - drive) {
        return false;
    }
    const WCHAR *start = g_dllPath + drive;
    if (g_dllPath[drive] == L'/') {
        g_dllPath[0] = L'Z';
        g_dllPath[1] = L':';
        start = g_dllPath;
    }
    memmove(g_dllPath, start, (wcslen(start) + 1) * sizeof(WCHAR));
    for (WCHAR *unit = g_dllPath; *unit != 0; ++unit) {
        *unit = *unit == L'/' ? L'\\' : *unit;
    }
    return true;
}

// Loads the DLL as SetupAPI loads a co-installer and watches its imports.
bool Load()
{
    // Watch is plain data (a module, function pointers, counts, a text): cppcheck
    // takes the & of decltype(&Function) for a reference member.
    // cppcheck-suppress memsetClassReference
    memset(&g_watch, 0, sizeof(g_watch));
    g_watch.failEnumCall = -1;
    g_watch.module = LoadLibraryW(g_dllPath);
    if (g_watch.module == nullptr) {
        Fail("LoadLibraryW of VELDRIAN_DLL failed");
        return false;
    }
    g_watch.entry = reinterpret_cast<Entry>(GetProcAddress(g_watch.module, "CoInstallerE"));
    const bool watched = g_watch.entry != nullptr &&
                         Watched(&g_watch.realTrace, "KERNEL32.dll", "OutputDebugStringW", &WatchedTrace) &&
                         Watched(&g_watch.realAlloc, "KERNEL32.dll", "GlobalAlloc", &WatchedAlloc) &&
                         Watched(&g_watch.realFree, "KERNEL32.dll", "GlobalFree", &WatchedFree) &&
                         Watched(&g_watch.realOpen, "ADVAPI32.dll", "RegOpenKeyExW", &WatchedOpen) &&
                         Watched(&g_watch.realClose, "ADVAPI32.dll", "RegCloseKey", &WatchedClose) &&
                         Watched(&g_watch.realEnum, "WINSPOOL.DRV", "EnumPrintersW", &WatchedEnum) &&
                         Watched(&g_watch.realFormat, "USER32.dll", "wvsprintfW", &FormatThroughWsprintf);
    Check(watched, "the DLL exports CoInstallerE and imports the functions watched");
    return watched;
}

void Unload()
{
    FreeLibrary(g_watch.module);
    Check(GetModuleHandleW(L"VELDRIAN.dll") == nullptr, "FreeLibrary unloads the DLL");
}

DWORD Call(DI_FUNCTION code, HDEVINFO set, PSP_DEVINFO_DATA device, BOOL postProcessing)
{
    COINSTALLER_CONTEXT_DATA context = {};
    context.PostProcessing = postProcessing;
    context.InstallResult = NO_ERROR;
    return g_watch.entry(code, set, device, &context);
}

// Every key the DLL opened is closed and every block it took is freed.
void CheckBalanced()
{
    CheckNumber(static_cast<DWORD>(g_watch.keysClosed), static_cast<DWORD>(g_watch.keysOpened),
                "every key opened is closed");
    CheckNumber(static_cast<DWORD>(g_watch.blocksFreed), static_cast<DWORD>(g_watch.blocksTaken),
                "every block taken is freed");
}

// ---- The platform: a printer device, its driver and queue, profiles ----

const GUID kPrinterClass = {0x4D36E979, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr WCHAR kModel[] = L"Model X";
constexpr WCHAR kDevicesPath[] = L"\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Devices";
constexpr WCHAR kWindowsPath[] = L"\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
constexpr WCHAR kPrinterPortsPath[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\PrinterPorts";
// Wine's own profiles: .Default lists no printer; the current user lists every queue
// the spooler makes ("wineps.drv,<port>") and has no Windows key.
constexpr WCHAR kDefaultUser[] = L".Default";
constexpr WCHAR kCurrentUser[] = L"S-1-5-21-0-0-0-1000";
constexpr WCHAR kInf[] = L"\xFEFF[Version]\r\n"
                         L"Signature=\"$Windows NT$\"\r\n"
                         L"Class=Printer\r\n"
                         L"ClassGUID={4D36E979-E325-11CE-BFC1-08002BE10318}\r\n"
                         L"Provider=\"VELDRIAN ARM64 test\"\r\n"
                         L"[Manufacturer]\r\n"
                         L"\"VELDRIAN ARM64 test\"=Models\r\n"
                         L"[Models]\r\n"
                         L"\"Model X\"=ModelX,VELDRIAN\\ARM64_TEST\r\n"
                         L"[ModelX]\r\n"
                         L"[ModelX.HW]\r\n"
                         L"AddReg=ModelX.HW.AddReg\r\n"
                         L"[ModelX.HW.AddReg]\r\n"
                         L"HKR,,PortName,,\"USB001\"\r\n";

struct Device {
    HDEVINFO set;
    SP_DEVINFO_DATA data;
    WCHAR instanceId[MAX_PATH];
    WCHAR infPath[MAX_PATH];
    WCHAR infName[64];
};

// A root-enumerated Printer-class device whose driver is selected from an INF of
// the test's own and installed (its .HW section writes PortName), as the class
// installer leaves it before the post-processing call.
bool MakeDevice(Device *device)
{
    memset(device, 0, sizeof(*device));
    device->set = INVALID_HANDLE_VALUE;
    wsprintfW(device->infName, L"veldrian-arm64-%lu.inf", GetCurrentProcessId());
    WCHAR temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    wsprintfW(device->infPath, L"%s%s", temp, device->infName);
    HANDLE file = CreateFileW(device->infPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    const bool saved =
        file != INVALID_HANDLE_VALUE &&
        WriteFile(file, kInf, static_cast<DWORD>(wcslen(kInf) * sizeof(WCHAR)), &written, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
    }
    device->set = SetupDiCreateDeviceInfoList(&kPrinterClass, nullptr);
    device->data.cbSize = sizeof(device->data);
    static const WCHAR kHardwareIds[] = L"VELDRIAN\\ARM64_TEST\0";
    SP_DEVINSTALL_PARAMS_W params = {};
    params.cbSize = sizeof(params);
    bool made =
        saved && device->set != INVALID_HANDLE_VALUE &&
        SetupDiCreateDeviceInfoW(device->set, L"PRINTER", &kPrinterClass, nullptr, nullptr, DICD_GENERATE_ID,
                                 &device->data) &&
        SetupDiSetDeviceRegistryPropertyW(device->set, &device->data, SPDRP_HARDWAREID,
                                          reinterpret_cast<const BYTE *>(kHardwareIds),
                                          sizeof(kHardwareIds)) &&
        SetupDiGetDeviceInstanceIdW(device->set, &device->data, device->instanceId, MAX_PATH, nullptr) &&
        SetupDiGetDeviceInstallParamsW(device->set, &device->data, &params);
    if (made) {
        params.Flags |= DI_ENUMSINGLEINF;
        CopyText(params.DriverPath, device->infPath, MAX_PATH);
        made = SetupDiSetDeviceInstallParamsW(device->set, &device->data, &params) &&
               SetupDiBuildDriverInfoList(device->set, &device->data, SPDIT_COMPATDRIVER) &&
               SetupDiSelectBestCompatDrv(device->set, &device->data) &&
               SetupDiInstallDevice(device->set, &device->data);
    }
    Check(made, "a Printer-class device with its driver selected and installed");
    return made;
}

// Removes what MakeDevice made; nothing for a device it was not asked to make (zeroed).
void RemoveDevice(Device *device)
{
    if (device->infName[0] == 0) {
        return;
    }
    if (device->set != INVALID_HANDLE_VALUE) {
        SetupDiRemoveDevice(device->set, &device->data);
        SetupDiDestroyDeviceInfoList(device->set);
    }
    DeleteFileW(device->infPath);
    // Installing the device copied the INF, with its precompiled form, to the INF directory.
    WCHAR windows[MAX_PATH] = {};
    WCHAR copy[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    wsprintfW(copy, L"%s\\inf\\%s", windows, device->infName);
    DeleteFileW(copy);
    lstrcpyW(copy + wcslen(copy) - 3, L"pnf");
    DeleteFileW(copy);
}

bool AddQueue(const WCHAR *name)
{
    WCHAR driverFile[] = L"C:\\windows\\system32\\wineps.drv";
    WCHAR driverName[] = L"Model X";
    DRIVER_INFO_3W driver = {};
    driver.cVersion = 3;
    driver.pName = driverName;
    driver.pDriverPath = driverFile;
    driver.pDataFile = driverFile;
    driver.pConfigFile = driverFile;
    AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE *>(&driver), APD_COPY_NEW_FILES);
    WCHAR queue[256] = {};
    WCHAR port[] = L"USB001";
    WCHAR processor[] = L"WinPrint";
    WCHAR datatype[] = L"RAW";
    CopyText(queue, name, 256);
    PRINTER_INFO_2W printer = {};
    printer.pPrinterName = queue;
    printer.pDriverName = driverName;
    printer.pPortName = port;
    printer.pPrintProcessor = processor;
    printer.pDatatype = datatype;
    HANDLE handle = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE *>(&printer));
    if (handle != nullptr) {
        ClosePrinter(handle);
    }
    Check(handle != nullptr, "a print queue on the device's port");
    return handle != nullptr;
}

void DeleteUserValue(const WCHAR *path, const WCHAR *name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
}

// Removes the queue, its driver, and the current user's entries the spooler wrote for it.
void RemoveQueue(const WCHAR *name)
{
    WCHAR queue[256] = {};
    CopyText(queue, name, 256);
    HANDLE handle = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    if (OpenPrinterW(queue, &handle, &defaults)) {
        DeletePrinter(handle);
        ClosePrinter(handle);
    }
    WCHAR driverName[] = L"Model X";
    DeletePrinterDriverW(nullptr, nullptr, driverName);
    DeleteUserValue(kDevicesPath + 1, name);
    DeleteUserValue(kPrinterPortsPath, name);
}

void KeyPath(WCHAR *path, const WCHAR *profile, const WCHAR *below)
{
    wsprintfW(path, L"%s%s", profile, below);
}

// A profile key under HKEY_USERS with a Windows key, and a Devices key listing
// `queue` with `entry` (no Devices key when `queue` is null).
void RemoveProfile(const WCHAR *profile)
{
    RegDeleteTreeW(HKEY_USERS, profile);
    RegDeleteKeyW(HKEY_USERS, profile);
}

void MakeProfile(const WCHAR *profile, const WCHAR *queue, const WCHAR *entry)
{
    WCHAR path[MAX_PATH];
    HKEY key = nullptr;
    RemoveProfile(profile);  // anything a run that was stopped midway left behind
    KeyPath(path, profile, kWindowsPath);
    if (RegCreateKeyExW(HKEY_USERS, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
        ERROR_SUCCESS) {
        RegCloseKey(key);
    }
    if (queue != nullptr) {
        KeyPath(path, profile, kDevicesPath);
        if (RegCreateKeyExW(HKEY_USERS, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            RegSetValueExW(key, queue, 0, REG_SZ, reinterpret_cast<const BYTE *>(entry),
                           static_cast<DWORD>((wcslen(entry) + 1) * sizeof(WCHAR)));
            RegCloseKey(key);
        }
    }
}

// The profile's Device value into `value` (empty when there is none); its size in bytes.
DWORD DeviceOf(const WCHAR *profile, WCHAR *value)
{
    WCHAR path[MAX_PATH];
    KeyPath(path, profile, kWindowsPath);
    DWORD bytes = 1024 * sizeof(WCHAR);
    value[0] = 0;
    if (RegGetValueW(HKEY_USERS, path, L"Device", RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS) {
        bytes = 0;
        value[0] = 0;
    }
    return bytes;
}

DWORD EnumNeeded()
{
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &needed, &returned);
    return needed;
}

// ---- Expected traces ----

// The device identity and the queue lookup up to the enumeration, for `needed` bytes.
void ExpectIdentity(Text *text, const Device &device, DWORD needed)
{
    Message(text, L"DIF_INSTALLDEVICE PostProcessing\n");
    Message(text, L"GetPrinterModelName() : Model Name = \"Model X\"\n");
    Message(text, L"Device Instance ID = ", device.instanceId, L"\n");
    Message(text, L"PortName = USB001\n");
    MessageWithNumber(text, L"EnumPrinters(0) return ERROR_INSUFFICIENT_BUFFER (", needed, L")\n");
    MessageWithNumber(text, L"GlobalAlloc(GMEM_FIXED, ", needed, L") succeeded\n");
}

void ExpectFound(Text *text, const WCHAR *queue)
{
    Message(text, L"EnumPrinters(1) succeed. nNbPrinters = 1\n");
    Message(text, L"FOUND : Printer Name = \"", queue,
            L"\" Model Name = \"Model X\" Port Name = \"USB001\"\n");
}

// What one profile's block holds after its separator.
using Block = void (*)(Text *text, const WCHAR *queue);

void Written(Text *text, const WCHAR *full)
{
    Message(text, full, L"\n");
    Message(text, L"\n");
}

void NoDevicesKey(Text *text, const WCHAR *queue, const WCHAR *profile)
{
    Add(text, L"VELDRIAN : GetFullPrinterName(");
    Add(text, queue);
    Add(text, L") : RegOpenKeyEx(");
    Add(text, profile);
    Add(text, kDevicesPath);
    Add(text, L") : failed. GetLastError() = 2\n");
    Add(text, kEnd);
    Message(text, L"\n");
}

// The query failure ends without a line feed.
void QueryFailed(Text *text, const WCHAR *queue, DWORD code)
{
    Add(text, L"VELDRIAN : GetFullPrinterName(");
    Add(text, queue);
    Add(text, L") : RegQueryValueEx() : failed. GetLastError() = ");
    AddNumber(text, code);
    Add(text, kEnd);
    Message(text, L"\n");
}

// So does the failure to open the Windows key.
void OpenFailed(Text *text, const WCHAR *full, DWORD code)
{
    Message(text, full, L"\n");
    Add(text, L"VELDRIAN : SetDefaultPrinterInRegistry(");
    Add(text, full);
    Add(text, L") : RegOpenKeyEx() : failed. GetLastError() = ");
    AddNumber(text, code);
    Add(text, kEnd);
    Message(text, L"\n");
}

// The walk over HKEY_USERS as it stands: each subkey in the registry's order, its
// separator and what `block` says for it.
void ExpectWalk(Text *text, void (*block)(Text *text, const WCHAR *profile))
{
    HKEY users = nullptr;
    RegOpenKeyExW(HKEY_USERS, nullptr, 0, KEY_ENUMERATE_SUB_KEYS, &users);
    DWORD index = 0;
    for (;; ++index) {
        WCHAR name[MAX_PATH];
        DWORD length = MAX_PATH;
        if (RegEnumKeyExW(users, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            break;
        }
        Message(text, name, L"\n===========================================\n");
        block(text, name);
    }
    RegCloseKey(users);
    MessageWithNumber(text, L"RegEnumKeyEx(", index, L") : failed. GetLastError() = 259\n");
}

void Unexpected(Text *text, const WCHAR *profile)
{
    Add(text, L"(a profile the test did not expect: ");
    Add(text, profile);
    Add(text, L")");
}

int CountUsers()
{
    DWORD count = 0;
    RegQueryInfoKeyW(HKEY_USERS, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                     nullptr, nullptr, nullptr);
    return static_cast<int>(count);
}

Text g_expected;

// ---- Scenarios ----

// The name line of every DIF code, and the answer to the first DIF_INSTALLDEVICE call.
void Names()
{
    if (!Load()) {
        return;
    }
    Clear(&g_expected);
    bool allNoError = true;
    for (DWORD code = 0; code < kDifTableCodes; ++code) {
        if (code != DIF_INSTALLDEVICE) {
            allNoError = Call(code, nullptr, nullptr, FALSE) == NO_ERROR && allNoError;
            Message(&g_expected, ExpectedDifLine(code));
        }
    }
    static const DWORD kBeyondTheTable[] = {40u, 0x7FFFFFFFu, 0xFFFFFFFFu};
    for (DWORD code : kBeyondTheTable) {
        allNoError = Call(code, nullptr, nullptr, FALSE) == NO_ERROR && allNoError;
        Message(&g_expected, kDifFallbackLine);
    }
    Check(allNoError, "every code but DIF_INSTALLDEVICE is answered with NO_ERROR");
    CheckNumber(Call(DIF_INSTALLDEVICE, nullptr, nullptr, FALSE), ERROR_DI_POSTPROCESSING_REQUIRED,
                "DIF_INSTALLDEVICE asks for post-processing");
    Message(&g_expected, L"DIF_INSTALLDEVICE\n");
    CheckText(g_watch.trace, g_expected, "the name lines");
    CheckNumber(static_cast<DWORD>(g_watch.keysOpened) + static_cast<DWORD>(g_watch.blocksTaken), 0,
                "no key and no block");
    Unload();
}

void PassProfiles(Text *text, const WCHAR *profile)
{
    if (Same(profile, kDefaultUser) || Same(profile, L"S-1-5-21-1-2-3-1003")) {
        NoDevicesKey(text, kModel, profile);
    } else if (Same(profile, kCurrentUser)) {
        OpenFailed(text, L"Model X,wineps.drv,USB001", ERROR_FILE_NOT_FOUND);
    } else if (Same(profile, L"S-1-5-21-1-2-3-1001")) {
        Written(text, L"Model X,winspool,USB001");
    } else if (Same(profile, L"S-1-5-21-1-2-3-1002")) {
        QueryFailed(text, kModel, ERROR_FILE_NOT_FOUND);
    } else {
        Unexpected(text, profile);
    }
}

// A whole post-processing pass on a real device, driver, queue and profiles: one
// listing the queue, one listing another printer only, one with no Devices key.
void Pass()
{
    const int users = CountUsers();
    Device device = {};
    if (Load() && MakeDevice(&device) && AddQueue(kModel)) {
        MakeProfile(L"S-1-5-21-1-2-3-1001", kModel, L"winspool,USB001");
        MakeProfile(L"S-1-5-21-1-2-3-1002", L"Earlier Printer", L"winspool,LPT1:");
        MakeProfile(L"S-1-5-21-1-2-3-1003", nullptr, nullptr);
        const DWORD needed = EnumNeeded();
        CheckNumber(Call(DIF_INSTALLDEVICE, device.set, &device.data, FALSE),
                    ERROR_DI_POSTPROCESSING_REQUIRED,
                    "the first DIF_INSTALLDEVICE call asks for post-processing");
        Clear(&g_watch.trace);
        CheckNumber(Call(DIF_INSTALLDEVICE, device.set, &device.data, TRUE), NO_ERROR,
                    "the post-processing call answers NO_ERROR");
        Clear(&g_expected);
        ExpectIdentity(&g_expected, device, needed);
        ExpectFound(&g_expected, kModel);
        ExpectWalk(&g_expected, PassProfiles);
        CheckText(g_watch.trace, g_expected, "the post-processing trace");
        static WCHAR value[1024];
        CheckNumber(DeviceOf(L"S-1-5-21-1-2-3-1001", value), 48,
                    "the listing profile's Device value: 48 bytes");
        Check(Same(value, L"Model X,winspool,USB001"), "the listing profile's Device value");
        CheckNumber(DeviceOf(L"S-1-5-21-1-2-3-1002", value), 0,
                    "the profile that does not list it is unchanged");
        CheckNumber(DeviceOf(L"S-1-5-21-1-2-3-1003", value), 0, "the profile without Devices is unchanged");
        CheckNumber(static_cast<DWORD>(g_watch.blocksTaken), 3, "three blocks: instance ID, port, queues");
        CheckBalanced();
    }
    RemoveProfile(L"S-1-5-21-1-2-3-1001");
    RemoveProfile(L"S-1-5-21-1-2-3-1002");
    RemoveProfile(L"S-1-5-21-1-2-3-1003");
    RemoveQueue(kModel);
    RemoveDevice(&device);
    if (g_watch.module != nullptr) {
        Unload();
    }
    CheckNumber(static_cast<DWORD>(CountUsers()), static_cast<DWORD>(users), "the profiles are gone again");
}

WCHAR g_fits[128];      // 121 units: "Model X," + it + terminator = 260 bytes
WCHAR g_tooLong[128];   // 122 units
WCHAR g_fullFits[160];  // "Model X," + g_fits
WCHAR g_queue129[130];

void FitProfiles(Text *text, const WCHAR *profile)
{
    if (Same(profile, kDefaultUser) || Same(profile, L"S-1-5-21-1-2-3-1003")) {
        NoDevicesKey(text, kModel, profile);
    } else if (Same(profile, kCurrentUser)) {
        OpenFailed(text, L"Model X,wineps.drv,USB001", ERROR_FILE_NOT_FOUND);
    } else if (Same(profile, L"S-1-5-21-1-2-3-1001")) {
        Written(text, g_fullFits);
    } else if (Same(profile, L"S-1-5-21-1-2-3-1002")) {
        QueryFailed(text, kModel, ERROR_MORE_DATA);
    } else {
        Unexpected(text, profile);
    }
}

void Skipped(Text *text, const WCHAR * /*profile*/)
{
    Message(text, L"\n");
}

// The default-printer text holds 260 bytes: an entry that fills them exactly is
// written, one unit more is not; a queue name of 129 units leaves no room at all.
void Limits()
{
    for (int index = 0; index < 122; ++index) {
        g_fits[index] = index < 121 ? L'e' : 0;
        g_tooLong[index] = L'h';
    }
    wsprintfW(g_fullFits, L"Model X,%s", g_fits);
    for (int index = 0; index < 129; ++index) {
        g_queue129[index] = static_cast<WCHAR>(L'A' + index % 26);
    }
    Device device = {};
    if (Load() && MakeDevice(&device) && AddQueue(kModel)) {
        MakeProfile(L"S-1-5-21-1-2-3-1001", kModel, g_fits);
        MakeProfile(L"S-1-5-21-1-2-3-1002", kModel, g_tooLong);
        Clear(&g_expected);
        ExpectIdentity(&g_expected, device, EnumNeeded());
        ExpectFound(&g_expected, kModel);
        ExpectWalk(&g_expected, FitProfiles);
        Clear(&g_watch.trace);
        Call(DIF_INSTALLDEVICE, device.set, &device.data, TRUE);
        CheckText(g_watch.trace, g_expected,
                  "260 bytes: the entry that fills them and the one that does not");
        static WCHAR value[1024];
        CheckNumber(DeviceOf(L"S-1-5-21-1-2-3-1001", value), 260, "the Device value fills 260 bytes");
        Check(Same(value, g_fullFits), "the Device value that fills 260 bytes");
        CheckNumber(DeviceOf(L"S-1-5-21-1-2-3-1002", value), 0, "the entry one unit too long is not written");

        RemoveQueue(kModel);
        if (AddQueue(g_queue129)) {
            const int opensBefore = g_watch.keysOpened;
            Clear(&g_expected);
            ExpectIdentity(&g_expected, device, EnumNeeded());
            ExpectFound(&g_expected, g_queue129);
            ExpectWalk(&g_expected, Skipped);
            Clear(&g_watch.trace);
            Call(DIF_INSTALLDEVICE, device.set, &device.data, TRUE);
            CheckText(g_watch.trace, g_expected, "a queue name of 129 units: every profile skipped");
            CheckNumber(static_cast<DWORD>(g_watch.keysOpened - opensBefore), 2,
                        "129 units: only the device key and HKEY_USERS are opened");
            CheckNumber(DeviceOf(L"S-1-5-21-1-2-3-1002", value), 0, "129 units: nothing written");
        }
        CheckBalanced();
    }
    RemoveProfile(L"S-1-5-21-1-2-3-1001");
    RemoveProfile(L"S-1-5-21-1-2-3-1002");
    RemoveQueue(g_queue129);
    RemoveQueue(kModel);
    RemoveDevice(&device);
    if (g_watch.module != nullptr) {
        Unload();
    }
}

void FaultProfiles(Text *text, const WCHAR *profile)
{
    if (Same(profile, kDefaultUser) || Same(profile, L"S-1-5-21-1-2-3-1003")) {
        NoDevicesKey(text, kModel, profile);
    } else if (Same(profile, kCurrentUser)) {
        OpenFailed(text, L"Model X,wineps.drv,USB001", ERROR_FILE_NOT_FOUND);
    } else if (Same(profile, L"S-1-5-21-1-2-3-1001")) {
        OpenFailed(text, L"Model X,winspool,USB001", ERROR_ACCESS_DENIED);
    } else if (Same(profile, L"S-1-5-21-1-2-3-1002")) {
        Written(text, L"Model X,winspool,USB001");
    } else {
        Unexpected(text, profile);
    }
}

// Platform failures injected through the DLL's imports at two call sites: a profile's
// Windows key refused (the walk goes on), the spooler failing the fetching call (the
// pass ends). Each key is closed and each block freed all the same.
void Faults()
{
    Device device = {};
    if (Load() && MakeDevice(&device) && AddQueue(kModel)) {
        MakeProfile(L"S-1-5-21-1-2-3-1001", kModel, L"winspool,USB001");
        MakeProfile(L"S-1-5-21-1-2-3-1002", kModel, L"winspool,USB001");
        const DWORD needed = EnumNeeded();
        g_watch.failOpenPath =
            L"S-1-5-21-1-2-3-1001\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
        g_watch.failOpenError = ERROR_ACCESS_DENIED;
        Clear(&g_expected);
        ExpectIdentity(&g_expected, device, needed);
        ExpectFound(&g_expected, kModel);
        ExpectWalk(&g_expected, FaultProfiles);
        Clear(&g_watch.trace);
        CheckNumber(Call(DIF_INSTALLDEVICE, device.set, &device.data, TRUE), NO_ERROR,
                    "a refused key: NO_ERROR all the same");
        CheckText(g_watch.trace, g_expected, "a refused Windows key");
        CheckBalanced();

        g_watch.failOpenPath = nullptr;
        g_watch.enumCalls = 0;
        g_watch.failEnumCall = 1;
        g_watch.failEnumError = RPC_S_SERVER_UNAVAILABLE;
        Clear(&g_expected);
        ExpectIdentity(&g_expected, device, needed);
        Message(&g_expected, L"EnumPrinters(1) failed. GetLastError() = 1722\n");
        Clear(&g_watch.trace);
        CheckNumber(Call(DIF_INSTALLDEVICE, device.set, &device.data, TRUE), NO_ERROR,
                    "a failed enumeration: NO_ERROR all the same");
        CheckText(g_watch.trace, g_expected, "the spooler failing the fetching call");
        CheckNumber(static_cast<DWORD>(g_watch.blocksTaken), 6, "three blocks in each pass");
        CheckBalanced();
    }
    RemoveProfile(L"S-1-5-21-1-2-3-1001");
    RemoveProfile(L"S-1-5-21-1-2-3-1002");
    RemoveQueue(kModel);
    RemoveDevice(&device);
    if (g_watch.module != nullptr) {
        Unload();
    }
}

// The stack protector's guard, found as the loader finds it: the load configuration's
// SecurityCookie. Zero when the loaded image names none.
ULONGLONG LoadedGuard(HMODULE module)
{
    auto *base = reinterpret_cast<BYTE *>(module);
    auto *nt =
        reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &directory =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
    if (directory.VirtualAddress == 0) {
        return 0;
    }
    const auto *config =
        reinterpret_cast<const IMAGE_LOAD_CONFIG_DIRECTORY64 *>(base + directory.VirtualAddress);
    // The field holds the guard's address as a number, relocated by the loader.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    return config->SecurityCookie == 0 ? 0 : *reinterpret_cast<const ULONGLONG *>(config->SecurityCookie);
}

// Loaded, called and unloaded twice in one process: each load starts afresh, with its
// stack protector's guard seeded (by the loader or, where it does not, the entry).
void Reload()
{
    for (int round = 0; round < 2; ++round) {
        Check(GetModuleHandleW(L"VELDRIAN.dll") == nullptr, "not loaded before the round");
        if (!Load()) {
            return;
        }
        Check(GetProcAddress(g_watch.module, MAKEINTRESOURCEA(1)) == reinterpret_cast<FARPROC>(g_watch.entry),
              "ordinal 1 is CoInstallerE");
        Check(GetProcAddress(g_watch.module, "DllMain") == nullptr, "nothing else is exported");
        const ULONGLONG guard = LoadedGuard(g_watch.module);
        Check(guard != 0 && guard != 0x00002B992DDFA232ULL, "the guard is seeded");
        CheckNumber(Call(DIF_REMOVE, nullptr, nullptr, FALSE), NO_ERROR, "DIF_REMOVE answers NO_ERROR");
        Clear(&g_expected);
        Message(&g_expected, L"DIF_REMOVE\n");
        CheckText(g_watch.trace, g_expected, "the call of each round");
        Unload();
    }
}

struct Scenario {
    const char *name;
    const WCHAR *wideName;
    void (*run)();
};
constexpr Scenario kScenarios[] = {
    {"names", L"names", Names},    {"pass", L"pass", Pass},       {"limits", L"limits", Limits},
    {"faults", L"faults", Faults}, {"reload", L"reload", Reload},
};

// The command line's word after the program's name, or an empty text.
const WCHAR *Argument()
{
    const WCHAR *line = GetCommandLineW();
    if (*line == L'"') {
        for (++line; *line != 0 && *line != L'"'; ++line) {
        }
        line += *line != 0 ? 1 : 0;
    } else {
        while (*line != 0 && *line != L' ') {
            ++line;
        }
    }
    while (*line == L' ') {
        ++line;
    }
    static WCHAR word[64];
    int length = 0;
    while (line[length] != 0 && line[length] != L' ' && length < 63) {
        word[length] = line[length];
        ++length;
    }
    word[length] = 0;
    return word;
}

}  // namespace

extern "C" void TestEntry()
{
    int passed = 0;
    int failed = 0;
    SYSTEM_INFO system = {};
    GetNativeSystemInfo(&system);
    const bool arm64 = system.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_ARM64;
    if (!arm64) {
        PrintAscii("arm64_test: not running on ARM64\n");
        ++failed;
    } else if (!FindDll()) {
        PrintAscii("arm64_test: VELDRIAN_DLL does not name the DLL\n");
        ++failed;
    } else {
        // One scenario by name, or all of them.
        const WCHAR *wanted = Argument();
        bool any = false;
        for (const Scenario &scenario : kScenarios) {
            if (wanted[0] != 0 && !Same(wanted, scenario.wideName)) {
                continue;
            }
            any = true;
            g_scenario = scenario.name;
            const int before = g_failures;
            scenario.run();
            const bool ok = g_failures == before;
            PrintAscii(ok ? "PASS " : "FAIL ");
            PrintAscii(scenario.name);
            PrintAscii("\n");
            ++(ok ? passed : failed);
        }
        if (!any) {
            PrintAscii("arm64_test: no such scenario\n");
            ++failed;
        }
    }
    char summary[64];
    wsprintfA(summary, "%d passed, %d failed\n", passed, failed);
    PrintAscii(summary);
    ExitProcess(failed == 0 ? 0 : 1);
}
