// The event wait: poll() on the device together with a stop eventfd and the device's write
// kick. Readability is level-triggered, so bytes that arrive while a batch is handled are
// seen at the next wait. Bytes that were reported and have not been touched since (no read,
// no new arrival) are not reported again: the wait then checks every few milliseconds
// whether more arrived instead of waking at once for the same bytes.
#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/linux/serial_device_state.h"

namespace platform {

class SerialEventWait {
 public:
  SerialHandle handle = kNoSerialDevice;
  int stop_fd = -1;
  // The received-bytes report last made, while those bytes may still wait untouched.
  bool rx_reported = false;
  int rx_count = 0;
  std::uint64_t rx_generation = 0;
  // Modem lines are sampled when the device has them.
  bool has_modem_lines = false;
  int modem_bits = 0;
};

namespace {

constexpr int kUntouchedBytesCheckMs = 20;
constexpr int kTxEmptyCheckMs = 10;
constexpr int kModemCheckMs = 50;
constexpr std::uint32_t kModemEvents = kSerialEventCts | kSerialEventDsr | kSerialEventRlsd | kSerialEventRing;

int Shorter(int a, int b) { return a < 0 ? b : (b < a ? b : a); }

std::uint32_t ModemChanges(int before, int now) {
  int changed = before ^ now;
  std::uint32_t events = 0;
  if (changed & TIOCM_CTS) events |= kSerialEventCts;
  if (changed & TIOCM_DSR) events |= kSerialEventDsr;
  if (changed & TIOCM_CD) events |= kSerialEventRlsd;
  if (changed & TIOCM_RI) events |= kSerialEventRing;
  return events;
}

}  // namespace

SerialEventWait* CreateSerialEventWait(SerialHandle handle) {
  auto* wait = new SerialEventWait;
  wait->handle = handle;
  wait->stop_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (auto dev = linux_serial::FindDevice(handle)) {
    wait->has_modem_lines = ::ioctl(dev->fd, TIOCMGET, &wait->modem_bits) == 0;
  }
  return wait;
}

void StopSerialEventWait(SerialEventWait* wait) {
  std::uint64_t one = 1;
  (void)!::write(wait->stop_fd, &one, sizeof one);
}

void DestroySerialEventWait(SerialEventWait* wait) {
  if (!wait) return;
  if (wait->stop_fd >= 0) ::close(wait->stop_fd);
  delete wait;
}

SerialWaitResult WaitSerialEvents(SerialEventWait* wait, std::uint32_t& events, int& error) {
  events = 0;
  error = 0;
  if (wait->stop_fd < 0) {
    error = EMFILE;
    return SerialWaitResult::kFailed;
  }
  while (true) {
    auto dev = linux_serial::FindDevice(wait->handle);
    if (!dev) {
      error = EBADF;
      return SerialWaitResult::kFailed;
    }
    if (dev->lost) {
      error = EIO;
      return SerialWaitResult::kDeviceLost;
    }
    const std::uint32_t mask = dev->event_mask;
    const bool watch_rx = mask & kSerialEventRxChar;

    int waiting = 0;
    bool untouched = false;
    // Bytes read since the report were touched; only otherwise is the count asked for.
    if (watch_rx && wait->rx_reported && dev->read_generation == wait->rx_generation &&
        ::ioctl(dev->fd, FIONREAD, &waiting) == 0) {
      untouched = waiting == wait->rx_count;
    }
    int timeout = -1;
    if (untouched) timeout = Shorter(timeout, kUntouchedBytesCheckMs);
    if ((mask & kSerialEventTxEmpty) && dev->tx_pending) timeout = Shorter(timeout, kTxEmptyCheckMs);
    if ((mask & kModemEvents) && wait->has_modem_lines) timeout = Shorter(timeout, kModemCheckMs);

    // Hang-ups and errors are reported even when no event is asked for.
    pollfd fds[3] = {{wait->stop_fd, POLLIN, 0},
                     {dev->kick_fd, POLLIN, 0},
                     {dev->fd, static_cast<short>(watch_rx && !untouched ? POLLIN : 0), 0}};
    int r = ::poll(fds, 3, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return SerialWaitResult::kFailed;
    }
    if (fds[0].revents) return SerialWaitResult::kStopped;
    if (fds[1].revents & POLLIN) {
      std::uint64_t drained;
      (void)!::read(dev->kick_fd, &drained, sizeof drained);
    }
    if (fds[2].revents & POLLNVAL) {
      error = EBADF;
      return SerialWaitResult::kFailed;
    }
    const bool hung_up = fds[2].revents & (POLLHUP | POLLERR);

    std::uint32_t found = 0;
    if (watch_rx) {
      if (::ioctl(dev->fd, FIONREAD, &waiting) != 0) {
        error = errno;
        if (!IsSerialDeviceGone(error)) return SerialWaitResult::kSkipped;
        dev->lost = true;
        return SerialWaitResult::kDeviceLost;
      }
      const std::uint64_t generation = dev->read_generation;
      if (waiting <= 0) {
        wait->rx_reported = false;
      } else if (!(wait->rx_reported && waiting == wait->rx_count && generation == wait->rx_generation)) {
        found |= kSerialEventRxChar;
        wait->rx_reported = true;
        wait->rx_count = waiting;
        wait->rx_generation = generation;
      }
    }
    // A hang-up ends the device once the bytes that came before it have been reported.
    if (hung_up && !(found & kSerialEventRxChar)) {
      dev->lost = true;
      error = EIO;
      return SerialWaitResult::kDeviceLost;
    }

    if (dev->tx_pending.exchange(false)) {
      int queued = 0;
      if ((mask & kSerialEventTxEmpty) && ::ioctl(dev->fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        dev->tx_pending = true;  // still draining
      } else if (mask & kSerialEventTxEmpty) {
        found |= kSerialEventTxEmpty;
      }
    }

    if ((mask & kModemEvents) && wait->has_modem_lines) {
      int bits = 0;
      if (::ioctl(dev->fd, TIOCMGET, &bits) == 0) {
        found |= ModemChanges(wait->modem_bits, bits);
        wait->modem_bits = bits;
      }
    }

    found &= mask;
    if (found) {
      events = found;
      return SerialWaitResult::kEvents;
    }
  }
}

}  // namespace platform
