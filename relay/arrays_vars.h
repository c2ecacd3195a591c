#pragma once
// The channel record and the channel-indexed tables. Channel k lives at index k of every table;
// index 0 is never used.

#include <array>
#include <cstdint>
#include <string>

class TServerSocket;
class TComPort;

constexpr int kMaxChannels = 400;

// One line of the channel file. Texts are the file's bytes, unconverted.
struct TSootv {
  std::string ChannelLabel;  // field 5
  std::string ComPortName;   // field 4 of a serial channel (type 1)
  std::int32_t DevicePort = 0;
  std::int32_t ServerPort = 0;  // field 4 of any other channel
  std::int32_t SpareValue = 0;  // field 2, read by nobody
  std::int32_t ChannelType = 0;  // 1 serial, 2 TCP, anything else: device side only
};

// A channel's listening socket on one side. The listener is owned by the entry:
// CloseChannels destroys it and sets the pointer back to null.
struct TSocket_DEV {
  TServerSocket* Listener = nullptr;
};

extern std::array<TSootv, kMaxChannels + 1> ChannelTable;
// Number of channels loaded (at most kMaxChannels).
extern std::int32_t ChannelCount;
// Lines of the channel file beyond the last channel that the load left out.
extern std::int32_t ChannelLinesIgnored;

extern std::array<TSocket_DEV, kMaxChannels + 1> DeviceListeners;
extern std::array<TSocket_DEV, kMaxChannels + 1> ServerListeners;
// Serial ports of type-1 channels, owned by the table (destroyed by CloseChannels).
extern std::array<TComPort*, kMaxChannels + 1> SerialPorts;
