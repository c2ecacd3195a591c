// Serial devices on Windows: the kernel's communication calls on a handle opened for
// overlapped I/O and shared with no one. The handles given out are numbers looked up in a
// table, so a call racing with a close either finds the device alive (and keeps its handle
// open until the call returns) or fails with ERROR_INVALID_HANDLE.

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/serial_device.h"
#include "platform/win/serial_dcb.h"
#include "platform/win/windows_api.h"

namespace platform {
namespace {

// The seam's bits are the driver's own.
static_assert(sizeof(DCB) == 28, "the control block's length is the driver's DCB size");
static_assert(kSerialEventRxChar == EV_RXCHAR && kSerialEventRxFlag == EV_RXFLAG &&
              kSerialEventTxEmpty == EV_TXEMPTY && kSerialEventCts == EV_CTS && kSerialEventDsr == EV_DSR &&
              kSerialEventRlsd == EV_RLSD && kSerialEventBreak == EV_BREAK && kSerialEventError == EV_ERR &&
              kSerialEventRing == EV_RING && kSerialEventRx80Full == EV_RX80FULL);
static_assert(kSerialErrorRxOver == CE_RXOVER && kSerialErrorOverrun == CE_OVERRUN &&
              kSerialErrorRxParity == CE_RXPARITY && kSerialErrorFrame == CE_FRAME &&
              kSerialErrorBreak == CE_BREAK && kSerialErrorTxFull == CE_TXFULL && kSerialErrorIO == CE_IOE &&
              kSerialErrorMode == CE_MODE);
static_assert(kSerialModemCts == MS_CTS_ON && kSerialModemDsr == MS_DSR_ON && kSerialModemRing == MS_RING_ON &&
              kSerialModemRlsd == MS_RLSD_ON);
static_assert(kSerialPurgeTxAbort == PURGE_TXABORT && kSerialPurgeRxAbort == PURGE_RXABORT &&
              kSerialPurgeTxClear == PURGE_TXCLEAR && kSerialPurgeRxClear == PURGE_RXCLEAR);
static_assert(kSerialDtrDisable == DTR_CONTROL_DISABLE && kSerialDtrEnable == DTR_CONTROL_ENABLE &&
              kSerialDtrHandshake == DTR_CONTROL_HANDSHAKE && kSerialRtsDisable == RTS_CONTROL_DISABLE &&
              kSerialRtsEnable == RTS_CONTROL_ENABLE && kSerialRtsHandshake == RTS_CONTROL_HANDSHAKE &&
              kSerialRtsToggle == RTS_CONTROL_TOGGLE);
static_assert(kSerialParityNone == NOPARITY && kSerialParityOdd == ODDPARITY && kSerialParityEven == EVENPARITY &&
              kSerialParityMark == MARKPARITY && kSerialParitySpace == SPACEPARITY &&
              kSerialOneStopBit == ONESTOPBIT && kSerialOne5StopBits == ONE5STOPBITS &&
              kSerialTwoStopBits == TWOSTOPBITS);

// After a batch could not be collected, the next wait first gives the driver this long (or
// the stop signal), so that a driver failing every completion cannot spin the event thread.
constexpr DWORD kRetryPauseMs = 10;

// The last error of the calling thread; never 0, so that a failure is never taken for success.
int LastError() {
  DWORD error = ::GetLastError();
  return static_cast<int>(error != 0 ? error : ERROR_GEN_FAILURE);
}

// A value no device has had before: aborts of all devices draw from one counter, so that a
// write mark of one device never matches another device.
std::uint32_t NewAbortValue() {
  static std::atomic<std::uint32_t> last{0};
  return ++last;
}

struct Device {
  HANDLE handle = INVALID_HANDLE_VALUE;
  HANDLE mask_changed = nullptr;  // auto-reset: wakes an event wait that has no events to ask for
  // Aborting writes: a purge with the abort flag, or the close, gives the generation a new
  // value and sets the event (auto-reset); a write ends when the generation is no longer its
  // mark. The driver's own abort (PurgeComm) does the same for drivers that honour it.
  HANDLE write_abort = nullptr;
  std::atomic<std::uint32_t> abort_generation{NewAbortValue()};
  std::mutex write_lock;  // one write at a time
  std::atomic<DWORD> event_mask{0};
  std::atomic<bool> lost{false};
  std::atomic<DWORD> lost_error{0};
  // Line errors that status queries collected (the driver clears them on every query) and
  // that no SerialLineErrors has reported yet.
  std::atomic<DWORD> line_errors{0};

