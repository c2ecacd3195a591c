#pragma once
// A temporary directory for the channel file and the logs, and helpers to read and
// write whole files.

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace test {

inline void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh temporary directory for the channel file and the logs, for the test's lifetime.
class FilesTest : public ::testing::Test {
 protected:
  // The directory as the relay takes it: ending in the platform's path separator.
  std::string directory() const { return (dir_.path() / "").string(); }
  std::string file(const std::string& name) const { return dir_.file(name); }

  TempDir dir_;
};

}  // namespace test
