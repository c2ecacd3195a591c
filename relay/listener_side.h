#pragma once
// The two sides of a channel: devices connect to its device side, servers to its server side.

enum TListenerSide { lsDevice, lsServer };

inline const char* SideName(TListenerSide side) { return side == lsDevice ? "device" : "server"; }
