// The log stamp's bytes in known locales of the C library, and a FIFO in place of a log.

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "relay/log_texts.h"
#include "relay/text_log.h"
#include "tests/relay/relay_files_fixture.h"

namespace {

constexpr platform::LocalTime kMorning{2026, 12, 6, 9, 5, 7, 123};
// kMorning in the C locale's formats ("%m/%d/%y" and "%H:%M:%S").
constexpr char kMorningStamp[] = "12/06/26 09:05:07";

// Every test runs in the C locale, so the stamp's bytes are known.
class TextLogInCLocale : public test::FilesTest {
 protected:
  void SetUp() override {
    ::setenv("LC_ALL", "C", 1);
    platform::LoadLocaleFormats();
  }
};

TEST_F(TextLogInCLocale, StampLeavesOutTheTimeOnlyAtMidnight) {
  EXPECT_EQ(FormatLogStamp(kMorning), kMorningStamp);
  EXPECT_EQ(FormatLogStamp({2026, 12, 6, 0, 0, 0, 999}), "12/06/26");
  EXPECT_EQ(FormatLogStamp({2026, 12, 6, 0, 0, 1, 0}), "12/06/26 00:00:01");
  EXPECT_EQ(FormatLogStamp({2026, 12, 6, 0, 1, 0, 0}), "12/06/26 00:01:00");
  EXPECT_EQ(FormatLogStamp({2026, 12, 6, 23, 59, 59, 999}), "12/06/26 23:59:59");
}

TEST_F(TextLogInCLocale, StampFollowsTheSystemClock) {
  const std::string stamp = TextLog(directory()).LogStamp();
  // "mm/dd/yy", optionally followed by " hh:mm:ss".
  ASSERT_TRUE(stamp.size() == 8 || stamp.size() == 17) << stamp;
  EXPECT_EQ(stamp[2], '/');
  EXPECT_EQ(stamp[5], '/');
  if (stamp.size() == 17) {
    EXPECT_EQ(stamp[8], ' ');
    EXPECT_EQ(stamp[11], ':');
    EXPECT_EQ(stamp[14], ':');
  }
}

TEST_F(TextLogInCLocale, StampUsesTheLocaleFormats) {
  ::setenv("LC_ALL", "ru_RU.UTF-8", 1);
  platform::LoadLocaleFormats();
  const std::string stamp = FormatLogStamp(kMorning);
  ::setenv("LC_ALL", "C", 1);
  platform::LoadLocaleFormats();
  if (stamp == kMorningStamp) GTEST_SKIP() << "no Russian locale installed";
  EXPECT_EQ(stamp, "06.12.2026 09:05:07");
}

TEST_F(TextLogInCLocale, AFifoInPlaceOfALogDoesNotBlockTheWriter) {
  const std::string fifo = file("fifo.txt");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  TextLog(directory(), [] { return kMorning; }).AppendLogLine("lost", "fifo.txt");
}

}  // namespace
