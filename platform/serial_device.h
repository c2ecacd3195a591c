#pragma once
// Serial devices: opening one exclusively, handing it line settings, queue sizes and
// time-outs, reading and writing with those time-outs, and waiting for line events together
// with a stop signal.
//
// Every call that can fail answers 0 or the system's error code (errno values on Linux).
// Handles stay valid until CloseSerialDevice; a call on a closed or unknown handle fails with
// the system's "bad handle" code. A device that went away (a USB adapter pulled out, the far
// end of a pseudo-terminal closed) is marked lost by the event wait: reads and writes on it
// then fail and purges succeed with nothing to do.

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

using SerialHandle = std::intptr_t;
constexpr SerialHandle kNoSerialDevice = -1;

// Line events, as bits of an event mask.
constexpr std::uint32_t kSerialEventRxChar = 0x0001;    // bytes were received
constexpr std::uint32_t kSerialEventRxFlag = 0x0002;    // the event character was received
constexpr std::uint32_t kSerialEventTxEmpty = 0x0004;   // the output queue ran empty
constexpr std::uint32_t kSerialEventCts = 0x0008;       // CTS changed
constexpr std::uint32_t kSerialEventDsr = 0x0010;       // DSR changed
constexpr std::uint32_t kSerialEventRlsd = 0x0020;      // carrier detect changed
constexpr std::uint32_t kSerialEventBreak = 0x0040;     // a break was received
constexpr std::uint32_t kSerialEventError = 0x0080;     // a line error occurred
constexpr std::uint32_t kSerialEventRing = 0x0100;      // ring indicator
constexpr std::uint32_t kSerialEventRx80Full = 0x0400;  // the input queue is 80 % full

// Line error flags.
constexpr std::uint32_t kSerialErrorRxOver = 0x0001;
constexpr std::uint32_t kSerialErrorOverrun = 0x0002;
constexpr std::uint32_t kSerialErrorRxParity = 0x0004;
constexpr std::uint32_t kSerialErrorFrame = 0x0008;
constexpr std::uint32_t kSerialErrorBreak = 0x0010;
constexpr std::uint32_t kSerialErrorTxFull = 0x0100;
constexpr std::uint32_t kSerialErrorIO = 0x0400;
constexpr std::uint32_t kSerialErrorMode = 0x8000;

// Modem input lines.
constexpr std::uint32_t kSerialModemCts = 0x0010;
constexpr std::uint32_t kSerialModemDsr = 0x0020;
constexpr std::uint32_t kSerialModemRing = 0x0040;
constexpr std::uint32_t kSerialModemRlsd = 0x0080;

// Purge flags: abort transfers in progress, discard queued bytes.
constexpr std::uint32_t kSerialPurgeTxAbort = 0x0001;
constexpr std::uint32_t kSerialPurgeRxAbort = 0x0002;
constexpr std::uint32_t kSerialPurgeTxClear = 0x0004;
constexpr std::uint32_t kSerialPurgeRxClear = 0x0008;

// DTR and RTS line control.
constexpr std::uint8_t kSerialDtrDisable = 0;
constexpr std::uint8_t kSerialDtrEnable = 1;
constexpr std::uint8_t kSerialDtrHandshake = 2;
constexpr std::uint8_t kSerialRtsDisable = 0;
constexpr std::uint8_t kSerialRtsEnable = 1;
constexpr std::uint8_t kSerialRtsHandshake = 2;
constexpr std::uint8_t kSerialRtsToggle = 3;

// Parity and stop bits as the control block holds them.
constexpr std::uint8_t kSerialParityNone = 0;
constexpr std::uint8_t kSerialParityOdd = 1;
constexpr std::uint8_t kSerialParityEven = 2;
constexpr std::uint8_t kSerialParityMark = 3;
constexpr std::uint8_t kSerialParitySpace = 4;
constexpr std::uint8_t kSerialOneStopBit = 0;
constexpr std::uint8_t kSerialOne5StopBits = 1;
constexpr std::uint8_t kSerialTwoStopBits = 2;

