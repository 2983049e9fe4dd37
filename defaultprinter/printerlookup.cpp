// Printer queue lookup: the first queue of the spooler whose driver is the model
// name and whose port is the device's port, both compared whole and without case.
#include "defaultprinter.h"

#include "../installer/trace.h"

namespace {

constexpr DWORD kEnumFlags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
constexpr DWORD kEnumLevel = 2;
static_assert(kEnumFlags == 6, "local and connected queues");

// An unknown port (null) identifies no queue, whatever the queue's own port holds.
bool IsInstalledPrinter(const PRINTER_INFO_2W &record, const WCHAR *strModelName, const WCHAR *strPortName)
{
    return record.pDriverName != nullptr && lstrcmpiW(strModelName, record.pDriverName) == 0 &&
           strPortName != nullptr && record.pPortName != nullptr &&
           lstrcmpiW(strPortName, record.pPortName) == 0;
}

}  // namespace

const WCHAR *FindInstalledPrinter(const WCHAR *strModelName, const WCHAR *strPortName,
                                  PRINTER_INFO_2W **printerEnum)
{
    const WCHAR *strPrinter = nullptr;
    PRINTER_INFO_2W *records = nullptr;
    DWORD dwNeeded = 0;
    DWORD dwReturned = 0;
    DWORD dwNeeded2 = 0;
    DWORD nNbPrinters = 0;
    bool goOn = true;
    bool enumerated = false;

    if (EnumPrintersW(kEnumFlags, nullptr, kEnumLevel, nullptr, 0, &dwNeeded, &dwReturned)) {
        TraceMessage(L"EnumPrinters(0) succeed2. dwReturned = %d\n", dwReturned);
    } else {
        const DWORD code = GetLastError();
        if (code == ERROR_INSUFFICIENT_BUFFER) {
            TraceMessage(L"EnumPrinters(0) return ERROR_INSUFFICIENT_BUFFER (%d)\n", dwNeeded);
        } else if (code == NO_ERROR) {
            TraceMessage(L"EnumPrinters(0) succeed1. dwReturned = %d\n", dwReturned);
        } else {
            TraceMessage(L"EnumPrinters(0) failed. GetLastError() = %d\n", code);
            goOn = false;
        }
    }

    if (goOn && dwNeeded != 0) {
        records = static_cast<PRINTER_INFO_2W *>(GlobalAlloc(GMEM_FIXED, dwNeeded));
        if (records != nullptr) {
            TraceMessage(L"GlobalAlloc(GMEM_FIXED, %d) succeeded\n", dwNeeded);
        } else {
            const DWORD code = GetLastError();
            TraceMessage(L"GlobalAlloc(GMEM_FIXED, %d) failed. GetLastError() = %d\n", dwNeeded, code);
            goOn = code == NO_ERROR;
        }
    }

    if (goOn) {
        // Without a block (an allocation that failed with a last-error of 0) there is
        // no room at all: a null buffer is never passed with a size.
        const DWORD bytes = records != nullptr ? dwNeeded : 0;
        if (EnumPrintersW(kEnumFlags, nullptr, kEnumLevel, reinterpret_cast<BYTE *>(records), bytes,
                          &dwNeeded2, &nNbPrinters)) {
            TraceMessage(L"EnumPrinters(1) succeed. nNbPrinters = %d\n", nNbPrinters);
            enumerated = true;
        } else {
            const DWORD code = GetLastError();
            TraceMessage(L"EnumPrinters(1) failed. GetLastError() = %d\n", code);
            goOn = code == NO_ERROR;
        }
    }

    if (goOn) {
        // Only records that the spooler wrote are walked: none after a failed call,
        // and never more than the block holds.
        DWORD count = 0;
        if (enumerated && records != nullptr) {
            const DWORD capacity = dwNeeded / sizeof(PRINTER_INFO_2W);
            count = nNbPrinters < capacity ? nNbPrinters : capacity;
        }
        bool found = false;
        for (DWORD index = 0; index < count && !found; ++index) {
            const PRINTER_INFO_2W &record = records[index];
            if (IsInstalledPrinter(record, strModelName, strPortName)) {
                found = true;
                TraceMessage(L"FOUND : Printer Name = \"%s\" Model Name = \"%s\" Port Name = \"%s\"\n",
                             record.pPrinterName, record.pDriverName, record.pPortName);
                strPrinter = record.pPrinterName;
            }
        }
        if (strPrinter == nullptr) {
            TraceMessage(L"Unable to found Printer : Model Name = \"%s\" Port Name = \"%s\"\n", strModelName,
                         strPortName);
        }
    }

    *printerEnum = records;
    return strPrinter;
}
