#include "relay/arrays_vars.h"

std::array<TSootv, kMaxChannels + 1> ChannelTable{};
std::int32_t ChannelCount = 0;
std::int32_t ChannelLinesIgnored = 0;

std::array<TSocket_DEV, kMaxChannels + 1> DeviceListeners{};
std::array<TSocket_DEV, kMaxChannels + 1> ServerListeners{};
std::array<TComPort*, kMaxChannels + 1> SerialPorts{};
