// The trace channel: every diagnostic line of VELDRIAN goes to the debugger output,
// one OutputDebugStringW call per message, opened by the prefix "VELDRIAN : ".
#pragma once

#include <windows.h>

// Formats `format` (wsprintf language: %s wide string, %d signed 32-bit) with its
// arguments behind the prefix and sends the line. Adds no line feed of its own.
// Uses no heap, so it is safe on paths where an allocation has just failed.
void TraceMessage(const WCHAR *format, ...);
