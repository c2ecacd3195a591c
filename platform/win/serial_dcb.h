#pragma once
// The driver's device control block (DCB) that carries a serial control block, and the check
// that a driver took its line settings. No state; any thread.

#include "platform/serial_device.h"
#include "platform/win/windows_api.h"

namespace platform::win_serial {

// Every field of the block in its DCB field; the reserved fields 0.
DCB SerialDcb(const SerialControlBlock& block);

// True when `got` (read back from the driver) has the line settings of `wanted`: rate, data
// bits, parity, stop bits, CTS and RTS flow control, Xon/Xoff both ways.
bool TookLineSettings(const DCB& wanted, const DCB& got);

}  // namespace platform::win_serial
