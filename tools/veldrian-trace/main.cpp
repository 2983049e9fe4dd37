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

#include <algorithm>
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

constexpr DWORD kProbeMs = 500;  // how often a listener checks that it is still the only reader

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

// Text holds no control characters but the line breaks, tabs and form feeds, and a
// UTF-16 text an even number of bytes.
bool IsText(const std::string &bytes, const std::wstring &text)
{
    const bool utf16 = bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE';
    if (utf16 && bytes.size() % 2 != 0) {
        return false;
    }
    return std::none_of(text.begin(), text.end(), [](wchar_t character) {
        return character < L' ' && character != L'\t' && character != L'\n' && character != L'\r' &&
               character != L'\f';
    });
}

bool ReadCapture(const std::wstring &path, std::wstring *text, std::wstring *error)
{
    std::string bytes;
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        *error = path + L" is a folder, not a capture";
        return false;
    }
    if (!win32::ReadWholeFile(path, &bytes)) {
        *error = L"cannot read the capture " + path + L": " + win32::ErrorText(GetLastError());
        return false;
    }
    *text = CaptureText(bytes);
    if (!IsText(bytes, *text)) {
        *error = path + L" is not a capture: it is not text";
        return false;
    }
    return true;
}

// Waits until Ctrl+C, the time asked for, or the pass asked for, checking all along that
// no other reader has joined the session's buffer (each message reaches one reader only,
// so a reader that shares it cannot know what it missed). False when one has.
bool WaitAlone(const trace::Options &options, win32::DbwinReader &session)
{
    const ULONGLONG end =
        options.seconds > 0 ? GetTickCount64() + static_cast<ULONGLONG>(options.seconds) * 1000 : 0;
    for (;;) {
        const ULONGLONG now = GetTickCount64();
        if (end != 0 && now >= end) {
            return true;
        }
        const DWORD wait = end != 0 ? static_cast<DWORD>(std::min<ULONGLONG>(end - now, kProbeMs)) : kProbeMs;
        if (WaitForSingleObject(g_stop, wait) == WAIT_OBJECT_0) {
            return !session.missed();
        }
        if (!session.sync(10 * kProbeMs) || session.missed()) {
            return false;
        }
    }
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
    if (!WaitAlone(options, session)) {
        err.write(L"veldrian-trace: another program started reading the debugger output of this session (a "
                  L"debugger, a debug-output viewer or veldrian-install) and took messages meant for "
                  L"veldrian-trace; no verdict can be given: close the other reader and run it again\n");
        return trace::kExitFailure;
    }
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
    report.capture(tracedecoder::SplitCapture(text));
    return report.finish();
}
