#pragma once
// What the relay can tell about itself while it runs, for the operator's view: every channel
// with the state of each side, its connected peers, and what was relayed, cut and dropped
// since the start. A snapshot that Relay::Status builds on the service thread from what the
// relay keeps anyway; plain data, any thread once built.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/text.h"

using WallClock = std::chrono::system_clock;

// The state of a channel side: a listener listens, waits to be tried again, failed, or is
// shared (its port is the listener of another channel, which takes in the peers of both); a
// serial port is open, gone (its device went away while running) or failed to open.
enum class SideState { kListening, kWaiting, kFailed, kOpen, kGone, kShared };

struct SideStatus {
  SideState state = SideState::kFailed;
  platform::Text reason;  // why it waits, failed or went; empty otherwise
  // A serial side: when it opened, or when it went; none for a port that never opened.
  std::optional<WallClock::time_point> since;
  int shared_with = 0;  // kShared: the channel whose listener has the port
};

struct PeerStatus {
  std::string address;  // IPv4, "a.b.c.d"
  int port = 0;
  WallClock::time_point since;
  std::uint64_t bytes_in = 0;   // what the relay received from the peer
  std::uint64_t bytes_out = 0;  // what the relay sent to it
};

struct ListenerStatus {
  std::int32_t port = 0;
  SideStatus side;
  int peer_count = 0;
  // Peers refused since the start: not on the side's allow-list, over its connection limit.
  std::uint64_t refused_not_allowed = 0;
  std::uint64_t refused_over_limit = 0;
  std::vector<PeerStatus> peers;  // filled only when the peers were asked for
};

struct SerialStatus {
  std::string name;  // as the channel file gives it (bytes from outside)
  SideStatus side;
  // The line settings the port opens with; `configured` when the options file, read, has serial lines.
  bool configured = false;
  std::int32_t baud = 9600;
  std::string frame = "8N1";  // data bits, parity letter, stop bits
  std::string flow = "none";  // none, rtscts or xonxoff
  bool rs485 = false;
};

struct ChannelStatus {
  int number = 0;
  std::string label;  // as the channel file gives it (bytes from outside)
  std::int32_t type = 0;
  ListenerStatus device;
  std::optional<ListenerStatus> server;  // a TCP channel's
  std::optional<SerialStatus> serial;    // a serial channel's
  // The channel's device connections, those gone included: a byte sent to two devices counts
  // twice.
  std::uint64_t bytes_from_devices = 0;
  std::uint64_t bytes_to_devices = 0;
  std::uint64_t cuts = 0;     // peers cut for holding up the others
  // Bytes from the devices that never reached the serial line: dropped for a line that took
  // nothing or was not open, or left out by its failed writes.
  std::uint64_t dropped = 0;
};

struct RelayStatus {
  WallClock::time_point started;
  std::vector<ChannelStatus> channels;
};
