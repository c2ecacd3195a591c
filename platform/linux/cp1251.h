#pragma once
// The system's own texts are code page 1251 bytes; the Linux side shows and logs UTF-8.

#include <string>
#include <string_view>

namespace platform::linux_side {

std::string Cp1251ToUtf8(std::string_view text);

}  // namespace platform::linux_side
