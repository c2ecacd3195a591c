#pragma once
// A temporary directory for the channel file and the logs.

#include <string>

#include <gtest/gtest.h>

#include "tests/support/test_support.h"

namespace test {

// A fresh temporary directory for the channel file and the logs, for the test's lifetime.
class FilesTest : public ::testing::Test {
 protected:
  // The directory as the relay takes it: ending in the platform's path separator.
  std::string directory() const { return (dir_.path() / "").string(); }
  std::string file(const std::string& name) const { return dir_.file(name); }

  TempDir dir_;
};

}  // namespace test
