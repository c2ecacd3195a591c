#pragma once
// How an end-to-end case starts and stops the real executable and reads back what it reported.
// The cases of tests/e2e/ are written once against this; each test program links one way of
// starting the service: Linux's (tests/e2e/linux/: the executable as a notify service, the test
// playing systemd and syslog) or Wine's (tests/e2e/wine/: the Windows executable installed into
// the service manager of a Wine prefix). Test thread only.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace e2e {

// One status report of the service to its manager.
struct StatusReport {
  std::uint32_t state = 0;  // 1 stopped .. 7 paused
  std::uint32_t check_point = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t wait_hint = 0;
  std::uint32_t exit_code = 0, service_exit_code = 0;  // Windows only: Linux's end in its exit status
};

// One event-log entry; the text in UTF-8.
struct EventEntry {
  int type = 0;        // 1 error, 2 warning, 4 information
  std::string source;  // empty where the platform does not show it
  std::string text;
};

// A run of the executable by hand, to its end.
struct HandRun {
  bool ended = false;
  int exit_code = -1;
  std::string out, err;
  std::vector<EventEntry> entries;
};

// Something that keeps a file open for writing until it is destroyed.
class FileHold {
 public:
  virtual ~FileHold() = default;
  virtual bool holding() const = 0;
};

class Launcher {
 public:
  virtual ~Launcher() = default;

  // The directory of the executable, where its channel file, options file and logs lie; it
  // holds none of them when a case begins.
  virtual std::filesystem::path ProgramDirectory() const = 0;
  // A file of that directory as the service names it in what it writes.
  virtual std::string ServicePath(const std::string& name) const = 0;
  // The length of the log stamp that begins `line` of log_service.txt; 0 when none does.
  virtual std::size_t StampLength(const std::string& line) const = 0;

  // Starts the service as its manager does; true once it reported running.
  virtual bool Start() = 0;
  // Sends the manager's stop; true once the service reported stopped and its process ended.
  virtual bool Stop() = 0;
  // Waits for the service to end by itself (a failed start); true once its process ended.
  virtual bool WaitForEnd() = 0;
  // What the service's last end told its manager: 0 for a clean end, else the failure's code
  // (the process's exit status on Linux, the stopped report's service-specific code on Windows).
  virtual std::uint32_t EndCode() = 0;
  // Every status report since the last start, in order, waiting until there are at least
  // `at_least` and the last is of state `until` (or stopped), or the deadline passed.
  virtual std::vector<StatusReport> StatusReports(std::uint32_t until, std::size_t at_least = 0) = 0;
  // The event-log entries since the last start, waiting until at least `count` came or
  // `timeout` passed.
  virtual std::vector<EventEntry> EventEntries(std::size_t count, std::chrono::milliseconds timeout) = 0;

  // Runs the executable by hand, not through the service manager, and waits for its end.
  virtual HandRun RunByHand(const std::vector<std::string>& arguments) = 0;
  // Holds a file open for writing the way another program of the service's platform does.
  virtual std::unique_ptr<FileHold> HoldForWriting(const std::string& name) = 0;
  // The platform's text for "the file is held by another writer", as the service writes it.
  virtual std::string FileHeldText() const = 0;
  // The platform's text for "not started by the service manager", as the service writes it.
  virtual std::string NoManagerText() const = 0;
  // The platform's reasons in the warning entries of failed opens: a TCP port that another
  // program listens on, a serial device (named as in the channel file) that does not exist.
  virtual std::string PortInUseText() const = 0;
  virtual std::string NoSuchDeviceText(const std::string& name) const = 0;
  // How those entries name a serial port of the channel file: the name in quotes, then the
  // device it stands for where that reads differently.
  virtual std::string SerialPortNaming(const std::string& name) const = 0;
};

// The length of a stamp at the start of `text` made of a date of `date_format`, optionally
// followed by a blank and a time of `time_format`; 0 when the date does not match. In a format,
// '9' is one digit, '#' one or two digits, 'A' is "A" or "P", anything else stands for itself.
inline std::size_t StampLength(const std::string& text, const std::string& date_format,
                               const std::string& time_format) {
  auto digit = [&](std::size_t at) { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
  auto match = [&](std::size_t at, const std::string& format) -> std::size_t {  // the end, or 0
    for (char f : format) {
      if (f == '9' || f == '#') {
        if (!digit(at)) return 0;
        ++at;
        if (f == '#' && digit(at)) ++at;
      } else if (f == 'A') {
        if (at >= text.size() || (text[at] != 'A' && text[at] != 'P')) return 0;
        ++at;
      } else {
        if (at >= text.size() || text[at] != f) return 0;
        ++at;
      }
    }
    return at;
  };
  const std::size_t date_end = match(0, date_format);
  if (date_end == 0) return 0;
  if (date_end < text.size() && text[date_end] == ' ') {
    if (const std::size_t time_end = match(date_end + 1, time_format)) return time_end;
  }
  return date_end;
}

// A launcher for one case; the way of starting the service is the one linked in.
std::unique_ptr<Launcher> MakeLauncher();

}  // namespace e2e
