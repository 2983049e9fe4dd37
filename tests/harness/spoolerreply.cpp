#include "spoolerreply.h"

#include "harness.h"

#include <winspool.h>

#include <cstring>
#include <memory>

namespace harness {

namespace {

std::size_t StringBytes(const std::optional<std::wstring> &text)
{
    return text ? (text->size() + 1) * sizeof(wchar_t) : 0;
}

}  // namespace

DWORD PrinterInfo2Bytes(const std::vector<QueueRecord> &queues)
{
    std::size_t bytes = queues.size() * sizeof(PRINTER_INFO_2W);
    for (const QueueRecord &queue : queues) {
        bytes += StringBytes(queue.name) + StringBytes(queue.driver) + StringBytes(queue.port);
    }
    return static_cast<DWORD>(bytes);
}

std::vector<BYTE> PrinterInfo2Block(const std::vector<QueueRecord> &queues, BYTE *base)
{
    std::vector<BYTE> block(PrinterInfo2Bytes(queues), 0);
    // Strings are laid from the end of the block downwards, as the spooler does.
    std::size_t end = block.size();
    auto place = [&](const std::optional<std::wstring> &text) -> LPWSTR {
        if (!text) {
            return nullptr;
        }
        end -= StringBytes(text);
        std::memcpy(block.data() + end, text->c_str(), StringBytes(text));
        return reinterpret_cast<LPWSTR>(base + end);
    };
    for (std::size_t index = 0; index < queues.size(); ++index) {
        PRINTER_INFO_2W record = {};
        record.pPrinterName = place(queues[index].name);
        record.pDriverName = place(queues[index].driver);
        record.pPortName = place(queues[index].port);
        std::memcpy(block.data() + index * sizeof(record), &record, sizeof(record));
    }
    return block;
}

Answer<decltype(&EnumPrintersW)> SpoolerAnswer(const SpoolerReply &reply)
{
    auto calls = std::make_shared<int>(0);
    return [&reply, calls](auto, DWORD, LPWSTR, DWORD level, LPBYTE buffer, DWORD bytes, LPDWORD needed,
                           LPDWORD returned) -> BOOL {
        if (reply.failure != 0) {
            SetLastError(reply.failure);
            return FALSE;
        }
        std::vector<QueueRecord> queues = reply.queues;
        if (++*calls >= 2) {
            queues.insert(queues.end(), reply.appearing.begin(), reply.appearing.end());
        }
        const DWORD size = PrinterInfo2Bytes(queues);
        *needed = size;
        *returned = 0;
        if (level != 2) {
            SetLastError(ERROR_INVALID_LEVEL);
            return FALSE;
        }
        if (size == 0) {
            return TRUE;
        }
        if (buffer == nullptr || bytes < size) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        const std::vector<BYTE> block = PrinterInfo2Block(queues, buffer);
        std::memcpy(buffer, block.data(), block.size());
        *returned = static_cast<DWORD>(queues.size());
        return TRUE;
    };
}

}  // namespace harness
