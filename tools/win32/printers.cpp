#include "win32/printers.h"

#include "win32/names.h"

#include <winspool.h>

namespace win32 {

bool MakePrinterDriver(const std::wstring &name)
{
    std::wstring driver = name;
    std::wstring file = L"C:\\windows\\system32\\wineps.drv";
    std::wstring environment = kEnvironment;
    DRIVER_INFO_3W info = {};
    info.cVersion = 3;
    info.pName = driver.data();
    info.pEnvironment = environment.data();
    info.pDriverPath = file.data();
    info.pDataFile = file.data();
    info.pConfigFile = file.data();
    return AddPrinterDriverExW(nullptr, 3, reinterpret_cast<BYTE *>(&info), APD_COPY_NEW_FILES) != FALSE;
}

bool RemovePrinterDriver(const std::wstring &name)
{
    std::wstring driver = name;
    return DeletePrinterDriverW(nullptr, nullptr, driver.data()) != FALSE;
}

bool AddQueue(const std::wstring &name, const std::wstring &driver, const std::wstring &port)
{
    std::wstring queue = name;
    std::wstring driverName = driver;
    std::wstring portName = port;
    std::wstring processor = L"WinPrint";
    std::wstring datatype = L"RAW";
    PRINTER_INFO_2W printer = {};
    printer.pPrinterName = queue.data();
    printer.pDriverName = driverName.data();
    printer.pPortName = portName.data();
    printer.pPrintProcessor = processor.data();
    printer.pDatatype = datatype.data();
    HANDLE handle = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE *>(&printer));
    if (handle != nullptr) {
        ClosePrinter(handle);
    }
    return handle != nullptr;
}

bool DeleteQueue(const std::wstring &name)
{
    std::wstring queue = name;
    HANDLE handle = nullptr;
    PRINTER_DEFAULTSW defaults = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    if (!OpenPrinterW(queue.data(), &handle, &defaults)) {
        return false;
    }
    const bool deleted = DeletePrinter(handle) != FALSE;
    ClosePrinter(handle);
    return deleted;
}

bool QueueExists(const std::wstring &name)
{
    std::wstring queue = name;
    HANDLE handle = nullptr;
    if (!OpenPrinterW(queue.data(), &handle, nullptr)) {
        return false;
    }
    ClosePrinter(handle);
    return true;
}

bool PrinterDriverExists(const std::wstring &name)
{
    std::wstring environment = kEnvironment;
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPrinterDriversW(nullptr, environment.data(), 1, nullptr, 0, &needed, &returned);
    std::vector<BYTE> block(needed + 1);
    if (needed == 0 ||
        !EnumPrinterDriversW(nullptr, environment.data(), 1, block.data(), needed, &needed, &returned)) {
        return false;
    }
    const auto *drivers = reinterpret_cast<const DRIVER_INFO_1W *>(block.data());
    for (DWORD index = 0; index < returned; ++index) {
        if (drivers[index].pName != nullptr && lstrcmpiW(drivers[index].pName, name.c_str()) == 0) {
            return true;
        }
    }
    return false;
}

std::vector<QueueInfo> EnumQueues()
{
    std::vector<QueueInfo> queues;
    const DWORD flags = PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS;
    DWORD needed = 0;
    DWORD returned = 0;
    EnumPrintersW(flags, nullptr, 2, nullptr, 0, &needed, &returned);
    std::vector<BYTE> block(needed + 1);
    if (needed != 0 && EnumPrintersW(flags, nullptr, 2, block.data(), needed, &needed, &returned)) {
        const auto *records = reinterpret_cast<const PRINTER_INFO_2W *>(block.data());
        for (DWORD index = 0; index < returned; ++index) {
            const PRINTER_INFO_2W &record = records[index];
            queues.push_back({record.pPrinterName ? record.pPrinterName : L"",
                              record.pDriverName ? record.pDriverName : L"",
                              record.pPortName ? record.pPortName : L""});
        }
    }
    return queues;
}

}  // namespace win32
