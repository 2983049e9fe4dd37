#include "console.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {

namespace {

constexpr char kVeldrianPrefix[] = "VELDRIAN : ";
constexpr DWORD kDbwinSize = 4096;

std::wstring FromCodePage(UINT codePage, const std::string &text)
{
    if (text.empty()) {
        return L"";
    }
    const int length =
        MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

}  // namespace

std::string Utf8(const std::wstring &text)
{
    if (text.empty()) {
        return "";
    }
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length,
                        nullptr, nullptr);
    return narrow;
}

std::wstring Wide(const std::string &utf8)
{
    return FromCodePage(CP_UTF8, utf8);
}

Console::Console()
{
    // Plain line feeds: the trace is shown byte for byte as sent.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

void Console::write(const std::string &utf8)
{
    if (utf8.empty()) {
        return;
    }
    fwrite(utf8.data(), 1, utf8.size(), human_);
    fflush(human_);
    atLineStart_ = utf8.back() == '\n';
}

void Console::json(const std::string &utf8)
{
    std::lock_guard<std::mutex> lock(mutex_);
    fwrite(utf8.data(), 1, utf8.size(), stdout);
    fflush(stdout);
}

void Console::line(const std::wstring &text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!atLineStart_) {
        write("\n");
    }
    write(Utf8(text) + "\n");
}

void Console::text(const std::wstring &text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    write(Utf8(text));
}

void Console::trace(const std::string &utf8)
{
    std::lock_guard<std::mutex> lock(mutex_);
    write(utf8);
}

void Console::error(const std::wstring &text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!atLineStart_) {
        write("\n");
    }
    const std::string line = "veldrian-install: " + Utf8(text) + "\n";
    fwrite(line.data(), 1, line.size(), stderr);
    fflush(stderr);
}

void Console::errorText(const std::wstring &text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string utf8 = Utf8(text);
    fwrite(utf8.data(), 1, utf8.size(), stderr);
    fflush(stderr);
}

DbwinListener::~DbwinListener()
{
    stop();
    if (view_ != nullptr) {
        UnmapViewOfFile(view_);
    }
    for (HANDLE handle : {mapping_, dataReady_, bufferReady_}) {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
}

bool DbwinListener::start(std::wstring *error)
{
    SetLastError(NO_ERROR);
    bufferReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
    shared_ = shared_ || GetLastError() == ERROR_ALREADY_EXISTS;
    SetLastError(NO_ERROR);
    dataReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
    shared_ = shared_ || GetLastError() == ERROR_ALREADY_EXISTS;
    SetLastError(NO_ERROR);
    mapping_ =
        CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kDbwinSize, L"DBWIN_BUFFER");
    shared_ = shared_ || GetLastError() == ERROR_ALREADY_EXISTS;
    if (bufferReady_ == nullptr || dataReady_ == nullptr || mapping_ == nullptr) {
        *error = L"cannot open the debugger output channel (DBWIN_BUFFER): error " +
                 std::to_wstring(GetLastError());
        return false;
    }
    view_ = static_cast<const char *>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, kDbwinSize));
    if (view_ == nullptr) {
        *error = L"cannot map the debugger output buffer: error " + std::to_wstring(GetLastError());
        return false;
    }
    syncPrefix_ = "veldrian-install sync " + std::to_string(GetCurrentProcessId()) + " ";
    thread_ = CreateThread(nullptr, 0, &DbwinListener::Run, this, 0, nullptr);
    if (thread_ == nullptr) {
        *error = L"cannot start the debugger output reader: error " + std::to_wstring(GetLastError());
        return false;
    }
    return true;
}

DWORD WINAPI DbwinListener::Run(void *self)
{
    auto *listener = static_cast<DbwinListener *>(self);
    while (!listener->stop_) {
        SetEvent(listener->bufferReady_);
        if (WaitForSingleObject(listener->dataReady_, 200) != WAIT_OBJECT_0) {
            continue;
        }
        // The section holds the sender's process ID, then the text in the ANSI code page.
        const char *text = listener->view_ + sizeof(DWORD);
        const std::string message(text, strnlen(text, kDbwinSize - sizeof(DWORD)));
        if (message.rfind(listener->syncPrefix_, 0) == 0) {
            listener->syncSeen_ = std::atoi(message.c_str() + listener->syncPrefix_.size());
        } else if (message.rfind(kVeldrianPrefix, 0) == 0) {
            ++listener->veldrianMessages_;
            const std::wstring wide = FromCodePage(CP_ACP, message);
            {
                std::lock_guard<std::mutex> lock(listener->messagesMutex_);
                listener->messages_.push_back(wide.substr(std::size(kVeldrianPrefix) - 1));
            }
            listener->console_.trace(Utf8(wide));
        }
    }
    return 0;
}

std::vector<std::wstring> DbwinListener::takeMessages()
{
    sync();
    std::lock_guard<std::mutex> lock(messagesMutex_);
    std::vector<std::wstring> taken;
    taken.swap(messages_);
    return taken;
}

void DbwinListener::send(int serial)
{
    OutputDebugStringA((syncPrefix_ + std::to_string(serial)).c_str());
}

void DbwinListener::sync()
{
    if (thread_ == nullptr) {
        return;
    }
    // The writer waits for the reader, so once the reader has seen this message it
    // has printed every message sent before it.
    const int serial = ++syncSent_;
    send(serial);
    for (int waited = 0; syncSeen_ < serial && waited < 10000; waited += 10) {
        Sleep(10);
    }
}

void DbwinListener::stop()
{
    if (thread_ == nullptr) {
        return;
    }
    sync();
    stop_ = true;
    WaitForSingleObject(thread_, 5000);
    CloseHandle(thread_);
    thread_ = nullptr;
}

}  // namespace host
