#pragma once
#include <string>

namespace platform {

struct LocalTime {
  int year, month, day;              // month 1..12
  int hour, minute, second, millisecond;
};

LocalTime Now();

// Takes the process's date and time formats from its locale (again after a settings change).
void LoadLocaleFormats();
// The date in the locale's short date format.
std::string FormatShortDate(const LocalTime& t);
// The time of day in the locale's long time format (no milliseconds).
std::string FormatLongTime(const LocalTime& t);

}  // namespace platform
