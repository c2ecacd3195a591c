#pragma once
// A temporary directory for the channel file and the logs, and helpers to read and
// write whole files and to hold a file the way another writer would.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

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

// Holds a file open for writing with the writer's exclusive lock, as another program would.
class HeldByWriter {
 public:
  explicit HeldByWriter(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT, 0644)) {
    locked_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~HeldByWriter() {
    if (fd_ >= 0) ::close(fd_);
  }
  HeldByWriter(const HeldByWriter&) = delete;
  HeldByWriter& operator=(const HeldByWriter&) = delete;
  bool locked() const { return locked_; }

 private:
  int fd_;
  bool locked_ = false;
};

// A fresh temporary directory for the channel file and the logs, for the test's lifetime.
class FilesTest : public ::testing::Test {
 protected:
  // The directory as the relay takes it: ending in a path separator.
  std::string directory() const { return dir_.path().string() + "/"; }
  std::string file(const std::string& name) const { return dir_.file(name); }

  TempDir dir_;
};

}  // namespace test