// The device control block: every line setting at once.
struct SerialControlBlock {
  std::uint32_t length = 28;  // size of the block as the driver knows it
  std::uint32_t baud_rate = 0;
  bool binary = false;
  bool parity_check = false;  // check received parity
  bool out_cts_flow = false;  // hold output while CTS is off
  bool out_dsr_flow = false;  // hold output while DSR is off
  std::uint8_t dtr_control = kSerialDtrDisable;
  bool dsr_sensitivity = false;
  bool tx_continue_on_xoff = false;
  bool out_x = false;               // honour Xon/Xoff from the far end
  bool in_x = false;                // send Xon/Xoff as the input queue fills
  bool error_char_enabled = false;  // replace bytes received with a parity error
  bool discard_null = false;        // drop received zero bytes
  std::uint8_t rts_control = kSerialRtsDisable;
  bool abort_on_error = false;
  std::uint16_t xon_limit = 0;
  std::uint16_t xoff_limit = 0;
  std::uint8_t byte_size = 8;
  std::uint8_t parity = kSerialParityNone;
  std::uint8_t stop_bits = kSerialOneStopBit;
  std::uint8_t xon_char = 0;
  std::uint8_t xoff_char = 0;
  std::uint8_t error_char = 0;
  std::uint8_t eof_char = 0;
  std::uint8_t event_char = 0;

  // The flags packed into one word, bit 0 upwards: binary, parity check, CTS flow, DSR flow,
  // DTR control (2 bits), DSR sensitivity, continue on Xoff, out X, in X, error char,
  // discard null, RTS control (2 bits), abort on error.
  std::uint32_t FlagsWord() const {
    return std::uint32_t(binary) | std::uint32_t(parity_check) << 1 | std::uint32_t(out_cts_flow) << 2 |
           std::uint32_t(out_dsr_flow) << 3 | std::uint32_t(dtr_control & 3) << 4 |
           std::uint32_t(dsr_sensitivity) << 6 | std::uint32_t(tx_continue_on_xoff) << 7 |
           std::uint32_t(out_x) << 8 | std::uint32_t(in_x) << 9 | std::uint32_t(error_char_enabled) << 10 |
           std::uint32_t(discard_null) << 11 | std::uint32_t(rts_control & 3) << 12 |
           std::uint32_t(abort_on_error) << 14;
  }
};

// Time-outs in milliseconds; 0xFFFFFFFF is "all bits set".
//  - read_interval all bits set with both read totals 0: a read returns at once with the bytes
//    already received, none included;
//  - read_interval all bits set, read multiplier all bits set, 0 < read constant < all bits
//    set: a read returns at once when bytes wait, else when one arrives or the constant passes;
//  - otherwise a read of n bytes ends after multiplier * n + constant (0 and 0: no limit) or
//    when the gap between two bytes exceeds read_interval (0: no gap limit);
//  - a write of n bytes ends after write multiplier * n + write constant (0 and 0: no limit),
//    having written what it could.
struct SerialTimeouts {
  std::uint32_t read_interval = 0;
  std::uint32_t read_total_multiplier = 0;
  std::uint32_t read_total_constant = 0;
  std::uint32_t write_total_multiplier = 0;
  std::uint32_t write_total_constant = 0;
};

// The path a port name stands for. On Linux: a name with "/" is used as it is, COMn (any
// letter case, n from 1) is /dev/ttyS(n-1), any other name is /dev/ followed by the name.
// On Windows: \\.\ followed by the name (COM3 is \\.\COM3).
std::string SerialDevicePath(const std::string& port_name);

// Opens the device a port name stands for, for reading and writing, shared with no one: a
// second open of the same device, from this process or another, fails ("busy") without
// touching the line. Refuses anything that is not a serial device (directories, plain files).
// On Linux the device is also locked with a lock file in /run/lock (the form other serial
// programs use), taken before the device is opened.
int OpenSerialDevice(const std::string& port_name, SerialHandle& handle);
int CloseSerialDevice(SerialHandle handle);

