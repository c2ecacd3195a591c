#pragma once
// The channels of each local TCP port, so that a read looks only at the channels of the port
// it arrived on instead of comparing every channel's port. A relay fills it on its service
// thread once after the load (Add, Clear); it is read-only afterwards, and any thread may read
// it then.

#include <cstdint>
#include <span>
#include <unordered_map>
#include <vector>

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

 private:
  std::unordered_map<std::int32_t, std::vector<int>> channels_;
};
