// Printer queue lookup: the first queue of the spooler whose driver is the model
// name and whose port is the device's port, both compared whole and without case.
#include "defaultprinter.h"

#include "../trace/trace.h"

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

// The size probe: 122 is its normal answer, and a last-error of 0 lets it go on.
DWORD ProbePrinters(DWORD *dwNeeded)
{
    DWORD status = NO_ERROR;
    DWORD dwReturned = 0;
    if (EnumPrintersW(kEnumFlags, nullptr, kEnumLevel, nullptr, 0, dwNeeded, &dwReturned)) {
        TraceMessage(L"EnumPrinters(0) succeed2. dwReturned = %d\n", dwReturned);
    } else {
        const DWORD code = GetLastError();
        if (code == ERROR_INSUFFICIENT_BUFFER) {
            TraceMessage(L"EnumPrinters(0) return ERROR_INSUFFICIENT_BUFFER (%d)\n", *dwNeeded);
        } else if (code == NO_ERROR) {
            TraceMessage(L"EnumPrinters(0) succeed1. dwReturned = %d\n", dwReturned);
        } else {
            TraceMessage(L"EnumPrinters(0) failed. GetLastError() = %d\n", code);
            status = code;
        }
    }
    return status;
}

// The enumeration block of the probe's size. A failure whose last-error is 0 goes
// on without a block.
DWORD AllocateRecords(DWORD dwNeeded, PRINTER_INFO_2W **records)
{
    DWORD status = NO_ERROR;
    *records = static_cast<PRINTER_INFO_2W *>(GlobalAlloc(GMEM_FIXED, dwNeeded));
    if (*records != nullptr) {
        TraceMessage(L"GlobalAlloc(GMEM_FIXED, %d) succeeded\n", dwNeeded);
    } else {
        status = GetLastError();
        TraceMessage(L"GlobalAlloc(GMEM_FIXED, %d) failed. GetLastError() = %d\n", dwNeeded, status);
    }
    return status;
}

// Fills the block with the spooler's queues. *nCount is the number of records to
// walk: only those the spooler wrote, none after a failed call, and never more
// than the block holds.
DWORD EnumerateRecords(PRINTER_INFO_2W *records, DWORD dwNeeded, DWORD *nCount)
{
    DWORD status = NO_ERROR;
    DWORD dwNeeded2 = 0;
    DWORD nNbPrinters = 0;
    // Without a block (an allocation that failed with a last-error of 0) there is
    // no room at all: a null buffer is never passed with a size.
    const DWORD cbRecords = records != nullptr ? dwNeeded : 0;
    *nCount = 0;
    if (EnumPrintersW(kEnumFlags, nullptr, kEnumLevel, reinterpret_cast<BYTE *>(records), cbRecords,
                      &dwNeeded2, &nNbPrinters)) {
        TraceMessage(L"EnumPrinters(1) succeed. nNbPrinters = %d\n", nNbPrinters);
        const DWORD nCapacity = cbRecords / sizeof(PRINTER_INFO_2W);
        *nCount = nNbPrinters < nCapacity ? nNbPrinters : nCapacity;
    } else {
        status = GetLastError();
        TraceMessage(L"EnumPrinters(1) failed. GetLastError() = %d\n", status);
    }
    return status;
}

// The name of the first of `nCount` records that is the installed printer, or null.
const WCHAR *MatchInstalledPrinter(const PRINTER_INFO_2W *records, DWORD nCount, const WCHAR *strModelName,
                                   const WCHAR *strPortName)
{
    const PRINTER_INFO_2W *match = nullptr;
    for (DWORD nIndex = 0; nIndex < nCount && match == nullptr; ++nIndex) {
        if (IsInstalledPrinter(records[nIndex], strModelName, strPortName)) {
            match = &records[nIndex];
        }
    }

    const WCHAR *strPrinter = nullptr;
    if (match != nullptr) {
        TraceMessage(L"FOUND : Printer Name = \"%s\" Model Name = \"%s\" Port Name = \"%s\"\n",
                     match->pPrinterName, match->pDriverName, match->pPortName);
        strPrinter = match->pPrinterName;
    }
    if (strPrinter == nullptr) {
        TraceMessage(L"Unable to found Printer : Model Name = \"%s\" Port Name = \"%s\"\n", strModelName,
                     strPortName);
    }
    return strPrinter;
}

}  // namespace

const WCHAR *FindInstalledPrinter(const WCHAR *strModelName, const WCHAR *strPortName,
                                  PRINTER_INFO_2W **printerEnum)
{
    const WCHAR *strPrinter = nullptr;
    PRINTER_INFO_2W *records = nullptr;
    DWORD dwNeeded = 0;
    DWORD nCount = 0;

    DWORD status = ProbePrinters(&dwNeeded);
    if (status == NO_ERROR && dwNeeded != 0) {
        status = AllocateRecords(dwNeeded, &records);
    }
    if (status == NO_ERROR) {
        status = EnumerateRecords(records, dwNeeded, &nCount);
    }
    if (status == NO_ERROR) {
        strPrinter = MatchInstalledPrinter(records, nCount, strModelName, strPortName);
    }

    *printerEnum = records;
    return strPrinter;
}
