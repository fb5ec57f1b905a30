// Windows' own words for an error code, on one line, for the reasons the
// binding and the virtual board give: FormatMessage's text without its line
// end, or the number where Windows has no text for it.
#pragma once

#include <windows.h>

#include <string>

inline std::string WindowsErrorText(DWORD code)
{
    char* buffer = nullptr;
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
    std::string text =
        length != 0 && buffer != nullptr ? std::string(buffer, length) : "Windows error " + std::to_string(code);
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}
