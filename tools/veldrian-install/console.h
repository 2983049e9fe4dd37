// The host's output: its own lines, and VELDRIAN's trace lines read from the
// debugger output (the DBWIN_BUFFER protocol of debug-output viewers) as they arrive.
#pragma once

#include "win32/dbwin.h"
#include "win32/text.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace host {

using win32::Utf8;
using win32::Wide;

// Everything goes to the standard output, in UTF-8, one writer at a time; with
// --json the human output goes to the error output and the standard output
// carries the JSON document alone.
class Console {
public:
    Console();
    void humanToErrorOutput() { human_ = stderr; }
    void json(const std::string &utf8);  // the JSON document, on the standard output
    // A line of the host's own; a trace message that did not end its line is ended first.
    void line(const std::wstring &text);
    // Text as it is, line feeds included.
    void text(const std::wstring &text);
    // A message of the debugger output, as sent.
    void trace(const std::string &utf8);
    void error(const std::wstring &text);      // one line on the error output
    void errorText(const std::wstring &text);  // further text on the error output, as it is

private:
    void write(const std::string &utf8);
    std::mutex mutex_;
    FILE *human_ = stdout;
    bool atLineStart_ = true;
};

// Reads the debugger output on a thread of its own and hands every message that
// opens with "VELDRIAN : " to the console.
class DbwinListener {
public:
    explicit DbwinListener(Console &console) : console_(console) {}
    DbwinListener(const DbwinListener &) = delete;
    DbwinListener &operator=(const DbwinListener &) = delete;

    bool start(std::wstring *error);  // false when another program reads the debugger output
    // Returns once every message sent before the call has been printed.
    void sync() { reader_.sync(); }
    void stop() { reader_.stop(); }
    // VELDRIAN's messages since the last call, the prefix removed, each as sent.
    std::vector<std::wstring> takeMessages();

private:
    void receive(const win32::DbwinMessage &message);
    Console &console_;
    win32::DbwinReader reader_;
    std::mutex messagesMutex_;
    std::vector<std::wstring> messages_;
};

}  // namespace host
