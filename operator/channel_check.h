#pragma once
// The channel-file check (the -check switch): reads cnf_port.cfg as the service reads it and
// reports, one line per channel, what the service will open, with a warning for everything
// that will not work as the operator probably meant (a field that reads as 0, a port out of
// range or used twice or held by another program, a type without a partner, a serial device
// that is missing, not a serial device or busy, lines beyond the last channel), and whether
// what fails to open is tried again. When the options file says who may connect where, each
// channel side also gets a line with its address, who its listener admits (with the lists of
// every channel on its port, as the service judges it) and its limit; with its serial lines, each
// serial channel gets a line with the settings its port opens with. Before them it reports
// the options file: the options it read, the lines it cannot read (any of which keeps every
// listener closed), allow-lists that admit nobody and bind addresses that are no unicast
// address of this machine. It opens nothing for longer than one probe and writes no log.
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
  // 0 when a listener could bind `port` of `address` (0: all local addresses) now, else the
  // system's code.
  std::function<int(std::uint32_t address, std::uint16_t port)> try_listen;
  std::function<platform::SerialProbe(const std::string& port_name)> probe_serial;
  // The largest listen backlog the system allows; 0 (or none given) when it does not tell.
  std::function<int()> max_backlog;
  // True when the address is the broadcast address of one of this machine's networks; none
  // given: never.
  std::function<bool(std::uint32_t address)> local_broadcast;
};

struct ChannelCheckReport {
  std::vector<std::string> lines;  // in order; channel lines, each followed by its warnings
  int channels = 0;
  int warnings = 0;
};

// Checks the text of a channel file; `complete` is false when only its head was read. With
// the options file's retry, each warning of a side that will fail to open says whether the
// service tries it again; with its bind, allow and limit lines, each side says who may connect.
ChannelCheckReport CheckChannelText(std::string_view text, bool complete, const ChannelCheckProbes& probes,
                                    const TOptionsFile& options = TOptionsFile{});

// The options file's part of the report, for a channel file of `channel_count` channels: each
// option read, a warning for each line that cannot be read (or for a file that cannot be read)
// as the service's entries tell them, for an allow-list that admits nobody and for a bind
// address that is not a unicast address of this machine; last, how many
// connections may wait on each listener within the system's largest backlog, with a warning
// when the file asks for more. Nothing when there is no options file.
ChannelCheckReport CheckOptions(const TOptionsFile& file, int channel_count, const ChannelCheckProbes& probes);

// A bind of a fresh socket to the port, as a listener binds, released at once; and the
// platform's serial probe.
ChannelCheckProbes SystemProbes();

// Checks the channel file beside the executable and writes the report to standard output.
// Answers the exit code: 0 when there is nothing to warn about, 1 otherwise.
int RunChannelCheck();
