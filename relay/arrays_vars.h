#pragma once
// The channel record and the channel-indexed tables of a relay. Channel k lives at index k of
// every table; index 0 is never used. Which thread may touch what: see relay.h.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "net/server_socket.h"
#include "serial/com_port.h"

constexpr int kMaxChannels = 400;

// The channel types of the file's third field. Any other value is kept as it is and means a
// channel with a device side only, whose bytes go nowhere.
enum TChannelType : std::int32_t {
  ctSerial = 1,  // device connections joined to a serial port
  ctTcp = 2,     // device connections joined to server connections
};

// One line of the channel file. Texts are the file's bytes, unconverted.
struct TSootv {
  std::string ChannelLabel;  // field 5
  std::string ComPortName;   // field 4 of a serial channel
  std::int32_t DevicePort = 0;
  std::int32_t ServerPort = 0;  // field 4 of any other channel
  std::int32_t SpareValue = 0;  // field 2, read by nobody
  TChannelType ChannelType = TChannelType{0};
};

// A channel's listening socket on one side, owned by the entry.
struct TSocket_DEV {
  std::unique_ptr<TServerSocket> Listener;
};

struct TChannelTables {
  std::array<TSootv, kMaxChannels + 1> ChannelTable{};
  // Number of channels loaded (at most kMaxChannels).
  std::int32_t ChannelCount = 0;

  std::array<TSocket_DEV, kMaxChannels + 1> DeviceListeners{};
  // Filled for TCP channels only.
  std::array<TSocket_DEV, kMaxChannels + 1> ServerListeners{};
  // Filled for serial channels only.
  std::array<std::unique_ptr<TComPort>, kMaxChannels + 1> SerialPorts{};
};
