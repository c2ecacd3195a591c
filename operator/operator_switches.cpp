#include "operator/operator_switches.h"

#include <cctype>
#include <exception>

#include "base/exception.h"
#include "platform/console.h"
#include "platform/operator_output.h"
#include "platform/process.h"
#include "operator/channel_check.h"
#include "operator/status_switch.h"
#include "relay/channel_file.h"
#include "relay/options_file.h"
#include "service/service_application.h"

#ifndef KORVENET_VERSION
#error "KORVENET_VERSION is defined by the build (CMakeLists.txt)"
#endif

namespace {

constexpr char kServiceName[] = "Rodivo_vedodaraz";

bool SameTextIgnoringCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i] != '\0'; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return i == a.size() && b[i] == '\0';
}

bool WantsHelp(const std::vector<std::string>& arguments) {
  if (FindCmdLineSwitch(arguments, "HELP") || FindCmdLineSwitch(arguments, "?")) return true;
  for (const std::string& argument : arguments) {
    if (SameTextIgnoringCase(argument, "--help")) return true;
  }
  return false;
}

std::optional<int> RunSwitch(const std::vector<std::string>& arguments) {
  if (WantsHelp(arguments)) {
    for (const std::string& line : HelpLines()) platform::WriteOutputLine(line);
    return 0;
  }
  if (FindCmdLineSwitch(arguments, "VERSION")) {
    platform::WriteOutputLine(platform::ExecutableFileName() + " (Korvenet) " + ProgramVersion());
    return 0;
  }
  if (FindCmdLineSwitch(arguments, "CHECK")) return RunChannelCheck();
  if (FindCmdLineSwitch(arguments, "STATUS")) return RunStatusSwitch(arguments);
  return std::nullopt;
}

}  // namespace

std::string ProgramVersion() { return KORVENET_VERSION; }

std::vector<std::string> HelpLines() {
  const std::string program = platform::ExecutableFileName();
  std::vector<std::string> lines = {
      "Korvenet " + ProgramVersion() + ": relays bytes between TCP devices and TCP servers or serial lines.",
      "",
      "Usage: " + program + " [switch]",
      "A switch starts with - or /, in any letter case:",
      "  -console     run the relay in the foreground; Ctrl+C stops it",
      "  -check       check the channel file and the ports and serial devices it names;",
      "               exit code 1 when there is anything to warn about",
      "  -status      what the running service of this directory is doing, one line per channel;",
      "               with -peers also every connected peer, with -json as one JSON object;",
      "               exit code 3 when no service answers, 4 when it refuses the caller",
      "  -install     install the service " + std::string(kServiceName) + " (Korvenet) and enable it",
      "  -uninstall   remove the service",
      "  -silent      with -install or -uninstall: no message on success",
      "  -help, -?    this text",
      "  -version     the version",
      "Without a switch the program runs as the service, as the service manager starts it.",
      "",
      "Files, in the executable's directory " + platform::ExecutableDirectory() + ":",
      "  " + std::string(kChannelFileName) + "     the channels, read at start, one per line:",
      "                   device port;0;type;server port or serial device;label",
      "                   20101;0;2;20201;north   type 2: device port 20101 to server port 20201",
      "                   20102;0;1;COM3;pump     type 1: device port 20102 to serial port COM3",
      "  " + std::string(kOptionsFileName) + "  options, read at start, one per line; none is needed:",
      "                   retry SECONDS   try what failed to open, and serial devices that went",
      "                                   away, again every SECONDS (1..3600)",
      "                   bind SIDE ADDRESS      SIDE (device or server) listens on ADDRESS only",
      "                   allow [K] SIDE NET...  who may connect to SIDE (of channel K): 10.1.0.0/16",
      "                   limit SIDE N           at most N connections at once on SIDE of each channel",
      "                   backlog N              at most N connections wait to be accepted (1..65535)",
      "                   a line that cannot be read keeps every listener closed",
      "  log_service.txt  service start, run-loop start, channels that failed to open (code page 1251)",
      "  error_s.log      errors during -install and -uninstall",
  };
  for (std::string& line : platform::PlatformHelpLines(kServiceName, {kServiceName, program})) {
    lines.push_back(std::move(line));
  }
  return lines;
}

std::optional<int> RunOperatorSwitch(const std::vector<std::string>& arguments) {
  try {
    return RunSwitch(arguments);
  } catch (const Exception& e) {
    // The message may name paths from outside.
    platform::WriteConsoleLine(platform::Text::FromOutside(platform::ExecutableFileName() + ": " + e.Message()));
  } catch (const std::exception& e) {
    platform::WriteConsoleLine(platform::Text::FromOutside(platform::ExecutableFileName() + ": " + e.what()));
  }
  return 1;
}
