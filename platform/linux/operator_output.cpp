// Operator output on Linux: UTF-8 lines on standard output.

#include "platform/operator_output.h"

#include <unistd.h>

#include <cerrno>

#include "platform/linux/cp1251.h"

namespace platform {
namespace {

void WriteUtf8Line(const std::string& utf8) {
  // Control characters would steer the terminal: they are shown escaped.
  std::string line = VisibleControls(utf8, true) + "\n";
  std::size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(STDOUT_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void WriteOutputLine(const std::string& text) {
  WriteUtf8Line(IsValidUtf8(text) ? text : linux_side::Cp1251ToUtf8(text));
}

void WriteOutputLine(const Text& text) { WriteUtf8Line(linux_side::ToUtf8(text)); }

std::string Utf8Of(const Text& text) { return linux_side::ToUtf8(text); }

std::string StartServiceCommand(const std::string& service_name) { return "systemctl start " + service_name; }

std::vector<std::string> PlatformHelpLines(const std::string& service_name, const std::vector<std::string>& sources) {
  std::string journal = "journalctl";
  for (const std::string& source : sources) journal += " -t " + source;
  return {
      "Unit file:    /etc/systemd/system/" + service_name +
          ".service (written by -install; KORVENET_UNIT_DIR names another directory)",
      "System log:   " + journal,
      "Manual:       man tcp_port_serv",
  };
}

}  // namespace platform
