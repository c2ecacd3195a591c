// The operator's view of the relay: what it remembers of each channel side, and the snapshot of
// every channel that Status builds from it, from the listeners and from the counts.

#include <cassert>
#include <cstdlib>
#include <string>

#include "net/server_client_win_socket.h"
#include "net/server_win_socket.h"
#include "relay/relay.h"

void Relay::ClearStatusCounts() {
  for (auto& count : cuts_) count = 0;
}

namespace {

// The operator's word for what a side is doing; `open` is how an open side is named.
SideStatus StatusOf(const TSideHealth& health, SideState open) {
  switch (health.state) {
    case TSideState::ssOpen: return SideStatus{open, {}, health.since};
    case TSideState::ssWaiting: return SideStatus{SideState::kWaiting, health.reason, {}};
    case TSideState::ssGone: return SideStatus{SideState::kGone, health.reason, health.since};
    case TSideState::ssFailed: return SideStatus{SideState::kFailed, health.reason, {}};
    case TSideState::ssNone: break;
  }
  return SideStatus{SideState::kFailed, {}, {}};
}

}  // namespace

int Relay::PortHolder(TListenerSide side, int k) {
  if (Health(side, k).state == TSideState::ssOpen) return 0;
  const TSootv& channel = tables_.ChannelTable[k];
  const std::int32_t port = side == lsDevice ? channel.DevicePort : channel.ServerPort;
  for (int j : Ports(side).Sharing(port)) {
    if (j != k && Health(side, j).state == TSideState::ssOpen) return j;
  }
  return 0;
}

SideStatus Relay::ListenerState(TListenerSide side, int k) {
  // What the peers on a shared port send reaches every channel of the port, whichever
  // channel's listener took them in.
  if (const int holder = PortHolder(side, k)) return SideStatus{SideState::kShared, {}, {}, holder};
  SideStatus status = StatusOf(side == lsDevice ? health_[k].device : health_[k].server, SideState::kListening);
  status.since.reset();  // a listener tells no time
  return status;
}

SideStatus Relay::SerialState(int k) { return StatusOf(health_[k].serial, SideState::kOpen); }

ListenerStatus Relay::ListenerStatusOf(TListenerSide side, int k, bool with_peers) {
  const TSootv& channel = tables_.ChannelTable[k];
  ListenerStatus status;
  status.port = side == lsDevice ? channel.DevicePort : channel.ServerPort;
  status.side = ListenerState(side, k);
  status.refused_not_allowed = RefusedPeers(side, k, rfNotAllowed);
  status.refused_over_limit = RefusedPeers(side, k, rfOverLimit);
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
    if (channel.ChannelType == ctSerial) {
      const TSerialSettings settings = SerialSettingsOf(options_.Serial, k).value;
      // Shown on the line when the file that gives them can be read (else the reason says why not).
      const bool configured = options_.Serial.Given() && options_closed_reason_.empty();
      c.serial = SerialStatus{channel.ComPortName, SerialState(k),          configured,     settings.baud,
                              FrameText(settings), FlowWord(settings.flow), settings.rs485};
    }
    if (const auto& listener = tables_.DeviceListeners[k].Listener) {
      const TServerWinSocket::Traffic traffic = listener->ListeningSocket()->ConnectionTraffic();
      c.bytes_from_devices = traffic.received;
      c.bytes_to_devices = traffic.sent;
    }
    c.cuts = cuts_[k].load(std::memory_order_relaxed);
    // What the line's writers dropped or failed to write, and what the devices sent while the
    // line was not open.
    c.dropped = health_[k].serial.dropped + (serial_writers_[k] ? serial_writers_[k]->Dropped() : 0);
    status.channels.push_back(std::move(c));
  }
  return status;
}
