// Appends to the text logs: a symbolic link at a log's path is followed only when its owner is
// the process's own user or root.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/files.h"
#include "tests/service/service_test_support.h"

namespace {

constexpr uid_t kNobody = 65534;

class LogFileLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "making a link another user owns needs the superuser";
    std::ofstream(target_, std::ios::binary) << "kept\n";
  }
  // A link at the log's path to `to`, owned by `owner`.
  void PlantLink(const std::string& to, uid_t owner) {
    ASSERT_EQ(::symlink(to.c_str(), log_.c_str()), 0);
    ASSERT_EQ(::lchown(log_.c_str(), owner, owner), 0);
  }
  test::TempDir dir_;
  std::string log_ = dir_.file("log_service.txt");
  std::string target_ = dir_.file("elsewhere");
};

TEST_F(LogFileLinks, ALinkOfAnotherUserIsNotFollowed) {
  PlantLink(target_, kNobody);
  EXPECT_FALSE(platform::AppendToFile(log_, "line\r\n"));
  EXPECT_EQ(test::ReadFile(target_), "kept\n");
}

TEST_F(LogFileLinks, ADanglingLinkOfAnotherUserCreatesNothing) {
  const std::string missing = dir_.file("created-by-the-link");
  PlantLink(missing, kNobody);
  EXPECT_FALSE(platform::AppendToFile(log_, "line\r\n"));
  EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(LogFileLinks, ALinkOfTheProcesssOwnUserIsFollowed) {
  PlantLink(target_, ::geteuid());
  EXPECT_TRUE(platform::AppendToFile(log_, "line\r\n"));
  EXPECT_EQ(test::ReadFile(target_), "kept\nline\r\n");
  // Also to a file that does not exist yet.
  ASSERT_EQ(::unlink(log_.c_str()), 0);
  const std::string fresh = dir_.file("fresh");
  PlantLink(fresh, ::geteuid());
  EXPECT_TRUE(platform::AppendToFile(log_, "first\r\n"));
  EXPECT_EQ(test::ReadFile(fresh), "first\r\n");
}

TEST_F(LogFileLinks, APlainFileIsCreatedOnceAndAppendedTo) {
  const std::string plain = dir_.file("plain.txt");
  EXPECT_TRUE(platform::AppendToFile(plain, "a"));
  EXPECT_TRUE(platform::AppendToFile(plain, "b"));
  EXPECT_EQ(test::ReadFile(plain), "ab");
}

}  // namespace
