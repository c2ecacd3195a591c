#include "platform/clock.h"

#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <mutex>

namespace platform {
namespace {

// The locale the formats were taken from, kept so that names (months, AM/PM) match them.
// Everything here is guarded by one lock, so formatting may run on any thread.
std::mutex format_lock;
locale_t time_locale = nullptr;
std::string date_format;
std::string time_format;

void LoadLocked() {
  // The process's own LC_TIME follows the environment too, as other code may expect.
  ::setlocale(LC_TIME, "");
  locale_t loaded = ::newlocale(LC_TIME_MASK, "", nullptr);
  if (loaded == nullptr) loaded = ::newlocale(LC_TIME_MASK, "C", nullptr);
  if (loaded == nullptr) return;  // keep whatever was loaded before
  if (time_locale != nullptr) ::freelocale(time_locale);
  time_locale = loaded;
  date_format = ::nl_langinfo_l(D_FMT, time_locale);
  time_format = ::nl_langinfo_l(T_FMT, time_locale);
  if (date_format.empty()) date_format = "%m/%d/%y";
  if (time_format.empty()) time_format = "%H:%M:%S";
}

std::tm ToTm(const LocalTime& t) {
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = 12;
  // Week day and day of the year, for formats that name them; taken at noon UTC so that no
  // time zone shifts the date.
  std::tm copy = tm;
  if (::timegm(&copy) != static_cast<time_t>(-1)) {
    tm.tm_wday = copy.tm_wday;
    tm.tm_yday = copy.tm_yday;
  }
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;
  return tm;
}

std::string FormatWith(bool date, const LocalTime& t) {
  std::lock_guard<std::mutex> hold(format_lock);
  if (time_locale == nullptr) LoadLocked();
  const std::string& format = date ? date_format : time_format;
  std::tm tm = ToTm(t);
  char buffer[256];
  std::size_t n = time_locale != nullptr
                      ? ::strftime_l(buffer, sizeof buffer, format.c_str(), &tm, time_locale)
                      : ::strftime(buffer, sizeof buffer, format.c_str(), &tm);
  return std::string(buffer, n);
}

}  // namespace

LocalTime Now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  std::tm tm{};
  ::localtime_r(&now.tv_sec, &tm);
  return LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                   tm.tm_min,         tm.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
}

void LoadLocaleFormats() {
  std::lock_guard<std::mutex> hold(format_lock);
  LoadLocked();
}

std::string FormatShortDate(const LocalTime& t) { return FormatWith(true, t); }

std::string FormatLongTime(const LocalTime& t) { return FormatWith(false, t); }

}  // namespace platform
