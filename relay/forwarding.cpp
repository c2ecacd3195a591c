#include "relay/forwarding.h"

#include "net/server_client_win_socket.h"
#include "net/server_socket.h"
#include "net/server_win_socket.h"
#include "relay/arrays_vars.h"
#include "relay/flow_control.h"
#include "serial/com_port.h"

namespace {

// Sends to every connection of `destination`, in acceptance order. A failed send closes only
// that connection; the others still get the bytes, so no stream gets a hole.
void SendToAll(TServerWinSocket* source, TServerWinSocket* destination, const ByteString& data) {
  for (int j = 0, n = destination->ConnectionCount(); j < n; ++j) {
    TServerClientWinSocket* connection = destination->ConnectionAt(j);
    try {
      connection->SendOrKeep(data);
      flow_control::NoteSend(source, destination, connection);
    } catch (...) {
      // The connection closed itself; its release is already on its way.
    }
  }
}

TServerWinSocket* ListenerOf(TCustomWinSocket* connection) {
  auto* accepted = dynamic_cast<TServerClientWinSocket*>(connection);
  return accepted ? accepted->ServerWinSocket() : nullptr;
}

// Takes the waiting bytes, or nothing while the connection's listener (`source`) is paused.
bool Take(TCustomWinSocket* connection, TServerWinSocket* source, bool final, ByteString& data) {
  if (!final && source && flow_control::IsPaused(source)) return false;
  connection->ReadPending(data);
  return !data.empty();
}

}  // namespace

void ForwardFromDevice(TCustomWinSocket* connection, bool final) {
  TServerWinSocket* source = ListenerOf(connection);
  ByteString data;
  if (!Take(connection, source, final, data)) return;
  for (int k = 1; k <= ChannelCount; ++k) {
    const TSootv& channel = ChannelTable[k];
    if (connection->BoundPort() != channel.DevicePort) continue;
    if (channel.ChannelType == 2 && ServerListeners[k].Listener) {
      SendToAll(source, ServerListeners[k].Listener->ListeningSocket(), data);
    } else if (channel.ChannelType == 1) {
      try {
        WriteToSerial(k, data);
      } catch (...) {
        // A port that failed to open drops the channel's device bytes, without a word.
      }
    }
  }
}

void ForwardFromServer(TCustomWinSocket* connection, bool final) {
  TServerWinSocket* source = ListenerOf(connection);
  ByteString data;
  if (!Take(connection, source, final, data)) return;
  for (int k = 1; k <= ChannelCount; ++k) {
    const TSootv& channel = ChannelTable[k];
    if (connection->BoundPort() == channel.ServerPort && channel.ChannelType == 2 && DeviceListeners[k].Listener) {
      SendToAll(source, DeviceListeners[k].Listener->ListeningSocket(), data);
    }
  }
}

void ResumeSource(TServerWinSocket* source) {
  bool device_side = false;
  for (int k = 1; k <= ChannelCount && !device_side; ++k) {
    device_side = DeviceListeners[k].Listener && DeviceListeners[k].Listener->ListeningSocket() == source;
  }
  for (int i = 0, n = source->ConnectionCount(); i < n; ++i) {
    try {
      if (device_side) {
        ForwardFromDevice(source->ConnectionAt(i));
      } else {
        ForwardFromServer(source->ConnectionAt(i));
      }
    } catch (...) {
      // A failed read closed that connection; the others go on.
    }
  }
}

void WriteToSerial(int k, const ByteString& data) {
  if (SerialPorts[k]) SerialPorts[k]->PortWrite(data);
}

void ForwardFromSerial(TComPort* port, std::int32_t count) {
  ByteString data;
  const int c = port->Tag();
  port->PortRead(data, count);
  if (c <= 0 || c > kMaxChannels || data.empty()) return;
  TServerSocket* listener = DeviceListeners[c].Listener;
  if (!listener) return;
  // This runs on the main thread while the service thread accepts and releases connections of
  // the same listener: the walk holds the listener's list lock.
  TServerWinSocket* destination = listener->ListeningSocket();
  destination->ForEachConnection([&](TServerClientWinSocket* connection) {
    try {
      connection->SendOrKeep(data);
      flow_control::NoteSend(nullptr, destination, connection);
    } catch (...) {
      // That connection closed itself; the others still get the bytes.
    }
  });
}
