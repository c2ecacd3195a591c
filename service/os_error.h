#pragma once
// Failed calls to the service manager: the texts of its codes and the EOSError they raise.

#include <cstdint>
#include <string>

#include "base/exception.h"

// The manager's text for a code, cut as SystemErrorText cuts (no trailing blanks or stops).
std::string ServiceErrorText(std::uint32_t code);

// "System Error.  Code: %d.\r\n%s", or "A call to an OS function failed" for code 0.
std::string OSErrorMessage(std::uint32_t code);

[[noreturn]] void RaiseLastOSError(std::uint32_t code);
