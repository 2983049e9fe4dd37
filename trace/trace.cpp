#include "trace.h"

#include <cstdarg>
#include <iterator>

namespace {

constexpr WCHAR kTracePrefix[] = L"VELDRIAN : ";

// One line per call. The formatter writes at most 1024 characters, terminator
// included, so the prefix and the longest message always fit.
constexpr int kLineBufferUnits = 2000;
constexpr int kFormatterCapUnits = 1024;

static_assert(std::size(kTracePrefix) - 1 == 11, "the prefix is 11 units");
static_assert(std::size(kTracePrefix) - 1 + kFormatterCapUnits <= kLineBufferUnits,
              "a formatted message behind the prefix never overruns the line buffer");

}  // namespace

// NOLINTNEXTLINE(cert-dcl50-cpp): the channel speaks wvsprintfW's language, a C variadic one
void TraceMessage(const WCHAR *format, ...)
{
    WCHAR line[kLineBufferUnits];

    // The prefix holds no conversion, so formatting it copies it.
    wsprintfW(line, kTracePrefix);
    // cppcheck-suppress lstrlenWCalled ; the line was just terminated by wsprintfW
    const int prefixLength = lstrlenW(line);

    va_list arguments;
    va_start(arguments, format);
    wvsprintfW(line + prefixLength, format, arguments);
    va_end(arguments);

    OutputDebugStringW(line);
}
