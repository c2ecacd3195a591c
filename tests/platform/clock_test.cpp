// Local time and the locale's date and time formats.

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/clock.h"

using namespace platform;

namespace {

auto Fields(const LocalTime& t) { return std::make_tuple(t.year, t.month, t.day, t.hour, t.minute, t.second); }

auto Fields(const std::tm& t) {
  return std::make_tuple(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
}

}  // namespace

TEST(Clock, NowIsTheLocalTimeOfTheCLibrary) {
  const std::time_t before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  const LocalTime now = Now();
  const std::time_t after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  const auto low = Fields(*std::localtime(&before));
  const auto high = Fields(*std::localtime(&after));
  EXPECT_LE(low, Fields(now));
  EXPECT_LE(Fields(now), high);
  EXPECT_GE(now.millisecond, 0);
  EXPECT_LE(now.millisecond, 999);
}

TEST(Clock, FormatsShowEveryPartOfTheDateAndTime) {
  LoadLocaleFormats();
  const LocalTime morning{2026, 12, 6, 9, 5, 7, 123};
  const std::string date = FormatShortDate(morning);
  EXPECT_NE(date.find("12"), std::string::npos) << date;
  EXPECT_NE(date.find("6"), std::string::npos) << date;
  EXPECT_NE(date.find("26"), std::string::npos) << date;
  const std::string time = FormatLongTime(morning);
  EXPECT_NE(time.find("9"), std::string::npos) << time;
  EXPECT_NE(time.find("05"), std::string::npos) << time;
  EXPECT_NE(time.find("07"), std::string::npos) << time;
  EXPECT_EQ(time.find("123"), std::string::npos) << "no milliseconds: " << time;

  const LocalTime evening{1999, 3, 28, 21, 47, 59, 0};
  EXPECT_NE(FormatShortDate(evening), date);
  EXPECT_NE(FormatShortDate(evening).find("28"), std::string::npos);
  EXPECT_NE(FormatLongTime(evening).find("47"), std::string::npos);
  EXPECT_NE(FormatLongTime(evening).find("59"), std::string::npos);
  EXPECT_FALSE(FormatLongTime({2026, 1, 1, 0, 0, 0, 0}).empty());
}

TEST(Clock, ThreadsFormatAtOnceAlike) {
  const LocalTime t{2026, 12, 6, 9, 5, 7, 0};
  const std::string date = FormatShortDate(t), time = FormatLongTime(t);
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int n = 0; n < 200; ++n) {
        if (i == 0 && n % 50 == 0) LoadLocaleFormats();
        if (FormatShortDate(t) != date || FormatLongTime(t) != time) ++mismatches[i];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}