  ~Device() {
    if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    if (mask_changed) ::CloseHandle(mask_changed);
    if (write_abort) ::CloseHandle(write_abort);
  }
};

void AbortWrites(Device& device) {
  // The new value before the event: a write woken by the event sees it.
  device.abort_generation = NewAbortValue();
  ::SetEvent(device.write_abort);
}

// Built on first use and never destroyed, so that an event thread still ending at process
// exit finds it.
struct DeviceTable {
  std::mutex lock;
  std::unordered_map<SerialHandle, std::shared_ptr<Device>> devices;
  SerialHandle next_handle = 1;
};

DeviceTable& Table() {
  static DeviceTable* table = new DeviceTable;
  return *table;
}

std::shared_ptr<Device> FindDevice(SerialHandle handle) {
  DeviceTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  auto it = table.devices.find(handle);
  return it == table.devices.end() ? nullptr : it->second;
}

int LostError(const Device& device) {
  DWORD error = device.lost_error;
  return static_cast<int>(error != 0 ? error : ERROR_DEVICE_NOT_CONNECTED);
}

// Asks the driver for its status; the line errors it reports are kept for SerialLineErrors.
int QueryStatus(Device& device, COMSTAT& status) {
  DWORD errors = 0;
  if (!::ClearCommError(device.handle, &errors, &status)) return LastError();
  device.line_errors.fetch_or(errors);
  return 0;
}

// After a refused wait: a device that no longer answers a status query has gone away (a USB
// adapter pulled out); it is marked lost with that query's error.
bool MarkLostIfGone(Device& device, int& error) {
  COMSTAT status;
  int query_error = QueryStatus(device, status);
  if (query_error == 0) return false;
  device.lost_error = static_cast<DWORD>(query_error);
  device.lost = true;
  error = query_error;
  return true;
}

// Waits for an overlapped transfer to end and takes its result. A write also ends when an abort
// that came after its mark `since` is signalled: it is then cancelled (CancelIo cancels the
// calling thread's transfers, and this thread started it) and answers what it moved.
int FinishTransfer(Device& device, OVERLAPPED& overlapped, const std::uint32_t* since, std::size_t& done) {
  DWORD moved = 0;
  int error = 0;
  while (true) {
    HANDLE waits[2] = {overlapped.hEvent, device.write_abort};
    const DWORD count = since ? 2 : 1;
    const DWORD woke = ::WaitForMultipleObjects(count, waits, FALSE, INFINITE);
    if (woke == WAIT_OBJECT_0) {
      if (!::GetOverlappedResult(device.handle, &overlapped, &moved, FALSE)) error = LastError();
      break;
    }
    if (woke == WAIT_OBJECT_0 + 1 && device.abort_generation.load() == *since) continue;  // an old abort
    error = woke == WAIT_OBJECT_0 + 1 ? ERROR_OPERATION_ABORTED : LastError();
    // The record lives on this stack: the transfer must be over before it goes.
    ::CancelIo(device.handle);
    ::GetOverlappedResult(device.handle, &overlapped, &moved, TRUE);
    break;
  }
  done = moved;
  return error;
}

// One overlapped transfer, waited for to its end: the driver's time-outs bound it. A write
// (given its abort mark `since`) waits for its turn and is ended by an abort after the mark.
int Transfer(Device& device, const std::uint32_t* since, void* data, std::size_t size, std::size_t& done) {
  const bool write = since != nullptr;
  std::unique_lock<std::mutex> turn(device.write_lock, std::defer_lock);
  if (write) {
    turn.lock();
    if (device.abort_generation.load() != *since) return ERROR_OPERATION_ABORTED;
  }
  OVERLAPPED overlapped{};
  overlapped.hEvent = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!overlapped.hEvent) return LastError();
  const DWORD length = static_cast<DWORD>(std::min<std::size_t>(size, MAXDWORD));
  BOOL started = write ? ::WriteFile(device.handle, data, length, nullptr, &overlapped)
                       : ::ReadFile(device.handle, data, length, nullptr, &overlapped);
  int error = 0;
  if (!started && ::GetLastError() != ERROR_IO_PENDING) {
    error = LastError();
  } else {
    error = FinishTransfer(device, overlapped, since, done);
  }
  ::CloseHandle(overlapped.hEvent);
  return error;
}

}  // namespace

