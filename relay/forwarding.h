#pragma once
// Moving bytes: from device connections to the channel's server connections or serial port,
// from server connections to the channel's device connections, and from serial ports to the
// channel's device connections. A channel is found by the local port on which the delivering
// connection was accepted; every matching channel gets the bytes, in channel order.

#include <cstdint>

#include "base/byte_string.h"

class TCustomWinSocket;
class TServerWinSocket;
class TComPort;

// Reads what a device connection has waiting and passes it on. While its listener is paused
// (flow_control) nothing is read, unless `final` is set (the connection is closing and its
// last bytes must not be lost).
void ForwardFromDevice(TCustomWinSocket* connection, bool final = false);
// The same for a server connection.
void ForwardFromServer(TCustomWinSocket* connection, bool final = false);
// Reads the waiting bytes of every connection of a listener that was paused and resumes.
void ResumeSource(TServerWinSocket* source);

// Writes to the serial port of channel k, when the channel has one. Raises what the write raises.
void WriteToSerial(int k, const ByteString& data);

// Reads up to `count` received bytes from `port` and sends them to every device connection of
// the port's channel (its Tag). Raises what the read raises.
void ForwardFromSerial(TComPort* port, std::int32_t count);
