#include "platform/clock.h"

#include <mutex>

#include "platform/win/code_page.h"
#include "platform/win/windows_api.h"

namespace platform {
namespace {

// The user default locale's short date and long time pictures, taken when loaded, so that a
// settings change shows only after the next load. Guarded by one lock: any thread may format.
std::mutex format_lock;
bool formats_loaded = false;
std::wstring date_picture;
std::wstring time_picture;

std::wstring LocalePicture(LCTYPE type) {
  wchar_t buffer[256];
  const int n = ::GetLocaleInfoW(LOCALE_USER_DEFAULT, type, buffer, 256);
  return n > 1 ? std::wstring(buffer, static_cast<std::size_t>(n - 1)) : std::wstring();
}

void LoadLocked() {
  date_picture = LocalePicture(LOCALE_SSHORTDATE);
  time_picture = LocalePicture(LOCALE_STIMEFORMAT);
  formats_loaded = true;
}

// 0 Sunday .. 6 Saturday, for pictures that name the day.
WORD DayOfWeek(int year, int month, int day) {
  static const int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 1 || month > 12) return 0;
  if (month < 3) year -= 1;
  int w = (year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) % 7;
  return static_cast<WORD>(w < 0 ? w + 7 : w);
}

SYSTEMTIME ToSystemTime(const LocalTime& t) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(t.year);
  st.wMonth = static_cast<WORD>(t.month);
  st.wDayOfWeek = DayOfWeek(t.year, t.month, t.day);
  st.wDay = static_cast<WORD>(t.day);
  st.wHour = static_cast<WORD>(t.hour);
  st.wMinute = static_cast<WORD>(t.minute);
  st.wSecond = static_cast<WORD>(t.second);
  st.wMilliseconds = static_cast<WORD>(t.millisecond);
  return st;
}

// Formats with the loaded picture; without one (the locale could not be read) the locale's
// own short date or long time format (flags 0: seconds included).
std::string Format(bool date, const LocalTime& t) {
  std::lock_guard<std::mutex> hold(format_lock);
  if (!formats_loaded) LoadLocked();
  const std::wstring& picture = date ? date_picture : time_picture;
  const wchar_t* format = picture.empty() ? nullptr : picture.c_str();
  const SYSTEMTIME st = ToSystemTime(t);
  wchar_t buffer[256];
  const int n = date ? ::GetDateFormatW(LOCALE_USER_DEFAULT, format ? 0 : DATE_SHORTDATE, &st, format, buffer, 256)
                     : ::GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &st, format, buffer, 256);
  if (n <= 1) return std::string();
  return win_detail::NarrowToCp1251(std::wstring_view(buffer, static_cast<std::size_t>(n - 1)));
}

}  // namespace

LocalTime Now() {
  SYSTEMTIME st{};
  ::GetLocalTime(&st);
  return LocalTime{st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds};
}

void LoadLocaleFormats() {
  std::lock_guard<std::mutex> hold(format_lock);
  LoadLocked();
}

std::string FormatShortDate(const LocalTime& t) { return Format(true, t); }

std::string FormatLongTime(const LocalTime& t) { return Format(false, t); }

}  // namespace platform
