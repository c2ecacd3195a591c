#pragma once
// The two text logs of a directory: one line per entry, timestamp first, CR LF ends. Each line
// is appended by opening the file, writing and closing it; a line that cannot be written is
// dropped without notice. A TextLog never changes after construction: any thread may use it,
// and lines written at once from several threads never mix.

#include <functional>
#include <string>
#include <string_view>

#include "base/exception.h"
#include "platform/clock.h"

inline constexpr char kServiceLogFileName[] = "log_service.txt";
inline constexpr char kErrorLogFileName[] = "error_s.log";

class TextLog {
 public:
  using Clock = std::function<platform::LocalTime()>;

  // Logs in `directory` (which ends in a path separator), stamped by `clock` (the system's
  // local time when empty; a clock given here must be callable from any thread).
  explicit TextLog(std::string directory, Clock clock = {});

  const std::string& Directory() const { return directory_; }

  // Appends timestamp, blank and text as one line to the named file. The text is written as
  // the bytes it is. Never raises; a failure other than the file's own is routed (see
  // base/exception_routing.h) before the line is dropped.
  void AppendLogLine(std::string_view text, std::string_view fileName) const;

  // Appends "<timestamp>: <message> . Class Name = <class name>" to error_s.log. Never raises
  // and routes nothing: routed exceptions end here in the installation runs.
  void LogException(const Exception& e) const;

  // The current local date and time in the locale's formats (see FormatLogStamp).
  std::string LogStamp() const;

 private:
  void AppendLine(const std::string& line, std::string_view fileName) const;

  std::string directory_;
  Clock clock_;
};

// The locale's short date; then, unless the time of day is 00:00:00, a blank and the locale's
// long time. Milliseconds are ignored. Any thread.
std::string FormatLogStamp(const platform::LocalTime& t);
