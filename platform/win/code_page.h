#pragma once
// The system's own texts are code page 1251 bytes, on every Windows whatever its ANSI code
// page: they are widened from 1251 for the system's wide calls, and texts the system hands
// back (error messages, dates) are narrowed to 1251.

#include <string>
#include <string_view>

#include "platform/text.h"

namespace platform::win_detail {

std::wstring WidenCp1251(std::string_view text);
// The system's own pieces widened from 1251; the bytes from outside from UTF-8 when they are
// UTF-8 (a channel file saved as UTF-8), else from the ANSI code page (file names, which the "A"
// calls give in it, and a channel file saved as "ANSI").
std::wstring Widen(const Text& text);
// Characters that code page 1251 lacks become "?".
std::string NarrowToCp1251(std::wstring_view text);

}  // namespace platform::win_detail
