// The log stamp's bytes in known locales of the C library, and a FIFO in place of a log.

#include <sys/stat.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

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

// A log with no clock of its own stamps the system's local time when the line is made.
TEST_F(TextLogInCLocale, StampFollowsTheSystemClock) {
  auto c_stamp = [](std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    const bool midnight = tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0;
    char text[32];
    return std::string(text, std::strftime(text, sizeof text, midnight ? "%m/%d/%y" : "%m/%d/%y %H:%M:%S", &tm));
  };
  // The system clock the stamp reads: time() may read a coarser one that lags across a second.
  auto now = [] { return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()); };
  const std::time_t before = now();
  const std::string stamp = TextLog(directory()).LogStamp();
  const std::time_t after = now();
  std::set<std::string> possible;
  for (std::time_t t = before; t <= after; ++t) possible.insert(c_stamp(t));
  EXPECT_EQ(possible.count(stamp), 1u) << stamp << " is not the time between " << c_stamp(before) << " and "
                                       << c_stamp(after);
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

// A locale with a 12-hour clock puts its morning or afternoon marker after the time.
TEST_F(TextLogInCLocale, StampOfATwelveHourLocaleCarriesItsMarker) {
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

TEST_F(TextLogInCLocale, AFifoInPlaceOfALogDoesNotBlockTheWriter) {
  const std::string fifo = file("fifo.txt");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  TextLog(directory(), [] { return kMorning; }).AppendLogLine("lost", "fifo.txt");
}

}  // namespace
