#pragma once
#include <string>

namespace platform {

// The system's own message text for an error code (errno values on Linux), uncut.
std::string ErrorMessage(int code);

}  // namespace platform