std::string SerialDevicePath(const std::string& port_name) { return "\\\\.\\" + port_name; }

int OpenSerialDevice(const std::string& port_name, SerialHandle& handle) {
  handle = kNoSerialDevice;
  const std::string path = SerialDevicePath(port_name);
  // No sharing: a second open of the same port, from any process, is refused by the system
  // (ERROR_ACCESS_DENIED).
  HANDLE opened = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return LastError();
  auto device = std::make_shared<Device>();
  device->handle = opened;  // closed with the device from here on
  // Files, disks and other devices that the "\\.\" name space reaches refuse the serial
  // driver's queries: only a serial device is kept.
  DCB probe{};
  probe.DCBlength = sizeof probe;
  if (!::GetCommState(opened, &probe)) return LastError();
  device->mask_changed = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!device->mask_changed) return LastError();
  device->write_abort = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (!device->write_abort) return LastError();

  DeviceTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  handle = table.next_handle++;
  table.devices.emplace(handle, std::move(device));
  return 0;
}

bool IsSerialDeviceGone(int code) {
  // What the drivers of pulled-out adapters answer: the device is no longer there, it does not
  // take the command, or it refuses every further call on the handle.
  switch (code) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return true;
    default:
      return false;
  }
}

bool IsNotASerialDevice(int code) {
  // A name the "\\.\" name space cannot hold, or a device that refuses the serial driver's query.
  return code == ERROR_INVALID_NAME || code == ERROR_BAD_PATHNAME || code == ERROR_INVALID_FUNCTION ||
         code == ERROR_NOT_SUPPORTED;
}

bool SerialDeviceAbsent(const std::string&) { return false; }

int CloseSerialDevice(SerialHandle handle) {
  std::shared_ptr<Device> device;
  {
    DeviceTable& table = Table();
    std::lock_guard<std::mutex> hold(table.lock);
    auto it = table.devices.find(handle);
    if (it == table.devices.end()) return ERROR_INVALID_HANDLE;
    device = std::move(it->second);
    table.devices.erase(it);
  }
  // The system handle closes when the last call using it returns. Release those calls now,
  // as closing the handle would: abort transfers and end a pending event wait (which then
  // finds the device gone from the table).
  AbortWrites(*device);
  ::PurgeComm(device->handle, PURGE_TXABORT | PURGE_RXABORT);
  ::SetCommMask(device->handle, 0);
  ::SetEvent(device->mask_changed);
  return 0;
}

int SetSerialQueueSizes(SerialHandle handle, std::uint32_t input_size, std::uint32_t output_size) {
  auto device = FindDevice(handle);
  if (!device) return ERROR_INVALID_HANDLE;
  return ::SetupComm(device->handle, input_size, output_size) ? 0 : LastError();
}

int SetSerialControlBlock(SerialHandle handle, const SerialControlBlock& block) {
  auto device = FindDevice(handle);
  if (!device) return ERROR_INVALID_HANDLE;
  DCB dcb = win_serial::SerialDcb(block);
  if (!::SetCommState(device->handle, &dcb)) return LastError();
  // A driver may keep what it cannot do and still succeed: a line left at settings it was not
  // asked for is refused, so that no byte goes out at them.
  DCB taken{};
  taken.DCBlength = sizeof taken;
  if (!::GetCommState(device->handle, &taken)) return LastError();
  return win_serial::TookLineSettings(dcb, taken) ? 0 : ERROR_INVALID_PARAMETER;
}

int SetSerialTimeouts(SerialHandle handle, const SerialTimeouts& timeouts) {
  auto device = FindDevice(handle);
  if (!device) return ERROR_INVALID_HANDLE;
  COMMTIMEOUTS driver{};
  driver.ReadIntervalTimeout = timeouts.read_interval;
  driver.ReadTotalTimeoutMultiplier = timeouts.read_total_multiplier;
  driver.ReadTotalTimeoutConstant = timeouts.read_total_constant;
  driver.WriteTotalTimeoutMultiplier = timeouts.write_total_multiplier;
  driver.WriteTotalTimeoutConstant = timeouts.write_total_constant;
  return ::SetCommTimeouts(device->handle, &driver) ? 0 : LastError();
}

