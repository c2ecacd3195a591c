#pragma once
#include <string>

namespace platform {

// Full path of the running executable (links resolved).
std::string ExecutablePath();
// Directory of the executable, up to and including its last path separator.
std::string ExecutableDirectory();
// File name of the executable with its extension, without its directory.
std::string ExecutableFileName();

}  // namespace platform
