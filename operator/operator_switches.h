#pragma once
// The switches for the people who run the relay: -help (also -?, /? and --help), -version,
// -check and -status. They only tell: they install, start and keep open nothing. Main thread,
// before the service program runs.

#include <optional>
#include <string>
#include <vector>

// Runs the first of these switches that the arguments (after the program name) hold, help
// before version before check before status, and answers the exit code; nothing when they hold none (the
// program then goes on as before).
std::optional<int> RunOperatorSwitch(const std::vector<std::string>& arguments);

// The program's version, as the build defines it.
std::string ProgramVersion();

// The -help text, one line per entry.
std::vector<std::string> HelpLines();
