#pragma once
// The channel-file check (the -check switch): reads cnf_port.cfg as the service reads it and
// reports, one line per channel, what the service will open, with a warning for everything
// that will not work as the operator probably meant (a field that reads as 0, a port out of
// range or used twice or held by another program, a type without a partner, a serial device
// that is missing, not a serial device or busy, lines beyond the last channel), and whether
// what fails to open is tried again. Before them it reports the options file: the options it
// read and the lines it left out. It opens nothing for longer than one probe and writes no log.
//
// Any thread; the calls share no state.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_probe.h"
#include "relay/options_file.h"

// The largest head of a channel file that the check reads (a channel file of 400 lines is
// far smaller; the check of a larger file looks at this much and says so).
constexpr std::size_t kCheckedFileLimit = 16u << 20;

// How the check asks the system about ports and serial devices.
struct ChannelCheckProbes {
  // 0 when a listener could bind `port` on all local addresses now, else the system's code.
  std::function<int(std::uint16_t port)> try_listen;
  std::function<platform::SerialProbe(const std::string& port_name)> probe_serial;
};

struct ChannelCheckReport {
  std::vector<std::string> lines;  // in order; channel lines, each followed by its warnings
  int channels = 0;
  int warnings = 0;
};

// Checks the text of a channel file; `complete` is false when only its head was read. With
// `retry_seconds` (the options file's retry), each warning of a side that will fail to open
// says whether the service tries it again.
ChannelCheckReport CheckChannelText(std::string_view text, bool complete, const ChannelCheckProbes& probes,
                                    int retry_seconds = 0);

// The options file's part of the report: each option read, and a warning for each line left
// out (or for a file that cannot be read). Nothing when there is no options file.
ChannelCheckReport CheckOptions(const TOptionsFile& file);

// A bind of a fresh socket to the port, as a listener binds, released at once; and the
// platform's serial probe.
ChannelCheckProbes SystemProbes();

// Checks the channel file beside the executable and writes the report to standard output.
// Answers the exit code: 0 when there is nothing to warn about, 1 otherwise.
int RunChannelCheck();
