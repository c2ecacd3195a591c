#include "relay/program_directory.h"

#include <mutex>

#include "platform/process.h"

namespace {
std::mutex directory_lock;
std::string override_directory;
}  // namespace

std::string ProgramDirectory() {
  {
    std::lock_guard<std::mutex> hold(directory_lock);
    if (!override_directory.empty()) return override_directory;
  }
  return platform::ExecutableDirectory();
}

std::string ProgramFilePath(std::string_view fileName) {
  return ProgramDirectory() + std::string(fileName);
}

void OverrideProgramDirectory(std::string directory) {
  std::lock_guard<std::mutex> hold(directory_lock);
  override_directory = std::move(directory);
}