int PurgeSerial(SerialHandle handle, std::uint32_t flags) {
  auto device = FindDevice(handle);
  if (!device) return ERROR_INVALID_HANDLE;
  if (flags & kSerialPurgeTxAbort) AbortWrites(*device);
  if (device->lost) return 0;
  return ::PurgeComm(device->handle, flags) ? 0 : LastError();
}

int SerialBytesWaiting(SerialHandle handle, std::uint32_t& count) {
  count = 0;
  auto device = FindDevice(handle);
  if (!device) return ERROR_INVALID_HANDLE;
  if (device->lost) return LostError(*device);
  COMSTAT status;
  if (int error = QueryStatus(*device, status)) return error;
  count = status.cbInQue;
  return 0;
}

int SerialLineErrors(SerialHandle handle, std::uint32_t& errors) {
  errors = 0;
  auto device = FindDevice(handle);
  if (!device) return ERROR_INVALID_HANDLE;
  if (!device->lost) {
    COMSTAT status;
    if (int error = QueryStatus(*device, status)) return error;
  }
  errors = device->line_errors.exchange(0);
  return 0;
}

int SerialModemLines(SerialHandle handle, std::uint32_t& lines) {
  lines = 0;
  auto device = FindDevice(handle);
  if (!device) return ERROR_INVALID_HANDLE;
  if (device->lost) return LostError(*device);
  DWORD status = 0;
  if (!::GetCommModemStatus(device->handle, &status)) {
    // A port without modem lines (some virtual ports refuse the query): all of them are off.
    DWORD error = ::GetLastError();
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED ? 0 : LastError();
  }
  lines = status & (kSerialModemCts | kSerialModemDsr | kSerialModemRing | kSerialModemRlsd);
  return 0;
}

SerialAbortMark SerialWriteAbortMark(SerialHandle handle) {
  auto device = FindDevice(handle);
  return device ? device->abort_generation.load() : 0;
}

int SerialWrite(SerialHandle handle, SerialAbortMark since, const void* data, std::size_t size, std::size_t& done) {
  done = 0;
  auto device = FindDevice(handle);
  if (!device) return ERROR_INVALID_HANDLE;
  if (device->lost) return LostError(*device);
  if (size == 0) return 0;
  const auto mark = static_cast<std::uint32_t>(since);  // the marks given here are 32 bits wide
  return Transfer(*device, &mark, const_cast<void*>(data), size, done);
}

int SerialWriteNow(SerialHandle handle, const void*, std::size_t, std::size_t& done) {
  done = 0;
  auto device = FindDevice(handle);
  if (!device) return ERROR_INVALID_HANDLE;
  if (device->lost) return LostError(*device);
  return 0;  // an overlapped write completes only once the line has taken it
}

int SerialRead(SerialHandle handle, void* buffer, std::size_t size, std::size_t& done) {
  done = 0;
  auto device = FindDevice(handle);
  if (!device) return ERROR_INVALID_HANDLE;
  if (device->lost) return LostError(*device);
  if (size == 0) return 0;
  return Transfer(*device, nullptr, buffer, size, done);
}

int SetSerialEventMask(SerialHandle handle, std::uint32_t mask) {
  auto device = FindDevice(handle);
  if (!device) return ERROR_INVALID_HANDLE;
  device->event_mask = mask;
  // A pending driver wait ends at once (with no events) and the event wait asks again with
  // the new mask; a wait that had nothing to ask for is woken.
  BOOL set = ::SetCommMask(device->handle, mask);
  int error = set ? 0 : LastError();
  ::SetEvent(device->mask_changed);
  return error;
}

// ---- The event wait: the driver's WaitCommEvent on an overlapped record, together with a
// stop event. The driver keeps the events that occur while no wait is pending and reports
// them to the next one, and it reports received bytes once, when they arrive.

class SerialEventWait {
 public:
  SerialHandle device = kNoSerialDevice;
  HANDLE stop = nullptr;        // manual-reset: once set, stays set
  HANDLE completion = nullptr;  // manual-reset: the event of the driver wait's record
  DWORD setup_error = 0;        // why an event could not be created
  std::atomic<bool> stop_requested{false};
  bool pause_first = false;     // the last batch could not be collected
  OVERLAPPED overlapped{};
  DWORD mask_word = 0;
};

