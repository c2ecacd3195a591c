// What the relay gives its flow control: the destinations of a source, the warning entries of
// cuts, and the window on the service thread where serial writers report that they drained.

#include <cstdio>
#include <string>

#include "base/exception_routing.h"
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
  dropped_[k].fetch_add(dropped, std::memory_order_relaxed);
  WriteWarning(SerialDropEntry(k, tables_.ChannelTable[k], WhatHappened(why, FlowControl::kSerialCap), dropped));
}

void Relay::OpenWindow() {
  if (window_) return;
  window_ = platform::CreateNotificationWindow([this](const platform::Message& message) -> std::intptr_t {
    try {
      return HandleMessage(message);
    } catch (...) {
      routing::RouteException(nullptr);
      return 0;
    }
  });
}

void Relay::CloseWindow() {
  if (platform::WindowHandle window = window_.exchange(0)) platform::DestroyNotificationWindow(window);
}

std::intptr_t Relay::HandleMessage(const platform::Message& message) {
  const auto k = static_cast<int>(message.wparam);
  if (message.id == kSerialLineFailedMessage) SerialLineFailed(k);
  if (message.id != kSerialDrainedMessage) return 0;
  // A report that comes after its port closed finds no writer.
  if (k >= 1 && k <= kMaxChannels && serial_writers_[k]) flow_control_.NoteSerialDrained(serial_writers_[k].get());
  return 0;
}

void Relay::OpenSerialWriter(int k) {
  TComPort& port = *tables_.SerialPorts[k];
  serial_writers_[k] = std::make_unique<SerialWriter>(
      port, FlowControl::kSerialLowWater,
      [this, k] { platform::PostMessageTo(window_.load(), kSerialDrainedMessage, static_cast<std::uintptr_t>(k), 0); },
      [this, k](const EComPort& failure) { ReportSerialFailure(k, failure); });
}
