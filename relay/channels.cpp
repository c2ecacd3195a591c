#include "relay/channels.h"

#include <string>

#include "net/server_socket.h"
#include "relay/arrays_vars.h"
#include "relay/flow_control.h"
#include "relay/log_texts.h"
#include "relay/mb_rtu_tcp.h"
#include "relay/text_log.h"
#include "serial/com_port.h"

namespace {

// Client event slots handed on from a template: reading; the write notification after kept
// bytes went out, which resumes paused sources; the disconnect that passes on the last bytes of
// a connection whose listener was paused.
constexpr int kReadSlot = 0;
constexpr int kWriteSlot = 1;
constexpr int kDisconnectSlot = 3;

void OpenListener(TSocket_DEV& entry, int k, int port, const TServerSocket& template_socket) {
  auto* listener = new TServerSocket();
  entry.Listener = listener;
  listener->SetTag(k);
  listener->AssignClientEventSlot(kReadSlot, template_socket.ClientEventSlot(kReadSlot));
  listener->AssignClientEventSlot(kWriteSlot, template_socket.ClientEventSlot(kWriteSlot));
  listener->AssignClientEventSlot(kDisconnectSlot, template_socket.ClientEventSlot(kDisconnectSlot));
  listener->SetPort(port);
  listener->SetActive(true);
}

template <typename Object>
void Destroy(Object*& entry) {
  Object* object = entry;
  entry = nullptr;
  delete object;
}

}  // namespace

void OpenDeviceListener(int k, const TServerSocket& template_socket) {
  OpenListener(DeviceListeners[k], k, ChannelTable[k].DevicePort, template_socket);
}

void OpenServerListener(int k, const TServerSocket& template_socket) {
  OpenListener(ServerListeners[k], k, ChannelTable[k].ServerPort, template_socket);
}

void OpenSerialPort(int k, const TComPort& template_port) {
  auto* port = new TComPort();
  SerialPorts[k] = port;
  port->SetTag(k);
  port->OnRxChar = template_port.OnRxChar;
  port->SetPort(ChannelTable[k].ComPortName);
  port->SetConnected(true);
}

void OpenChannels(const TRodivo_vedodaraz& module) {
  for (int k = 1; k <= ChannelCount; ++k) {
    try {
      OpenDeviceListener(k, *module.ServerSocket_for_device);
    } catch (...) {
      AppendLogLine(kSocketOpenFailedText + std::to_string(ChannelTable[k].DevicePort), kServiceLogFileName);
    }
  }
  for (int k = 1; k <= ChannelCount; ++k) {
    if (ChannelTable[k].ChannelType != 2) continue;
    try {
      OpenServerListener(k, *module.ServerSocket_for_server);
    } catch (...) {
      AppendLogLine(kSocketOpenFailedText + std::to_string(ChannelTable[k].ServerPort), kServiceLogFileName);
    }
  }
  for (int k = 1; k <= ChannelCount; ++k) {
    if (ChannelTable[k].ChannelType != 1) continue;
    try {
      OpenSerialPort(k, *module.ComPort_serv);
    } catch (...) {
      AppendLogLine(kComPortOpenFailedText + ChannelTable[k].ComPortName, kServiceLogFileName);
    }
  }
}

void CloseChannels() {
  for (int k = 1; k <= ChannelCount; ++k) {
    if (!SerialPorts[k]) continue;
    try {
      SerialPorts[k]->SetConnected(false);
    } catch (...) {
      // The port could not be closed in order; destroying it now ends its delivery instead.
      Destroy(SerialPorts[k]);
    }
  }
  flow_control::Reset();
  for (int k = 1; k <= ChannelCount; ++k) Destroy(DeviceListeners[k].Listener);
  for (int k = 1; k <= ChannelCount; ++k) Destroy(ServerListeners[k].Listener);
  for (int k = 1; k <= ChannelCount; ++k) Destroy(SerialPorts[k]);
}
