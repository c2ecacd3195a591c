#pragma once
// The line settings of serial channels, as the options file gives them:
//   serial [K] BAUD FRAME [FLOW] [rs485]
// BAUD from kSlowestBaud to kFastestBaud; FRAME data bits 5-8, parity N, E, O, M or S, stop
// bits 1, 1.5 or 2 ("8N1", "7E1", "5N1.5"); FLOW none, rtscts or xonxoff; rs485: the driver
// turns the transmitter on around each send. Without K the line is the default of every serial
// channel that has no line of its own; with K it is channel k's. No line: 9600 8N1, no flow
// control. The settings are handed to a port through its properties before it opens, and so
// reach the device at every open.
//
// No state; any thread.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "relay/access_options.h"
#include "serial/com_port.h"

inline constexpr std::int32_t kSlowestBaud = 50;
inline constexpr std::int32_t kFastestBaud = 4000000;

struct TSerialSettings {
  std::int32_t baud = 9600;
  TDataBits data_bits = dbEight;
  TParityBits parity = prNone;
  TStopBits stop_bits = sbOneStopBit;
  TFlowControl flow = fcNone;  // fcNone, fcHardware (rtscts) or fcSoftware (xonxoff)
  bool rs485 = false;
};

struct TSerialOptions {
  TOptionValue<TSerialSettings> Default;                 // serial BAUD FRAME ...
  std::map<int, TOptionValue<TSerialSettings>> Channel;  // serial K BAUD FRAME ...
  // True when the file has a serial line that was read.
  bool Given() const;
};

// Reads the values of a serial line (those after the keyword) of line `line` into `options`;
// answers what is wrong with them, empty when nothing is. `channel_problem` answers what is
// wrong with the channel number a line gives (empty: nothing). A second line for the same
// channel, or a second default, is wrong too (the first one counts).
std::string ReadSerialValues(const std::vector<std::string_view>& values, int line,
                             const std::function<std::string(std::int32_t k)>& channel_problem,
                             TSerialOptions& options);

// Channel k's settings and the line they came from (line 0: the defaults).
TOptionValue<TSerialSettings> SerialSettingsOf(const TSerialOptions& options, int k);

// "8E1", "5N1.5".
std::string FrameText(const TSerialSettings& settings);
// "none", "rtscts", "xonxoff".
const char* FlowWord(TFlowControl flow);
// "19200 8E1", "115200 8N1, rtscts, rs485".
std::string SerialSettingsText(const TSerialSettings& settings);

// Sets the port's BaudRate (a member of TBaudRate when one has the rate, else brCustom with
// CustomBaudRate), DataBits, Parity.Bits, StopBits and FlowControl; rs485 sets
// FlowControl.ControlRTS to rtsToggle. Call it before the port opens (an open port applies
// each change at once).
void ApplySerialSettings(TCustomComPort& port, const TSerialSettings& settings);
