#pragma once
// The channels of each local TCP port, so that a read looks only at the channels of the port
// it arrived on instead of comparing every channel's port. A relay fills it on its service
// thread once after the load (Add, Clear); it is read-only afterwards, and any thread may read
// it then. PortOpenedBefore, for the service and the check alike, tells which listener opens a
// port first: the service opens every device side, then every server side, each in channel
// order, and a port that an earlier listener holds does not open again.

#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "relay/access_options.h"

class PortIndex {
 public:
  // Adds channel k to `port`. Channels are added in ascending order, so each port lists its
  // channels in channel order.
  void Add(std::int32_t port, int k) { channels_[port].push_back(k); }
  void Clear() { channels_.clear(); }

  // The channels of `port` in ascending order; empty when none has that port.
  std::span<const int> ChannelsOn(std::int32_t port) const {
    auto found = channels_.find(port);
    if (found == channels_.end()) return {};
    return found->second;
  }
  // The channels whose listeners share `port`: as ChannelsOn, but none for port 0 (each such
  // listener gets a port of its own) nor for a port outside the TCP range (it holds none).
  std::span<const int> Sharing(std::int32_t port) const {
    return port > 0 && port <= 0xFFFF ? ChannelsOn(port) : std::span<const int>();
  }

 private:
  std::unordered_map<std::int32_t, std::vector<int>> channels_;
};

struct PortOpener {
  TListenerSide side;
  int channel;
};

// The listener that opens `port` before side `side` of channel k does, by the indexes of each
// side's channels: an earlier one of its own side first, then (for a server side) any device
// side, unless the options bind the two sides to two different addresses, where each has a port
// of that number. None for a port that no listeners share (PortIndex::Sharing).
inline std::optional<PortOpener> PortOpenedBefore(const TAccessOptions& access, const PortIndex& device_ports,
                                                  const PortIndex& server_ports, TListenerSide side, int k,
                                                  std::int32_t port) {
  for (int j : (side == lsDevice ? device_ports : server_ports).Sharing(port)) {
    if (j < k) return PortOpener{side, j};
  }
  const IPv4Address device = access.Sides[lsDevice].Bind.value;
  const IPv4Address server = access.Sides[lsServer].Bind.value;
  const bool sides_meet = device == server || device == 0 || server == 0;
  if (side == lsServer && sides_meet && !device_ports.Sharing(port).empty()) {
    return PortOpener{lsDevice, device_ports.Sharing(port).front()};
  }
  return std::nullopt;
}
