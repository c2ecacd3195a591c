#pragma once
// The system's own texts are code page 1251 bytes; the Linux side shows and logs UTF-8.
// Bytes from outside that are not UTF-8 are read as code page 1251 too, the channel file's
// encoding: whatever comes in, what goes out is valid UTF-8.

#include <string>
#include <string_view>

#include "platform/text.h"

namespace platform::linux_side {

std::string Cp1251ToUtf8(std::string_view text);

// The text as the Linux side shows it: its own pieces converted, the bytes from outside as they
// are when they are UTF-8 (file names on Linux are already what the terminal and the log
// expect), converted otherwise.
std::string ToUtf8(const Text& text);

}  // namespace platform::linux_side
