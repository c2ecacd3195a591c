#include "relay/text_log.h"

#include <mutex>

#include "platform/files.h"
#include "relay/program_directory.h"

namespace {

std::mutex clock_lock;
std::function<platform::LocalTime()> log_clock;

platform::LocalTime CurrentTime() {
  {
    std::lock_guard<std::mutex> hold(clock_lock);
    if (log_clock) return log_clock();
  }
  return platform::Now();
}

void AppendLine(const std::string& line, std::string_view fileName) {
  platform::AppendToFile(ProgramFilePath(fileName), line);
}

}  // namespace

std::string FormatLogStamp(const platform::LocalTime& t) {
  std::string stamp = platform::FormatShortDate(t);
  if (t.hour != 0 || t.minute != 0 || t.second != 0) {
    stamp += ' ';
    stamp += platform::FormatLongTime(t);
  }
  return stamp;
}

std::string LogStamp() { return FormatLogStamp(CurrentTime()); }

void SetLogClock(std::function<platform::LocalTime()> clock) {
  std::lock_guard<std::mutex> hold(clock_lock);
  log_clock = std::move(clock);
}

void AppendLogLine(std::string_view text, std::string_view fileName) {
  try {
    std::string line = LogStamp();
    line += ' ';
    line += text;
    line += "\r\n";
    AppendLine(line, fileName);
  } catch (...) {
    // Logging never fails towards its caller: the line is dropped.
  }
}

void LogException(const Exception& e) {
  try {
    std::string line = LogStamp();
    line += ": ";
    line += e.Message();
    line += " . Class Name = ";
    line += e.ClassName();
    line += "\r\n";
    AppendLine(line, kErrorLogFileName);
  } catch (...) {
    // As above: the line is dropped.
  }
}
