// Moving bytes: from a device or server connection to the partners of every channel of its
// local port, and from a serial port to the device connections of its channel.

#include <algorithm>

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

void Relay::Forward(TListenerSide from, TCustomWinSocket* connection, bool final, int slices) {
  TServerWinSocket* source = ListenerOf(connection);
  const int port = connection->BoundPort();
  if (final) {
    // The connection is closing: what waits in it now goes on, whatever the pause, and no more
    // (a peer that keeps sending would otherwise keep this read going).
    for (std::size_t left = static_cast<std::size_t>(connection->WaitingBytes()); left > 0;) {
      ByteString data;
      connection->ReadPending(data, std::min(left, kSliceBytes));
      if (data.empty()) return;
      left -= std::min(left, data.size());
      DeliverAll(from, port, source, data);
    }
    return;
  }
  for (int slice = 0; slice < slices; ++slice) {
    if (source && flow_control_.IsPaused(source)) return;  // read at the resume
    ByteString data;
    connection->ReadPending(data, kSliceBytes);
    // From here on the bytes are out of the connection, whether or not they reach anyone.
    if (data.empty()) return;
    DeliverAll(from, port, source, data);
    // A short slice took all that waited; bytes that came since bring a notification of their
    // own.
    if (data.size() < kSliceBytes) return;
  }
}

void Relay::DeliverAll(TListenerSide from, int port, TServerWinSocket* source, const ByteString& data) {
  for (int k : Ports(from).ChannelsOn(port)) Deliver(from, k, source, data);
}

void Relay::Deliver(TListenerSide from, int k, TServerWinSocket* source, const ByteString& data) {
  switch (tables_.ChannelTable[k].ChannelType) {
    case ctTcp:
      SendToAll(source, Listeners(Opposite(from))[k], data);
      break;
    case ctSerial:
      // Only the device side of a serial channel has connections.
      if (from == lsDevice) WriteToSerial(k, source, data);
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
    if (!flow_control_.CheckCap(destination, connection, data.size())) return;
    connection->SendOrKeep(data);
    flow_control_.NoteSend(source, destination, connection);
  } catch (const ESocketError&) {
    // The send failed; the connection closes on its owner thread once this delivery is over.
    // The others still get the bytes, so no stream gets a hole.
  } catch (...) {
    routing::RouteException(connection);
  }
}

void Relay::WriteToSerial(int k, TServerWinSocket* source, const ByteString& data) {
  // A port that failed to open, or whose device went away, has no writer: the channel's device
  // bytes are dropped without a word, as its writes would fail, and counted.
  SerialWriter* writer = serial_writers_[k].get();
  if (!writer) {
    health_[k].serial.dropped += data.size();
    health_[k].serial.dropped_while_away += data.size();
    return;
  }
  writer->Write(data);
  flow_control_.NoteSerialSend(source, writer);
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
