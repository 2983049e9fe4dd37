// Shared setup of the default-printer tests: a printer device with a driver selected
// from an INF, the post-processing call as the installer makes it, and the trace
// lines of each step, built from the state the test set up.
#pragma once

#include "harness/harness.h"
#include "harness/platform.h"

#include <gtest/gtest.h>
#include <winspool.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace assignment {

using Traces = std::vector<std::wstring>;

// Wine's own profiles under HKEY_USERS.
inline const std::wstring kDefaultUser = L".Default";
inline const std::wstring kCurrentUser = L"S-1-5-21-0-0-0-1000";
inline const std::wstring kHardwareId = L"VELDRIAN\\ASSIGNMENT";

// One trace message: the prefix and the message, which the formatter cuts at 1023 units.
inline std::wstring Line(const std::wstring &message)
{
    return L"VELDRIAN : " + message.substr(0, 1023);
}
inline std::wstring Dec(DWORD value)
{
    return std::to_wstring(static_cast<int>(value));
}
inline std::wstring Quoted(const std::wstring &text)
{
    return L"\"" + text + L"\"";
}

// The first `count` bytes of a text's UTF-16 units, zeros behind them where the text ends.
inline std::vector<BYTE> Bytes(const std::wstring &text, size_t count)
{
    std::vector<BYTE> bytes(reinterpret_cast<const BYTE *>(text.data()),
                            reinterpret_cast<const BYTE *>(text.data()) + text.size() * sizeof(wchar_t));
    bytes.resize(count, 0);
    return bytes;
}

