// The operator's view of the relay: what it remembers of each channel side, and the snapshot of
// every channel that Status builds from it, from the listeners and from the counts.

#include <cassert>
#include <cstdlib>
#include <string>

#include "net/server_client_win_socket.h"
#include "net/server_win_socket.h"
#include "relay/relay.h"

void Relay::ClearStatusRecords() {
  std::lock_guard<std::mutex> hold(side_records_lock_);
  side_records_.fill(SideRecord{});
  for (auto& count : cuts_) count = 0;
  for (auto& count : dropped_) count = 0;
}

void Relay::RecordListenerFailure(TListenerSide side, int k, const platform::Text& reason) {
  std::lock_guard<std::mutex> hold(side_records_lock_);
  (side == lsDevice ? side_records_[k].device_failure : side_records_[k].server_failure) = reason;
}

void Relay::RecordSerialOpened(int k) {
  std::lock_guard<std::mutex> hold(side_records_lock_);
  side_records_[k].serial_since = WallClock::now();
}

void Relay::RecordSerialFailure(int k, const platform::Text& reason, bool gone) {
  std::lock_guard<std::mutex> hold(side_records_lock_);
  SideRecord& record = side_records_[k];
  record.serial_failure = reason;
  if (!gone) return;
  record.serial_gone = true;
  record.serial_since = WallClock::now();
}

// Until channels are retried, a listener that did not open has failed for good.
SideStatus Relay::ListenerState(TListenerSide side, int k) {
  const TSocket_DEV& entry = Listeners(side)[k];
  if (entry.Listener && entry.Listener->Active()) return SideStatus{SideState::kListening, {}, {}};
  std::lock_guard<std::mutex> hold(side_records_lock_);
  const SideRecord& record = side_records_[k];
  return SideStatus{SideState::kFailed, side == lsDevice ? record.device_failure : record.server_failure, {}};
}

SideStatus Relay::SerialState(int k) {
  std::lock_guard<std::mutex> hold(side_records_lock_);
  const SideRecord& record = side_records_[k];
  if (record.serial_gone) return SideStatus{SideState::kGone, record.serial_failure, record.serial_since};
  const std::unique_ptr<TComPort>& port = tables_.SerialPorts[k];
  if (port && port->Connected()) return SideStatus{SideState::kOpen, {}, record.serial_since};
  return SideStatus{SideState::kFailed, record.serial_failure, {}};
}

ListenerStatus Relay::ListenerStatusOf(TListenerSide side, int k, bool with_peers) {
  const TSootv& channel = tables_.ChannelTable[k];
  ListenerStatus status;
  status.port = side == lsDevice ? channel.DevicePort : channel.ServerPort;
  status.side = ListenerState(side, k);
  const TSocket_DEV& entry = Listeners(side)[k];
  if (!entry.Listener) return status;
  // This thread owns the listener: its list changes only here.
  TServerWinSocket* listening = entry.Listener->ListeningSocket();
  for (int j = 0, n = listening->ConnectionCount(); j < n; ++j) {
    TServerClientWinSocket* connection = listening->ConnectionAt(j);
    if (!connection->Connected()) continue;  // closing
    ++status.peer_count;
    if (!with_peers) continue;
    PeerStatus peer;
    const std::string address = connection->PeerAddress();
    const std::size_t colon = address.rfind(':');
    peer.address = address.substr(0, colon);
    if (colon != std::string::npos) peer.port = static_cast<int>(std::strtol(address.c_str() + colon + 1, nullptr, 10));
    peer.since = connection->AcceptedOn();
    peer.bytes_in = connection->BytesReceived();
    peer.bytes_out = connection->BytesSent();
    status.peers.push_back(std::move(peer));
  }
  return status;
}

RelayStatus Relay::Status(bool with_peers) {
  assert(OnServiceThread() && "the relay tells its status on its service thread");
  RelayStatus status;
  status.started = started_;
  for (int k = 1; k <= tables_.ChannelCount; ++k) {
    const TSootv& channel = tables_.ChannelTable[k];
    ChannelStatus c;
    c.number = k;
    c.label = channel.ChannelLabel;
    c.type = channel.ChannelType;
    c.device = ListenerStatusOf(lsDevice, k, with_peers);
    if (channel.ChannelType == ctTcp) c.server = ListenerStatusOf(lsServer, k, with_peers);
    if (channel.ChannelType == ctSerial) c.serial = SerialStatus{channel.ComPortName, SerialState(k)};
    if (const auto& listener = tables_.DeviceListeners[k].Listener) {
      const TServerWinSocket::Traffic traffic = listener->ListeningSocket()->ConnectionTraffic();
      c.bytes_from_devices = traffic.received;
      c.bytes_to_devices = traffic.sent;
    }
    c.cuts = cuts_[k].load(std::memory_order_relaxed);
    c.dropped = dropped_[k].load(std::memory_order_relaxed);
    status.channels.push_back(std::move(c));
  }
  return status;
}