// What a failure's code says of the device. Gone: the device went away (a USB adapter pulled
// out, the far end of a pseudo-terminal closed), as a read, a write or an event wait meets it;
// it may come back. Not a serial device: an open refused because the name stands for something
// else (a directory, a plain file, another kind of device), which trying again cannot mend,
// unlike a device that is missing or busy for now.
bool IsSerialDeviceGone(int code);
bool IsNotASerialDevice(int code);

// True when the device a port name stands for is certainly not there now (Linux: nothing
// stands at its path), so that an open would fail without touching anything; false when it
// may be there (Windows cannot tell without opening it). Costs no thread and no wait.
bool SerialDeviceAbsent(const std::string& port_name);

int SetSerialQueueSizes(SerialHandle handle, std::uint32_t input_size, std::uint32_t output_size);
int SetSerialControlBlock(SerialHandle handle, const SerialControlBlock& block);
int SetSerialTimeouts(SerialHandle handle, const SerialTimeouts& timeouts);
int PurgeSerial(SerialHandle handle, std::uint32_t flags);

// Bytes waiting in the input queue; line errors since the last call (cleared by it);
// modem input lines (a device without modem lines reports all of them off).
int SerialBytesWaiting(SerialHandle handle, std::uint32_t& count);
int SerialLineErrors(SerialHandle handle, std::uint32_t& errors);
int SerialModemLines(SerialHandle handle, std::uint32_t& lines);

// Blocking transfers bounded by the device's time-outs. `done` is the number of bytes moved,
// also when the time-out ended the transfer early (which is not a failure).
//
// Writes to one device run one at a time, in the order they were asked for. A purge with
// kSerialPurgeTxAbort, and closing the device, are aborts: from any thread, they end at once
// every write whose mark was taken before them, whether it is in progress, waiting for its
// turn or not yet begun (then it moves nothing). Such a write answers the bytes it moved and the
// "aborted" code (ECANCELED on Linux, ERROR_OPERATION_ABORTED on Windows). A caller that
// decides under its own lock what to write takes the mark under that lock too, so that an
// abort it asks for later cannot pass the write by.
using SerialAbortMark = std::uint64_t;
// The aborts of the device so far. Marks of different devices never match, so a write given
// the mark of a device that was closed since is aborted; an unknown handle's mark is 0.
SerialAbortMark SerialWriteAbortMark(SerialHandle handle);
int SerialWrite(SerialHandle handle, SerialAbortMark since, const void* data, std::size_t size, std::size_t& done);
// Writes what the device takes at once, without waiting (for the line, or for another write's
// turn): `done` is that count, 0 when it takes nothing now. Windows serial drivers complete a
// write only once the line has taken it, so there it takes nothing: every write waits.
int SerialWriteNow(SerialHandle handle, const void* data, std::size_t size, std::size_t& done);
int SerialRead(SerialHandle handle, void* buffer, std::size_t size, std::size_t& done);

// The events a device reports to event waits (0: none).
int SetSerialEventMask(SerialHandle handle, std::uint32_t mask);

// A wait for line events of one device together with a stop signal. Events that occur while
// no wait is pending are reported by the next wait (bytes that arrive while the previous batch
// is handled lead to a further batch); bytes that wait untouched since they were reported are
// not reported again until more arrive or some are read.
class SerialEventWait;

enum class SerialWaitResult {
  kEvents,       // `events` holds a non-empty batch
  kStopped,      // the stop signal is set
  kSkipped,      // a batch could not be collected; wait again
  kDeviceLost,   // the device went away; `error` holds the code; it is now marked lost
  kFailed,       // the wait itself failed; `error` holds the code
};

// Creates a wait for `handle` with its stop signal unset. Never answers null.
SerialEventWait* CreateSerialEventWait(SerialHandle handle);
SerialWaitResult WaitSerialEvents(SerialEventWait* wait, std::uint32_t& events, int& error);
// Sets the stop signal; any thread, any number of times. A set signal stays set.
void StopSerialEventWait(SerialEventWait* wait);
void DestroySerialEventWait(SerialEventWait* wait);

}  // namespace platform
