#include "console.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host {

namespace {

constexpr char kVeldrianPrefix[] = "VELDRIAN : ";

}  // namespace

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
    // A console or pipe that takes nothing more leaves the run nowhere to say so.
    (void)fwrite(utf8.data(), 1, utf8.size(), human_);
    (void)fflush(human_);
    atLineStart_ = utf8.back() == '\n';
}

void Console::json(const std::string &utf8)
{
    std::lock_guard<std::mutex> lock(mutex_);
    (void)fwrite(utf8.data(), 1, utf8.size(), stdout);
    (void)fflush(stdout);
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
    const std::string message = "veldrian-install: " + Utf8(text) + "\n";
    (void)fwrite(message.data(), 1, message.size(), stderr);
    (void)fflush(stderr);
}

void Console::errorText(const std::wstring &text)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string utf8 = Utf8(text);
    (void)fwrite(utf8.data(), 1, utf8.size(), stderr);
    (void)fflush(stderr);
}

bool DbwinListener::start(std::wstring *error)
{
    // Another reader is refused: each message reaches one reader only, so the run
    // would miss some of VELDRIAN's lines and judge on what it did not see.
    const win32::DbwinOpen opened = reader_.start(
        win32::DbwinScope::Session, [this](const win32::DbwinMessage &message) { receive(message); }, error);
    return opened == win32::DbwinOpen::Started;
}

void DbwinListener::receive(const win32::DbwinMessage &message)
{
    if (message.text.rfind(kVeldrianPrefix, 0) != 0) {
        return;
    }
    const std::wstring wide = message.wide();
    {
        std::lock_guard<std::mutex> lock(messagesMutex_);
        messages_.push_back(wide.substr(std::size(kVeldrianPrefix) - 1));
    }
    console_.trace(Utf8(wide));
}

std::vector<std::wstring> DbwinListener::takeMessages()
{
    sync();
    std::lock_guard<std::mutex> lock(messagesMutex_);
    std::vector<std::wstring> taken;
    taken.swap(messages_);
    return taken;
}

}  // namespace host
