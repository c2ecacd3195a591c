#pragma once
// The terminal settings that carry a serial control block's line settings, and the check that
// a device took them: a terminal driver may quietly keep what it cannot do (a pseudo-terminal
// keeps 8 data bits and no parity) while it takes the rest. No state; any thread.

#include <termios.h>

#include "platform/serial_device.h"

namespace platform::linux_serial {

// Makes `t` (the device's current settings) raw and gives it the block's frame, flow control,
// Xon/Xoff characters, parity check and, when the rate has a standard speed constant, the
// speed (else the speed is left for SetCustomBaudRate). 0, or EINVAL for a block that no
// terminal carries: data bits outside 5-8, an unknown parity or stop-bit value, rate 0, 1.5
// stop bits with other than 5 data bits or 2 stop bits with 5 (both are CSTOPB, which the
// UART sends as 1.5 stop bits with 5 data bits and as 2 otherwise).
int LineTermios(const SerialControlBlock& block, termios& t);

// True when the rate has a standard speed constant.
bool HasStandardSpeed(std::uint32_t rate);

// True when `got` (read back from the device) has every line setting of `wanted` that
// LineTermios made from `block`: data bits, parity, stop bits, RTS/CTS, Xon/Xoff both ways, and
// the speed when the rate has a standard constant.
bool TookLineSettings(const SerialControlBlock& block, const termios& wanted, const termios& got);

}  // namespace platform::linux_serial