inline Traces Concat(std::initializer_list<Traces> parts)
{
    Traces all;
    for (const Traces &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

// ---- Device identity ----
inline std::wstring Start()
{
    return Line(L"DIF_INSTALLDEVICE PostProcessing\n");
}
inline std::wstring ModelName(const std::wstring &model)
{
    return Line(L"GetPrinterModelName() : Model Name = " + Quoted(model) + L"\n");
}
inline std::wstring InstanceId(const std::wstring &id)
{
    return Line(L"Device Instance ID = " + id + L"\n");
}
inline std::wstring PortName(const std::wstring &port)
{
    return Line(L"PortName = " + port + L"\n");
}
inline std::wstring AllocFailed(SIZE_T bytes, DWORD code)
{
    return Line(L"GlobalAlloc(GMEM_FIXED, " + Dec(static_cast<DWORD>(bytes)) +
                L") failed. GetLastError() = " + Dec(code) + L"\n");
}
// Bytes of the instance ID block: one unit more than the probe reports (ID + terminator).
inline SIZE_T IdBlockBytes(const std::wstring &id)
{
    return (id.size() + 2) * sizeof(wchar_t);
}

// ---- Queue lookup ----
// The bytes the spooler asks for now (the probe of the lookup).
inline DWORD EnumNeeded()
{
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, nullptr, 0, &needed, &returned);
    return needed;
}
inline std::wstring ProbeNeeds(DWORD needed)
{
    return Line(L"EnumPrinters(0) return ERROR_INSUFFICIENT_BUFFER (" + Dec(needed) + L")\n");
}
inline std::wstring Allocated(DWORD needed)
{
    return Line(L"GlobalAlloc(GMEM_FIXED, " + Dec(needed) + L") succeeded\n");
}
inline std::wstring Enumerated(DWORD count)
{
    return Line(L"EnumPrinters(1) succeed. nNbPrinters = " + Dec(count) + L"\n");
}
inline std::wstring Found(const std::wstring &queue, const std::wstring &driver, const std::wstring &port)
{
    return Line(L"FOUND : Printer Name = " + Quoted(queue) + L" Model Name = " + Quoted(driver) +
                L" Port Name = " + Quoted(port) + L"\n");
}
inline std::wstring NotFound(const std::wstring &model, const std::wstring &port)
{
    return Line(L"Unable to found Printer : Model Name = " + Quoted(model) + L" Port Name = " + Quoted(port) +
                L"\n");
}
// Probe, allocation and enumeration of a spooler that holds `count` queues in `needed` bytes.
inline Traces Enumeration(DWORD needed, DWORD count)
{
    return {ProbeNeeds(needed), Allocated(needed), Enumerated(count)};
}

// ---- Per-user walk ----
// The messages that follow one profile's separator.
inline Traces Written(const std::wstring &full)
{
    return {Line(full + L"\n"), Line(L"\n")};
}
inline Traces NoDevicesKey(const std::wstring &queue, const std::wstring &user)
{
    return {Line(L"GetFullPrinterName(" + queue + L") : RegOpenKeyEx(" + user + L"\\" +
                 harness::kDevicesPath + L") : failed. GetLastError() = 2\n"),
            Line(L"\n")};
}
// The query failure ends without a line feed.
inline Traces QueryFailed(const std::wstring &queue, DWORD code)
{
    return {Line(L"GetFullPrinterName(" + queue + L") : RegQueryValueEx() : failed. GetLastError() = " +
                 Dec(code)),
            Line(L"\n")};
}
inline Traces OpenWindowsFailed(const std::wstring &full, DWORD code = ERROR_FILE_NOT_FOUND)
{
    return {Line(full + L"\n"),
            Line(L"SetDefaultPrinterInRegistry(" + full + L") : RegOpenKeyEx() : failed. GetLastError() = " +
                 Dec(code)),
            Line(L"\n")};
}
inline Traces SetValueFailed(const std::wstring &full, DWORD code)
{
    return {Line(full + L"\n"),
            Line(L"SetDefaultPrinterInRegistry(" + full + L") : RegSetValueEx() : failed. GetLastError() = " +
                 Dec(code)),
            Line(L"\n")};
}
inline Traces UserKeyTooLong(const std::wstring &queue)
{
    return {Line(L"GetFullPrinterName(" + queue + L") : user key name too long. GetLastError() = 122\n"),
            Line(L"\n")};
}
inline Traces Skipped()
{
    return {Line(L"\n")};
}

inline std::wstring Separator(const std::wstring &user)
{
    return Line(user + L"\n===========================================\n");
}

// The whole walk over HKEY_USERS as it is now: each subkey in the registry's order
// with the messages `blocks` gives for it, then the enumeration's end.
using Blocks = std::map<std::wstring, Traces>;
inline Traces Walk(const Blocks &blocks)
{
    Traces traces;
    const std::vector<std::wstring> users = harness::SubkeyNames(HKEY_USERS, L"");
    for (const std::wstring &user : users) {
        traces.push_back(Separator(user));
        const auto found = blocks.find(user);
        if (found == blocks.end()) {
            traces.push_back(L"(the test expects nothing for " + user + L")");
        } else {
            traces.insert(traces.end(), found->second.begin(), found->second.end());
        }
    }
    traces.push_back(Line(L"RegEnumKeyEx(" + Dec(static_cast<DWORD>(users.size())) +
                          L") : failed. GetLastError() = 259\n"));
    return traces;
}
// Wine's own two profiles: .Default lists no printer (no Devices key); the current
// user lists each queue the spooler made as "wineps.drv,<port>" and has no Windows key.
inline Blocks WineProfiles(const std::wstring &queue, const std::wstring &port)
{
    return {{kDefaultUser, NoDevicesKey(queue, kDefaultUser)},
            {kCurrentUser, OpenWindowsFailed(queue + L",wineps.drv," + port)}};
}

// ---- What the DLL hands the registry ----
// Wine grants any rights and terminates a REG_SZ on read, so the tests watch the
// calls themselves: the rights of each open and the bytes of each write.
// cppcheck-suppress constParameter ; HKEY is the platform's handle type, a pointer only by its definition
inline std::wstring RootName(HKEY root)
{
    return root == HKEY_LOCAL_MACHINE ? L"HKLM" : root == HKEY_USERS ? L"HKU" : L"(another key)";
}
inline std::wstring Opened(HKEY root, const std::wstring &path, REGSAM access)
{
    return RootName(root) + L"\\" + path + L" access 0x" + [access] {
        wchar_t hex[16];
        wsprintfW(hex, L"%x", static_cast<unsigned int>(access));
        return std::wstring(hex);
    }();
}
inline std::vector<std::wstring> Opens(const harness::Interposer &interposer)
{
    const std::vector<harness::Call> calls = interposer.log("RegOpenKeyExW");
    std::vector<std::wstring> opens(calls.size());
    std::transform(calls.begin(), calls.end(), opens.begin(),
                   [](const harness::Call &call) { return Opened(call.key, call.name, call.access); });
    return opens;
}
// A REG_SZ handed over with its terminator: (length + 1) x 2 bytes.
inline std::vector<BYTE> WithTerminator(const std::wstring &text)
{
    const auto *bytes = reinterpret_cast<const BYTE *>(text.c_str());
    return {bytes, bytes + (text.size() + 1) * sizeof(wchar_t)};
}

inline std::wstring ShowTraces(const Traces &traces)
{
    std::wstring all;
    for (const std::wstring &line : traces) {
        all += L"[" + line + L"]\n";
    }
    return all;
}

// Every test: the DLL interposed with guard-page blocks, HKEY_USERS put back as it
// was, Wine's own profiles in a known state, and every block and key accounted for.
class Assignment : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(harness::Veldrian(), nullptr);
        harness::DeleteKeyTree(HKEY_USERS, kDefaultUser + L"\\" + harness::kDevicesPath);
        harness::DeleteKeyTree(HKEY_USERS, kCurrentUser + L"\\" + harness::kWindowsPath);
        harness_.useGuardPages(true);
    }

    void TearDown() override
    {
        EXPECT_EQ(harness_.outstandingBlocks(), 0) << "every GlobalAlloc block is freed";
        EXPECT_EQ(harness_.openKeys(), 0) << "every key opened is closed";
    }

    // A Printer-class device whose selected driver is `model`, its PortName written
    // from the INF (none when `port` is empty), installed when asked.
    static std::unique_ptr<harness::ScopedDevice> MakeDevice(const std::wstring &model,
                                                             const std::wstring &port, bool install = true)
    {
        auto device = std::make_unique<harness::ScopedDevice>(
            harness::PrinterInf({{model, kHardwareId, port}}), kHardwareId, install);
        EXPECT_TRUE(device->ok()) << device->failure();
        return device;
    }

    // The post-processing call of DIF_INSTALLDEVICE, with fresh traces and counts.
    DWORD Run(harness::ScopedDevice &device)
    {
        harness_.clearTraces();
        harness_.resetCounts();
        return harness::CallEntry(DIF_INSTALLDEVICE, device.set(), device.data(), TRUE);
    }

    harness::ScopedKeyRestore users_{HKEY_USERS, L""};
    harness::Interposer harness_;
};

#define EXPECT_TRACES(actual, expected)                                                                      \
    EXPECT_EQ((actual), (expected)) << harness::Narrow(L"actual:\n" + ::assignment::ShowTraces(actual))

}  // namespace assignment
