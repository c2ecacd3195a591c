// The text logs: lines, bytes, stamps and what happens when a log cannot be written. The
// stamps follow the locale the tests run in; text_log_linux_test.cpp checks their bytes in
// known locales.

#include "relay/text_log.h"

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "relay/channel_file.h"
#include "relay/log_texts.h"
#include "tests/relay/relay_files_fixture.h"

namespace {

constexpr platform::LocalTime kMorning{2026, 12, 6, 9, 5, 7, 123};

// Every test runs with a fixed clock; kMorningStamp is its stamp.
class TextLogTest : public test::FilesTest {
 protected:
  std::string ServiceLog() const { return test::ReadFile(file(kServiceLogFileName)); }

  TextLog log_{directory(), [] { return kMorning; }};
  const std::string kMorningStamp = [] {
    platform::LoadLocaleFormats();
    return FormatLogStamp(kMorning);
  }();
};

TEST_F(TextLogTest, FirstLineCreatesTheLogAndLaterLinesAppend) {
  log_.AppendLogLine(kServiceStartText, kServiceLogFileName);
  log_.AppendLogLine(kServiceExecuteText, kServiceLogFileName);
  EXPECT_EQ(ServiceLog(), std::string(kMorningStamp) + " C\xF2\xE0\xF0\xF2 \xF1\xE5\xF0\xE2\xE8\xF1\xE0\r\n" +
                              kMorningStamp + " ServiceExecute\r\n");
}

TEST_F(TextLogTest, TextBytesAreWrittenUnchanged) {
  const std::string binary("a\0b\xFF\r\n;", 7);
  log_.AppendLogLine(std::string(kSocketOpenFailedText) + "101", kServiceLogFileName);
  log_.AppendLogLine(std::string(kComPortOpenFailedText) + "COM7", kServiceLogFileName);
  log_.AppendLogLine(binary, kServiceLogFileName);
  EXPECT_EQ(ServiceLog(), std::string(kMorningStamp) + " " + kSocketOpenFailedText + "101\r\n" + kMorningStamp +
                              " " + kComPortOpenFailedText + "COM7\r\n" + kMorningStamp + " " + binary + "\r\n");
  EXPECT_NE(ServiceLog().find("\xEF\xEE\xF0\xF2 101\r\n"), std::string::npos);
  EXPECT_NE(ServiceLog().find("\xD1\xCE\xCC-\xEF\xEE\xF0\xF2\xE0" "COM7\r\n"), std::string::npos);
}

TEST_F(TextLogTest, LogExceptionWritesMessageAndClassName) {
  log_.LogException(EFOpenError("Cannot open file \"x\". Denied"));
  log_.LogException(Exception(""));
  EXPECT_EQ(test::ReadFile(file(kErrorLogFileName)),
            std::string(kMorningStamp) + ": Cannot open file \"x\". Denied . Class Name = EFOpenError\r\n" +
                kMorningStamp + ":  . Class Name = Exception\r\n");
  EXPECT_FALSE(std::filesystem::exists(file(kServiceLogFileName)));
}

TEST_F(TextLogTest, StampIsTheDateAndTheTimeExceptAtMidnight) {
  const platform::LocalTime midnight{2026, 12, 6, 0, 0, 0, 999};
  EXPECT_EQ(FormatLogStamp(midnight), platform::FormatShortDate(midnight));
  for (const platform::LocalTime& t : {platform::LocalTime{2026, 12, 6, 0, 0, 1, 0}, platform::LocalTime{2026, 12, 6, 0, 1, 0, 0},
                                       platform::LocalTime{2026, 12, 6, 23, 59, 59, 999}, kMorning}) {
    EXPECT_EQ(FormatLogStamp(t), platform::FormatShortDate(t) + " " + platform::FormatLongTime(t));
  }
  EXPECT_FALSE(kMorningStamp.empty());
  EXPECT_NE(kMorningStamp.find(platform::FormatLongTime(kMorning)), std::string::npos);
}

TEST_F(TextLogTest, UnwritableLogDropsTheLineSilently) {
  // A directory standing where the log should be.
  std::filesystem::create_directory(file(kServiceLogFileName));
  EXPECT_NO_THROW(log_.AppendLogLine("lost", kServiceLogFileName));
  EXPECT_TRUE(std::filesystem::is_directory(file(kServiceLogFileName)));


  // A directory that does not exist.
  TextLog(file("missing") + "/").AppendLogLine("lost", kServiceLogFileName);
  EXPECT_FALSE(std::filesystem::exists(file("missing")));
}

TEST_F(TextLogTest, ReadOnlyLogDropsTheLine) {
  if (test::RunningUnderWine()) GTEST_SKIP() << "Wine keeps read-only as Unix permissions, which root ignores";
  // Even though the tests run as the superuser.
  using std::filesystem::perms;
  test::WriteFile(file(kErrorLogFileName), "old\r\n");
  std::filesystem::permissions(file(kErrorLogFileName), perms::owner_read | perms::group_read | perms::others_read);
  log_.LogException(Exception("lost"));
  EXPECT_EQ(test::ReadFile(file(kErrorLogFileName)), "old\r\n");
  std::filesystem::permissions(file(kErrorLogFileName), perms::owner_write, std::filesystem::perm_options::add);
}

TEST_F(TextLogTest, LogHeldByAnotherWriterLosesTheLine) {
  {
    test::HeldByWriter writer(file(kServiceLogFileName));
    ASSERT_TRUE(writer.locked());
    log_.AppendLogLine("lost", kServiceLogFileName);
  }
  log_.AppendLogLine("kept", kServiceLogFileName);
  EXPECT_EQ(ServiceLog(), std::string(kMorningStamp) + " kept\r\n");
}

// Several threads append long lines to one log at once: a line either lands whole or is lost,
// and no two lines mix.
TEST_F(TextLogTest, ConcurrentWritersNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kLinesEach = 300;
  auto text = [](int thread, int line) {
    std::string tag = "t" + std::to_string(thread) + "l" + std::to_string(line) + ";";
    std::string body;
    while (body.size() < 3000) body += tag;
    return body;
  };
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int l = 0; l < kLinesEach; ++l) log_.AppendLogLine(text(t, l), kServiceLogFileName);
    });
  }
  for (auto& w : writers) w.join();

  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int l = 0; l < kLinesEach; ++l) expected.insert(std::string(kMorningStamp) + " " + text(t, l));

  const std::string log = ServiceLog();
  ASSERT_FALSE(log.empty());
  ASSERT_EQ(log.substr(log.size() - 2), "\r\n");
  std::set<std::string> seen;
  std::size_t pos = 0;
  while (pos < log.size()) {
    std::size_t end = log.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    std::string line = log.substr(pos, end - pos);
    ASSERT_EQ(expected.count(line), 1u) << "a mixed or broken line at offset " << pos;
    ASSERT_TRUE(seen.insert(line).second) << "a line written twice";
    pos = end + 2;
  }
  RecordProperty("lines_landed", static_cast<int>(seen.size()));
}

}  // namespace
