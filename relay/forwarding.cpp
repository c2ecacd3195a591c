// Moving bytes: from a device or server connection to the partners of every channel of its
// local port, and from a serial port to the device connections of its channel.

#include "base/exception_routing.h"
#include "net/server_client_win_socket.h"
#include "net/server_win_socket.h"
#include "relay/relay.h"

namespace {

TServerWinSocket* ListenerOf(TCustomWinSocket* connection) {
  auto* accepted = dynamic_cast<TServerClientWinSocket*>(connection);
  return accepted ? accepted->ServerWinSocket() : nullptr;
}

TListenerSide Opposite(TListenerSide side) { return side == lsDevice ? lsServer : lsDevice; }

}  // namespace

void Relay::Forward(TListenerSide from, TCustomWinSocket* connection, bool final) {
  TServerWinSocket* source = ListenerOf(connection);
  if (!final && source && flow_control_.IsPaused(source)) return;
  ByteString data;
  connection->ReadPending(data);
  // From here on the bytes are out of the connection, whether or not they reach anyone.
  if (data.empty()) return;
  for (int k : Ports(from).ChannelsOn(connection->BoundPort())) Deliver(from, k, source, data);
}

void Relay::Deliver(TListenerSide from, int k, TServerWinSocket* source, const ByteString& data) {
  switch (tables_.ChannelTable[k].ChannelType) {
    case ctTcp:
      SendToAll(source, Listeners(Opposite(from))[k], data);
      break;
    case ctSerial:
      // Only the device side of a serial channel has connections.
      if (from == lsDevice) WriteToSerial(k, data);
      break;
    default:
      break;  // no partner: the bytes are dropped
  }
}

void Relay::SendToAll(TServerWinSocket* source, const TSocket_DEV& destination, const ByteString& data) {
  if (!destination.Listener) return;
  TServerWinSocket* listening = destination.Listener->ListeningSocket();
  // In acceptance order. Only this thread adds or releases connections of the listener.
  for (int j = 0, n = listening->ConnectionCount(); j < n; ++j) {
    SendTo(source, listening, listening->ConnectionAt(j), data);
  }
}

void Relay::SendTo(TServerWinSocket* source, TServerWinSocket* destination, TServerClientWinSocket* connection,
                   const ByteString& data) {
  try {
    connection->SendOrKeep(data);
    flow_control_.NoteSend(source, destination, connection);
  } catch (const ESocketError&) {
    // The send failed and closed that connection (its release is on its way); the others
    // still get the bytes, so no stream gets a hole.
  } catch (...) {
    routing::RouteException(connection);
  }
}

void Relay::WriteToSerial(int k, const ByteString& data) {
  TComPort* port = tables_.SerialPorts[k].get();
  if (!port) return;
  try {
    port->PortWrite(data);
  } catch (const EComPort& failure) {
    // A port that failed to open, or whose line went away, drops the channel's device bytes;
    // the line's failure is reported once.
    ReportSerialFailure(k, failure);
  }
}

void Relay::ForwardFromSerial(TComPort* port, std::int32_t count) {
  ByteString data;
  const int c = port->Tag();
  try {
    port->PortRead(data, count);
  } catch (const EComPort& failure) {
    // The line failed: reported once, like a failed write, instead of as a fault.
    ReportSerialFailure(c, failure);
    return;
  }
  if (c <= 0 || c > kMaxChannels || data.empty()) return;
  TServerSocket* listener = tables_.DeviceListeners[c].Listener.get();
  if (!listener) return;
  // The service thread accepts and releases connections of this listener meanwhile: the walk
  // holds the listener's list lock.
  TServerWinSocket* destination = listener->ListeningSocket();
  destination->ForEachConnection(
      [&](TServerClientWinSocket* connection) { SendTo(nullptr, destination, connection, data); });
}

void Relay::Resume(TServerWinSocket* source) {
  auto found = listener_sides_.find(source);
  if (found == listener_sides_.end()) return;
  const TListenerSide side = found->second;
  for (int i = 0, n = source->ConnectionCount(); i < n; ++i) {
    TServerClientWinSocket* connection = source->ConnectionAt(i);
    try {
      Forward(side, connection, false);
    } catch (const ESocketError&) {
      // A failed read closed that connection; the others go on.
    } catch (...) {
      routing::RouteException(connection);
    }
  }
}
