#pragma once
// The system's own texts are code page 1251 bytes; the Linux side shows and logs UTF-8.

#include <string>
#include <string_view>

#include "platform/text.h"

namespace platform::linux_side {

std::string Cp1251ToUtf8(std::string_view text);

// The text as the Linux side shows it: its own pieces converted, the bytes from outside as they
// are (file names on Linux are already what the terminal and the log expect).
std::string ToUtf8(const Text& text);

}  // namespace platform::linux_side