namespace {

// Ends a driver wait that is still pending, so that its record and mask word can be reused
// or freed. Runs on the thread that started the wait (CancelIo cancels that thread's I/O).
void AbandonDriverWait(Device& device, SerialEventWait& wait) {
  ::CancelIo(device.handle);
  if (::WaitForSingleObject(wait.completion, 1000) != WAIT_OBJECT_0) {
    // A driver that ignores cancelling still ends a wait when the mask is set again.
    ::SetCommMask(device.handle, device.event_mask);
  }
  DWORD ignored = 0;
  ::GetOverlappedResult(device.handle, &wait.overlapped, &ignored, TRUE);
}

}  // namespace

SerialEventWait* CreateSerialEventWait(SerialHandle handle) {
  auto* wait = new SerialEventWait;
  wait->device = handle;
  wait->stop = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!wait->stop) wait->setup_error = static_cast<DWORD>(LastError());
  wait->completion = ::CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (!wait->completion && !wait->setup_error) wait->setup_error = static_cast<DWORD>(LastError());
  return wait;
}

void StopSerialEventWait(SerialEventWait* wait) {
  wait->stop_requested = true;
  if (wait->stop) ::SetEvent(wait->stop);
}

void DestroySerialEventWait(SerialEventWait* wait) {
  if (!wait) return;
  // No driver wait outlives WaitSerialEvents, so nothing refers to the record any more.
  if (wait->stop) ::CloseHandle(wait->stop);
  if (wait->completion) ::CloseHandle(wait->completion);
  delete wait;
}

SerialWaitResult WaitSerialEvents(SerialEventWait* wait, std::uint32_t& events, int& error) {
  events = 0;
  error = 0;
  if (wait->setup_error) {
    error = static_cast<int>(wait->setup_error);
    return SerialWaitResult::kFailed;
  }
  if (wait->pause_first) {
    wait->pause_first = false;
    if (::WaitForSingleObject(wait->stop, kRetryPauseMs) == WAIT_OBJECT_0) return SerialWaitResult::kStopped;
  }
  while (true) {
    if (wait->stop_requested) return SerialWaitResult::kStopped;
    auto device = FindDevice(wait->device);
    if (!device) {
      error = ERROR_INVALID_HANDLE;
      return SerialWaitResult::kFailed;
    }
    if (device->lost) {
      error = LostError(*device);
      return SerialWaitResult::kDeviceLost;
    }

    if (device->event_mask == 0) {
      // Nothing to ask the driver for (it refuses an empty mask): wait for a mask or the stop.
      HANDLE waits[2] = {wait->stop, device->mask_changed};
      DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
      if (woke == WAIT_OBJECT_0) return SerialWaitResult::kStopped;
      if (woke == WAIT_OBJECT_0 + 1) continue;
      error = LastError();
      return SerialWaitResult::kFailed;
    }

    wait->overlapped = OVERLAPPED{};
    wait->overlapped.hEvent = wait->completion;
    wait->mask_word = 0;
    if (!::WaitCommEvent(device->handle, &wait->mask_word, &wait->overlapped)) {
      int refused = LastError();
      if (refused != ERROR_IO_PENDING) {
        // The mask was emptied or the device closed meanwhile: the loop's checks answer that.
        if (device->event_mask == 0 || !FindDevice(wait->device)) continue;
        if (MarkLostIfGone(*device, error)) return SerialWaitResult::kDeviceLost;
        error = refused;
        return SerialWaitResult::kFailed;
      }
      HANDLE waits[2] = {wait->stop, wait->completion};
      DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
      if (woke != WAIT_OBJECT_0 + 1) {
        int wait_error = woke == WAIT_OBJECT_0 ? 0 : LastError();
        AbandonDriverWait(*device, *wait);
        if (woke == WAIT_OBJECT_0) return SerialWaitResult::kStopped;
        error = wait_error;
        return SerialWaitResult::kFailed;
      }
      DWORD ignored = 0;
      if (!::GetOverlappedResult(device->handle, &wait->overlapped, &ignored, FALSE)) {
        int completion_error = LastError();
        if (MarkLostIfGone(*device, error)) return SerialWaitResult::kDeviceLost;
        error = completion_error;
        wait->pause_first = true;
        return SerialWaitResult::kSkipped;
      }
    }
    // A wait ended by a new mask (or by a close) reports nothing: ask again.
    const std::uint32_t found = wait->mask_word & device->event_mask;
    if (found) {
      events = found;
      return SerialWaitResult::kEvents;
    }
  }
}

}  // namespace platform
