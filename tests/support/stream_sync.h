#pragma once
// Bringing a relay's streams to a known point before a case measures them: probes go in until
// every receiver has seen one, then a marker, and each receiver is read up to it. Any client
// type with Receive(count, timeout) will do. Runs on the calling thread.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace test {

// Sends probes with `send` until each of `to` has received one, then a marker, and reads each
// of `to` up to the marker. Afterwards every connection of `to` has been accepted by the relay
// and their streams are empty. False when anything but probes came before the marker, or when
// a receiver got nothing within `deadline`.
template <typename Receiver>
bool SyncStreams(const std::function<bool(const std::string&)>& send, const std::vector<Receiver*>& to,
                 std::chrono::milliseconds deadline) {
  std::vector<std::string> seen(to.size());
  auto all_reached = [&] {
    for (const std::string& s : seen) {
      if (s.empty()) return false;
    }
    return true;
  };
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!all_reached() && std::chrono::steady_clock::now() < end) {
    if (!send("P")) return false;
    for (std::size_t i = 0; i < to.size(); ++i) {
      if (seen[i].empty()) seen[i] += to[i]->Receive(1, std::chrono::milliseconds(20));
    }
  }
  if (!all_reached() || !send("#")) return false;
  for (std::size_t i = 0; i < to.size(); ++i) {
    while (seen[i].find('#') == std::string::npos) {
      std::string got = to[i]->Receive(1, deadline);
      if (got.empty()) return false;
      seen[i] += got;
    }
    if (seen[i].find_first_not_of('P') != seen[i].size() - 1) return false;
  }
  return true;
}

}  // namespace test
