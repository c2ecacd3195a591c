#pragma once
// Which listener opens a TCP port first, for the service and the check alike. The service opens
// every device side, then every server side, each in channel order; a port that an earlier
// listener holds does not open again. Keeps no state; any thread.

#include <cstdint>
#include <optional>

#include "relay/access_options.h"
#include "relay/port_index.h"

struct PortOpener {
  TListenerSide side;
  int channel;
};

// The listener that opens `port` before side `side` of channel k does, as the indexes of each
// side's channels say: an earlier one of its own side first, then (for a server side) any
// device side, unless the options bind the two sides to two different addresses, where each
// has a port of that number. None for a port outside 1..65535 (each listener of port 0 gets a
// port of its own; the others hold none).
inline std::optional<PortOpener> PortOpenedBefore(const TAccessOptions& access, const PortIndex& device_ports,
                                                  const PortIndex& server_ports, TListenerSide side, int k,
                                                  std::int32_t port) {
  if (port <= 0 || port > 0xFFFF) return std::nullopt;
  const PortIndex& own = side == lsDevice ? device_ports : server_ports;
  for (int j : own.ChannelsOn(port)) {
    if (j < k) return PortOpener{side, j};
  }
  const IPv4Address device = access.Sides[lsDevice].Bind.value;
  const IPv4Address server = access.Sides[lsServer].Bind.value;
  const bool sides_meet = device == server || device == 0 || server == 0;
  if (side == lsServer && sides_meet && !device_ports.ChannelsOn(port).empty()) {
    return PortOpener{lsDevice, device_ports.ChannelsOn(port).front()};
  }
  return std::nullopt;
}
