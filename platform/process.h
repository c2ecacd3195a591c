#pragma once
#include <cstdint>
#include <string>

namespace platform {

// Full path of the running executable (links resolved).
std::string ExecutablePath();
// Directory of the executable, up to and including its last path separator.
std::string ExecutableDirectory();
// File name of the executable with its extension, without its directory.
std::string ExecutableFileName();
// The running process's id.
std::uint32_t CurrentProcessId();

// Raises the process's limit of open descriptors to the most it may have (Linux: the soft
// limit to the hard one), so that many connections do not run into a low default. Called
// once at start; where there is no such limit it does nothing.
void RaiseDescriptorLimit();

}  // namespace platform
