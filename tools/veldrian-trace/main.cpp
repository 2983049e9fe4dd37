// veldrian-trace: what VELDRIAN did during printer installations on this machine, read
// from the debugger output as it happens (or from a saved capture), pass by pass.
#include "options.h"
#include "report.h"
#include "tracedecoder.h"
#include "win32/dbwin.h"
#include "win32/errors.h"
#include "win32/files.h"
#include "win32/text.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

HANDLE g_stop = nullptr;  // set by Ctrl+C, or once the pass asked for is complete

BOOL WINAPI OnControl(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        SetEvent(g_stop);
        return TRUE;
    }
    return FALSE;
}

// A capture as saved by a viewer or an editor: UTF-16 with its byte order mark, UTF-8,
// or else the ANSI code page (the debugger output's own).
std::wstring CaptureText(const std::string &bytes)
{
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        return std::wstring(reinterpret_cast<const wchar_t *>(bytes.data() + 2), (bytes.size() - 2) / 2);
    }
    const std::size_t skip = bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;
    bool utf8 = false;
    const std::wstring text = win32::FromCodePage(CP_UTF8, bytes.substr(skip), &utf8);
    return utf8 ? text : win32::FromCodePage(CP_ACP, bytes);
}

bool ReadCapture(const std::wstring &path, std::wstring *text, std::wstring *error)
{
    std::string bytes;
    if (!win32::ReadWholeFile(path, &bytes)) {
        *error = L"cannot read the capture " + path + L": " + win32::ErrorText(GetLastError());
        return false;
    }
    *text = CaptureText(bytes);
    return true;
}

// With --global, session 0's buffer (services, the device installer among them) and this
// session's: a process writes to its own session's buffer only.
int Listen(const trace::Options &options, trace::Report &report, trace::Output &err)
{
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&OnControl, TRUE);
    const auto hand = [&report](const win32::DbwinMessage &message) {
        if (report.message(message.processId, message.time, message.wide())) {
            SetEvent(g_stop);
        }
    };
    win32::DbwinReader global;
    win32::DbwinReader session;
    std::wstring error;
    if ((options.global &&
         global.start(win32::DbwinScope::Global, hand, &error) != win32::DbwinOpen::Started) ||
        session.start(win32::DbwinScope::Session, hand, &error) != win32::DbwinOpen::Started) {
        err.write(L"veldrian-trace: " + error + L"\n");
        return trace::kExitFailure;
    }
    err.write(std::wstring(L"veldrian-trace: listening to ") +
              (options.global ? L"all sessions (Global\\DBWIN_BUFFER and this session's DBWIN_BUFFER)"
                              : L"this session (DBWIN_BUFFER)") +
              (options.seconds > 0 ? L" for " + std::to_wstring(options.seconds) + L" s" : L"") +
              (options.onePass ? L" until a post-processing pass is complete" : L"") + L"; Ctrl+C stops\n");
    WaitForSingleObject(g_stop, options.seconds > 0 ? static_cast<DWORD>(options.seconds) * 1000 : INFINITE);
    if (!global.stop(2000) || !session.stop(2000)) {
        err.write(L"veldrian-trace: the reader did not end in time; the passes are shown as they stand\n");
    }
    return report.finish();
}

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    trace::Output out(STD_OUTPUT_HANDLE);
    trace::Output err(STD_ERROR_HANDLE);
    const trace::ParsedOptions parsed = trace::ParseOptions(std::vector<std::wstring>(argv + 1, argv + argc));
    if (!parsed.ok) {
        err.write(L"veldrian-trace: " + parsed.error + L" (veldrian-trace --help shows the options)\n");
        return trace::kExitUsage;
    }
    const trace::Options &options = parsed.options;
    if (options.help) {
        out.write(trace::Usage());
        return trace::kExitDone;
    }
    trace::Report report(options, out, err);
    if (options.from.empty()) {
        return Listen(options, report, err);
    }
    std::wstring text;
    std::wstring error;
    if (!ReadCapture(options.from, &text, &error)) {
        err.write(L"veldrian-trace: " + error + L"\n");
        return trace::kExitFailure;
    }
    report.capture(tracedecoder::SplitMessages(text));
    return report.finish();
}
