#include "win32/errors.h"

#include <setupapi.h>

#include <cwctype>

namespace win32 {

namespace {

// SetupAPI's own codes, which the system's message table may not hold.
const wchar_t *SetupApiErrorName(DWORD code)
{
    switch (code) {
    case ERROR_EXPECTED_SECTION_NAME:
        return L"ERROR_EXPECTED_SECTION_NAME";
    case ERROR_BAD_SECTION_NAME_LINE:
        return L"ERROR_BAD_SECTION_NAME_LINE";
    case ERROR_SECTION_NAME_TOO_LONG:
        return L"ERROR_SECTION_NAME_TOO_LONG";
    case ERROR_GENERAL_SYNTAX:
        return L"ERROR_GENERAL_SYNTAX";
    case ERROR_WRONG_INF_STYLE:
        return L"ERROR_WRONG_INF_STYLE";
    case ERROR_SECTION_NOT_FOUND:
        return L"ERROR_SECTION_NOT_FOUND";
    case ERROR_LINE_NOT_FOUND:
        return L"ERROR_LINE_NOT_FOUND";
    case ERROR_NO_ASSOCIATED_CLASS:
        return L"ERROR_NO_ASSOCIATED_CLASS";
    case ERROR_CLASS_MISMATCH:
        return L"ERROR_CLASS_MISMATCH";
    case ERROR_NO_DRIVER_SELECTED:
        return L"ERROR_NO_DRIVER_SELECTED";
    case ERROR_INVALID_DEVINST_NAME:
        return L"ERROR_INVALID_DEVINST_NAME";
    case ERROR_INVALID_CLASS:
        return L"ERROR_INVALID_CLASS";
    case ERROR_DEVINST_ALREADY_EXISTS:
        return L"ERROR_DEVINST_ALREADY_EXISTS";
    case ERROR_DEVINFO_NOT_REGISTERED:
        return L"ERROR_DEVINFO_NOT_REGISTERED";
    case ERROR_NO_INF:
        return L"ERROR_NO_INF";
    case ERROR_DI_DO_DEFAULT:
        return L"ERROR_DI_DO_DEFAULT";
    case ERROR_FILEQUEUE_LOCKED:
        return L"ERROR_FILEQUEUE_LOCKED";
    case ERROR_NO_COMPAT_DRIVERS:
        return L"ERROR_NO_COMPAT_DRIVERS";
    default:
        return nullptr;
    }
}

}  // namespace

std::wstring ErrorText(DWORD code)
{
    wchar_t *text = nullptr;
    std::wstring message;
    if (const wchar_t *name = SetupApiErrorName(code)) {
        message = name;
    } else {
        const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                                FORMAT_MESSAGE_IGNORE_INSERTS,
                                            nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
        if (length != 0 && text != nullptr) {
            message.assign(text, length);
            LocalFree(text);
        }
    }
    // Messages written for an insert name the file "%1".
    for (std::size_t at = message.find(L"%1"); at != std::wstring::npos; at = message.find(L"%1")) {
        message.replace(at, 2, L"the file");
    }
    while (!message.empty() && (iswspace(message.back()) || message.back() == L'.')) {
        message.pop_back();
    }
    wchar_t number[32];
    if (code > 0xFFFF) {
        wsprintfW(number, L"error 0x%08X", static_cast<unsigned int>(code));
    } else {
        wsprintfW(number, L"error %u", static_cast<unsigned int>(code));
    }
    return message.empty() ? std::wstring(number) : message + L" (" + number + L")";
}

}  // namespace win32
