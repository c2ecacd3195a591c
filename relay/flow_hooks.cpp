// What the relay gives its flow control: the destinations of a source, and the warning entries
// and counts of the destinations it cuts.

#include <cstdio>
#include <string>

#include "net/server_client_win_socket.h"
#include "net/server_win_socket.h"
#include "relay/failure_entries.h"
#include "relay/relay.h"

namespace {

// "16 MiB".
std::string Mebibytes(std::size_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

// "30 s", "1.5 s".
std::string Seconds(std::chrono::milliseconds limit) {
  const long long ms = limit.count();
  char text[32];
  if (ms % 1000 == 0) {
    std::snprintf(text, sizeof text, "%lld s", ms / 1000);
  } else {
    std::snprintf(text, sizeof text, "%lld.%lld s", ms / 1000, ms % 1000 / 100);
  }
  return text;
}

// What the entry of a cut says happened; `cap` is the backlog the destination may keep.
std::string WhatHappened(FlowControl::CutReason why, std::size_t cap) {
  switch (why) {
    case FlowControl::CutReason::kStalled:
      return "took nothing for " + Seconds(FlowControl::kStallLimit);
    case FlowControl::CutReason::kBacklogFull:
      return "fell more than its limit of " + Mebibytes(cap) + " behind the others";
    case FlowControl::CutReason::kBudgetFull:
      return "kept the most of the " + Mebibytes(FlowControl::kKeptBudget) +
             " the relay keeps for slow peers, which ran full,";
  }
  return std::string();
}

}  // namespace

FlowControl::Hooks Relay::FlowHooks() {
  FlowControl::Hooks hooks;
  hooks.destinations = [this](const TServerWinSocket* source) { return DestinationsOf(source); };
  hooks.cutting = [this](TServerWinSocket* listener, TServerClientWinSocket* connection, FlowControl::CutReason why) {
    WarnCut(listener, connection, why);
  };
  hooks.dropped = [this](SerialWriter* port, std::size_t dropped, FlowControl::CutReason why) {
    WarnDropped(port, dropped, why);
  };
  return hooks;
}

FlowControl::Destinations Relay::DestinationsOf(const TServerWinSocket* source) {
  FlowControl::Destinations destinations;
  auto found = listeners_.find(source);
  if (found == listeners_.end()) return destinations;
  const TListenerSide side = found->second.side;
  for (int k : Ports(side).ChannelsOn(const_cast<TServerWinSocket*>(source)->BoundPort())) {
    switch (tables_.ChannelTable[k].ChannelType) {
      case ctTcp:
        if (const auto& partner = Listeners(side == lsDevice ? lsServer : lsDevice)[k].Listener) {
          destinations.listeners.push_back(partner->ListeningSocket());
        }
        break;
      case ctSerial:
        if (side == lsDevice && serial_writers_[k]) destinations.ports.push_back(serial_writers_[k].get());
        break;
      default:
        break;
    }
  }
  return destinations;
}

void Relay::WarnCut(TServerWinSocket* listener, TServerClientWinSocket* connection, FlowControl::CutReason why) {
  auto found = listeners_.find(listener);
  if (found == listeners_.end()) return;
  const int k = found->second.channel;
  cuts_[k].fetch_add(1, std::memory_order_relaxed);
  std::string peer = connection->PeerAddress();
  if (peer.empty()) peer = "(address unknown)";
  WriteWarning(PeerCutEntry(k, tables_.ChannelTable[k], found->second.side == lsServer, peer, WhatHappened(why, connection->KeptBytesLimit())));
}

void Relay::WarnDropped(SerialWriter* port, std::size_t dropped, FlowControl::CutReason why) {
  const int k = port->Port().Tag();
  if (k < 1 || k > tables_.ChannelCount) return;
  WriteWarning(SerialDropEntry(k, tables_.ChannelTable[k], WhatHappened(why, FlowControl::kSerialCap), dropped));
}
