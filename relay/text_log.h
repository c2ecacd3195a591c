#pragma once
// The two text logs beside the executable: one line per entry, timestamp first, CR LF ends.
// Each line is appended by opening the file, writing and closing it; a line that cannot be
// written is dropped without notice.

#include <functional>
#include <string>
#include <string_view>

#include "base/exception.h"
#include "platform/clock.h"

inline constexpr char kServiceLogFileName[] = "log_service.txt";
inline constexpr char kErrorLogFileName[] = "error_s.log";

// Appends timestamp, blank and text as one line to the named file in the program directory.
// The text is written as the bytes it is. Never raises.
void AppendLogLine(std::string_view text, std::string_view fileName);

// Appends "<timestamp>: <message> . Class Name = <class name>" to error_s.log. Never raises.
void LogException(const Exception& e);

// The current local date and time in the locale's formats (see FormatLogStamp).
std::string LogStamp();

// The locale's short date; then, unless the time of day is 00:00:00, a blank and the locale's
// long time. Milliseconds are ignored.
std::string FormatLogStamp(const platform::LocalTime& t);

// Replaces the clock that LogStamp reads (tests use a fixed time); an empty one restores the
// system clock.
void SetLogClock(std::function<platform::LocalTime()> clock);
