#pragma once
// The operator's view of a running relay in its three forms: the lines that -status prints,
// the JSON object of -status -json, and the one-line summary that the service manager shows.
// Plain functions of a snapshot (relay/relay_status.h); the texts are UTF-8. Any thread.

#include <cstdint>
#include <string>
#include <vector>

#include "relay/relay_status.h"

// What the service says of itself before its channels.
struct StatusHead {
  std::string version;
  std::uint32_t pid = 0;
};

// A line for the service (version, process, start, channels), then one per channel: its
// label, each side's state and peers (a serial side with its line settings when the options
// file gives any), the bytes
// relayed each way and, when any, the peers cut and bytes dropped. With `peers`, each
// connected peer follows its channel on a line of its own.
std::vector<std::string> StatusTextLines(const StatusHead& head, const RelayStatus& status, bool peers);

// One JSON object with every channel and its peers, in ASCII (other characters escaped).
std::string StatusJson(const StatusHead& head, const RelayStatus& status);

// "3 channels: 2 open, 1 failed (channel 2: serial COM3 failed); 4 devices, 1 server; 1.2 MB
// relayed": the channels by their worst side, the first of each kind that is not open, the
// peers, and the bytes in and out of device connections, rounded so that the line changes only
// when the figures do.
std::string StatusSummary(const RelayStatus& status);

// ISO 8601 in UTC, to the second: "2024-05-01T10:00:03Z".
std::string IsoTime(WallClock::time_point time);
