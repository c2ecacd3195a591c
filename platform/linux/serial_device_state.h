#pragma once
// What the Linux side keeps per open serial device, shared by the device calls and the event
// wait. Handles are numbers looked up in a table, so a call racing with a close either finds
// the device alive (and keeps it alive until it returns) or fails with EBADF.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/linux/serial_lock_file.h"
#include "platform/serial_device.h"

namespace platform::linux_serial {

// A value no device has had before: aborts of all devices draw from one counter, so that a
// write mark of one device never matches another device.
std::uint64_t NewAbortValue();

struct DeviceState {
  int fd = -1;
  bool exclusive = false;  // TIOCEXCL was set by this open
  SerialLockFile lock_file;  // released after the descriptor is closed
  int kick_fd = -1;  // eventfd: wakes the event wait after a write (for the tx-empty event)
  // Aborting writes: a purge with the abort flag, or the close, gives the generation a new
  // value and signals the eventfd; a write ends when the generation is no longer its mark.
  int abort_fd = -1;
  std::atomic<std::uint64_t> abort_generation{NewAbortValue()};
  std::mutex write_lock;  // one write at a time
  std::atomic<bool> lost{false};
  std::atomic<std::uint64_t> read_generation{0};  // bumped by every read that took bytes
  std::atomic<bool> tx_pending{false};            // written since the last tx-empty report
  std::atomic<std::uint32_t> event_mask{0};

  std::mutex settings_lock;  // guards the two below
  SerialTimeouts timeouts;
  bool discard_null = false;

  ~DeviceState();
};

std::shared_ptr<DeviceState> FindDevice(SerialHandle handle);

// Raises an eventfd by one.
void Signal(int event_fd);
// Ends the writes in progress on the device and those waiting for their turn.
void AbortWrites(DeviceState& device);
// Bytes went to the line: an event wait that watches for tx-empty is woken to look.
void NoteWritten(DeviceState& device);

// Sets a rate that has no standard speed constant (termios2 with BOTHER). 0 or errno; EINVAL
// when the driver kept another rate.
int SetCustomBaudRate(int fd, std::uint32_t rate);

// Turns the driver's RS-485 mode (RTS on while sending) on or off. Turning it on fails with the
// driver's code (ENOTTY) when it has no such mode; turning it off where there is none does nothing.
int SetRs485(int fd, bool on);

}  // namespace platform::linux_serial
