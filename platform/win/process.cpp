#include "platform/process.h"

#include "platform/win/windows_api.h"

namespace platform {
namespace {

// The last directory separator of a Windows path ("\" or "/"), npos when there is none.
std::size_t LastSeparator(const std::string& path) { return path.find_last_of("\\/"); }

}  // namespace

// The path the executable was loaded from. Windows reports it as it was opened; a symbolic
// link on the way is not resolved, which places the channel file and logs beside the link.
std::string ExecutablePath() {
  std::string buffer(MAX_PATH, '\0');
  while (true) {
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return std::string();
    if (n < buffer.size()) {
      buffer.resize(n);
      return buffer;
    }
    // Cut to the buffer's size: try again with a larger one, up to the longest path there is.
    if (buffer.size() >= 32768) return std::string();
    buffer.resize(buffer.size() * 2);
  }
}

std::string ExecutableDirectory() {
  std::string path = ExecutablePath();
  std::size_t slash = LastSeparator(path);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string ExecutableFileName() {
  std::string path = ExecutablePath();
  std::size_t slash = LastSeparator(path);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

// Windows has no per-process limit of socket handles to raise.
void RaiseDescriptorLimit() {}

}  // namespace platform
