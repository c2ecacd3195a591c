#include "relay/text_log.h"

#include "base/exception_routing.h"
#include "platform/files.h"

TextLog::TextLog(std::string directory, Clock clock) : directory_(std::move(directory)), clock_(std::move(clock)) {}

std::string FormatLogStamp(const platform::LocalTime& t) {
  std::string stamp = platform::FormatShortDate(t);
  if (t.hour != 0 || t.minute != 0 || t.second != 0) {
    stamp += ' ';
    stamp += platform::FormatLongTime(t);
  }
  return stamp;
}

std::string TextLog::LogStamp() const { return FormatLogStamp(clock_ ? clock_() : platform::Now()); }

void TextLog::AppendLine(const std::string& line, std::string_view fileName) const {
  // A failed append is the file's own failure (missing directory, held by a writer, no
  // permission): the line is dropped, as it would be with nobody to tell.
  (void)platform::AppendToFile(directory_ + std::string(fileName), line);
}

void TextLog::AppendLogLine(std::string_view text, std::string_view fileName) const {
  try {
    std::string line = LogStamp();
    line += ' ';
    line += text;
    line += "\r\n";
    AppendLine(line, fileName);
  } catch (...) {
    // Building the line failed (out of memory, a clock or format that raised): not the log
    // file's failure, so it is reported before the line is dropped.
    routing::RouteException(nullptr);
  }
}

void TextLog::LogException(const Exception& e) const {
  try {
    std::string line = LogStamp();
    line += ": ";
    line += e.Message();
    line += " . Class Name = ";
    line += e.ClassName();
    line += "\r\n";
    AppendLine(line, kErrorLogFileName);
  } catch (...) {
    // This is where routed exceptions end in the installation runs: routing this failure
    // would come straight back here, so the line is dropped.
  }
}
