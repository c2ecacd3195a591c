// Whole-file reads and appends, and how they meet another writer of the same file.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "tests/support/test_support.h"

using namespace platform;

namespace {

class Files : public ::testing::Test {
 protected:
  std::string file(const std::string& name) const { return dir_.file(name); }
  test::TempDir dir_;
};

}  // namespace

TEST_F(Files, OnlyARegularFileIsOne) {
  ASSERT_TRUE(AppendToFile(file("plain"), "x"));
  EXPECT_TRUE(IsRegularFile(file("plain")));
  std::filesystem::create_directory(file("folder"));
  EXPECT_FALSE(IsRegularFile(file("folder")));
  EXPECT_FALSE(IsRegularFile(file("missing")));
}

TEST_F(Files, AppendsCreateThenExtendAndReadsGiveEveryByteBack) {
  const std::string first("line\r\n\0zero\xFF", 12);
  ASSERT_TRUE(AppendToFile(file("log"), first));
  ASSERT_TRUE(AppendToFile(file("log"), "second"));
  ASSERT_TRUE(AppendToFile(file("log"), ""));
  std::string read;
  EXPECT_EQ(ReadWholeFile(file("log"), read), 0);
  EXPECT_EQ(read, first + "second");
  EXPECT_EQ(test::ReadFile(file("log")), read);

  const std::string big(3u << 20, 'b');  // more than one read takes
  ASSERT_TRUE(AppendToFile(file("big"), big));
  EXPECT_EQ(ReadWholeFile(file("big"), read), 0);
  EXPECT_TRUE(read == big);
}

TEST_F(Files, MissingFilesAndDirectoriesFailToReadAndAppendsToADirectoryFail) {
  std::string read = "stale";
  EXPECT_NE(ReadWholeFile(file("missing"), read), 0);
  EXPECT_EQ(read, "");
  std::filesystem::create_directory(file("folder"));
  EXPECT_FALSE(AppendToFile(file("folder"), "x"));
  EXPECT_FALSE(AppendToFile(file("no-such-folder/log"), "x"));
  EXPECT_FALSE(std::filesystem::exists(file("no-such-folder")));
}

TEST_F(Files, AnotherWriterShutsOutReadsAndAppends) {
  ASSERT_TRUE(AppendToFile(file("held"), "before"));
  {
    test::HeldByWriter writer(file("held"));
    ASSERT_TRUE(writer.locked());
    std::string read = "stale";
    EXPECT_EQ(ReadWholeFile(file("held"), read), test::kErrorFileHeld);
    EXPECT_EQ(read, "");
    EXPECT_FALSE(AppendToFile(file("held"), "lost"));
  }
  EXPECT_TRUE(AppendToFile(file("held"), "after"));
  std::string read;
  EXPECT_EQ(ReadWholeFile(file("held"), read), 0);
  EXPECT_EQ(read, "beforeafter");
}
