// The text of a Win32 or SetupAPI error code, for the tools' one-line messages.
#pragma once

#include <windows.h>

#include <string>

namespace win32 {

// "text of the system's message (error N)", or SetupAPI's own name of the code
// where the system's message table holds none ("ERROR_NO_INF (error 0xE000020A)").
std::wstring ErrorText(DWORD code);

}  // namespace win32
