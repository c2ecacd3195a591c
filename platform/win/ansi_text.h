#pragma once
// The system's own texts are code page 1251 bytes; the "A" calls of Windows take and give
// text in the machine's ANSI code page. Where that code page is 1251 (a Russian Windows) the
// bytes are the same and pass unchanged; elsewhere these convert.

#include <string>

namespace platform::win_text {

// True when the machine's ANSI code page is 1251.
bool AnsiIsCp1251();
// Code page 1251 bytes as UTF-16, for the "W" calls.
std::wstring WideFromCp1251(const std::string& text);
// Text in the ANSI code page as code page 1251 bytes ("?" for what 1251 cannot show).
std::string Cp1251FromAnsi(const std::string& text);

}  // namespace platform::win_text
