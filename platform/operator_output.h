#pragma once
// Output of the switches for the people who run the program (-help, -version, -check,
// -status): lines on standard output, and what the help says about the platform's own places.
//
// Texts are the system's own bytes (code page 1251) mixed with bytes read from the channel
// file. Any thread; one write per line.

#include <string>
#include <vector>

#include "platform/text.h"

namespace platform {

// Writes one line to standard output. Linux writes UTF-8: a line that already is valid UTF-8
// (a channel file written on Linux) goes out as it is, any other is read as code page 1251;
// control characters are shown escaped (VisibleControls, text.h). Windows writes characters to
// a console, and to a file or pipe the console's code page.
void WriteOutputLine(const std::string& text);
// The same for a text whose pieces say how to read them (text.h).
void WriteOutputLine(const Text& text);

// A text as UTF-8, each piece read as the platform reads it (the system's own pieces as code
// page 1251, bytes from outside as they are when they are UTF-8).
std::string Utf8Of(const Text& text);

// The command that starts the installed service `service_name`.
std::string StartServiceCommand(const std::string& service_name);

// Lines for the help text: where the registration of `service_name` lives and where the
// system log shows the entries of `sources`, with the command that reads them.
std::vector<std::string> PlatformHelpLines(const std::string& service_name, const std::vector<std::string>& sources);

}  // namespace platform
