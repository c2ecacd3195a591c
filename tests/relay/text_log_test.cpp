#include "relay/text_log.h"

#include <sys/stat.h>

#include <clocale>
#include <cstdlib>
#include <ctime>
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
// kMorning in the C locale's formats ("%m/%d/%y" and "%H:%M:%S").
constexpr char kMorningStamp[] = "12/06/26 09:05:07";

// Every test runs in the C locale, so the stamp's bytes are known, and with a fixed clock.
class TextLogTest : public test::FilesTest {
 protected:
  void SetUp() override {
    ::setenv("LC_ALL", "C", 1);
    platform::LoadLocaleFormats();
  }
  std::string ServiceLog() const { return test::ReadFile(file(kServiceLogFileName)); }

  TextLog log_{directory(), [] { return kMorning; }};
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

TEST_F(TextLogTest, StampLeavesOutTheTimeOnlyAtMidnight) {
  EXPECT_EQ(FormatLogStamp({2026, 12, 6, 0, 0, 0, 999}), "12/06/26");
  EXPECT_EQ(FormatLogStamp({2026, 12, 6, 0, 0, 1, 0}), "12/06/26 00:00:01");
  EXPECT_EQ(FormatLogStamp({2026, 12, 6, 0, 1, 0, 0}), "12/06/26 00:01:00");
  EXPECT_EQ(FormatLogStamp({2026, 12, 6, 23, 59, 59, 999}), "12/06/26 23:59:59");
}

// A log with no clock of its own stamps the system's local time when the line is made.
TEST_F(TextLogTest, StampFollowsTheSystemClock) {
  auto c_stamp = [](std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    const bool midnight = tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0;
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, midnight ? "%m/%d/%y" : "%m/%d/%y %H:%M:%S", &tm));
  };
  const std::time_t before = std::time(nullptr);
  const std::string stamp = TextLog(directory()).LogStamp();
  const std::time_t after = std::time(nullptr);
  std::set<std::string> possible;
  for (std::time_t t = before; t <= after; ++t) possible.insert(c_stamp(t));
  EXPECT_EQ(possible.count(stamp), 1u) << stamp << " is not the time between " << c_stamp(before) << " and "
                                       << c_stamp(after);
}

TEST_F(TextLogTest, StampUsesTheLocaleFormats) {
  ::setenv("LC_ALL", "ru_RU.UTF-8", 1);
  platform::LoadLocaleFormats();
  const std::string stamp = FormatLogStamp(kMorning);
  ::setenv("LC_ALL", "C", 1);
  platform::LoadLocaleFormats();
  if (stamp == kMorningStamp) GTEST_SKIP() << "no Russian locale installed";
  EXPECT_EQ(stamp, "06.12.2026 09:05:07");
}

// A locale with a 12-hour clock puts its morning or afternoon marker after the time.
TEST_F(TextLogTest, StampOfATwelveHourLocaleCarriesItsMarker) {
  locale_t american = ::newlocale(LC_TIME_MASK, "en_US.UTF-8", nullptr);
  if (american == nullptr) GTEST_SKIP() << "no American locale installed";
  ::freelocale(american);
  ::setenv("LC_ALL", "en_US.UTF-8", 1);
  platform::LoadLocaleFormats();
  const std::vector<std::string> stamps = {
      FormatLogStamp(kMorning), FormatLogStamp({2026, 12, 6, 21, 5, 7, 0}), FormatLogStamp({2026, 12, 6, 12, 30, 0, 0}),
      FormatLogStamp({2026, 12, 6, 0, 0, 1, 0}), FormatLogStamp({2026, 12, 6, 0, 0, 0, 500})};
  ::setenv("LC_ALL", "C", 1);
  platform::LoadLocaleFormats();
  EXPECT_EQ(stamps, (std::vector<std::string>{"12/06/2026 09:05:07 AM", "12/06/2026 09:05:07 PM",
                                              "12/06/2026 12:30:00 PM", "12/06/2026 12:00:01 AM", "12/06/2026"}));
}

TEST_F(TextLogTest, UnwritableLogDropsTheLineSilently) {
  // A directory standing where the log should be.
  std::filesystem::create_directory(file(kServiceLogFileName));
  EXPECT_NO_THROW(log_.AppendLogLine("lost", kServiceLogFileName));
  EXPECT_TRUE(std::filesystem::is_directory(file(kServiceLogFileName)));

  // A read-only log, even though the tests run as the superuser.
  test::WriteFile(file(kErrorLogFileName), "old\r\n");
  ASSERT_EQ(::chmod(file(kErrorLogFileName).c_str(), 0444), 0);
  log_.LogException(Exception("lost"));
  EXPECT_EQ(test::ReadFile(file(kErrorLogFileName)), "old\r\n");

  // A FIFO must not block the writer.
  const std::string fifo = file("fifo.txt");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  log_.AppendLogLine("lost", "fifo.txt");

  // A directory that does not exist.
  TextLog(file("missing") + "/").AppendLogLine("lost", kServiceLogFileName);
  EXPECT_FALSE(std::filesystem::exists(file("missing")));
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
