#pragma once
// A temporary program directory for the channel file and the logs, and helpers to read and
// write whole files.

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "relay/program_directory.h"
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

// Points the program directory at a fresh temporary directory for the test's lifetime.
class ProgramDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override { OverrideProgramDirectory(dir_.path().string() + "/"); }
  void TearDown() override { OverrideProgramDirectory(std::string()); }
  std::string file(const std::string& name) const { return dir_.file(name); }

  TempDir dir_;
};

}  // namespace test
