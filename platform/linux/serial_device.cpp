#include "platform/serial_device.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstring>
#include <unordered_map>

#include "platform/linux/serial_device_state.h"
#include "platform/linux/serial_termios.h"

namespace platform {
namespace linux_serial {
namespace {

// Built on first use, so that ports opened by start-up code of other files find it ready, and
// never destroyed, so that an event thread still ending at process exit finds it too.
struct DeviceTable {
  std::mutex lock;
  std::unordered_map<SerialHandle, std::shared_ptr<DeviceState>> devices;
  SerialHandle next_handle = 1;
};

DeviceTable& Table() {
  static DeviceTable* table = new DeviceTable;
  return *table;
}

constexpr std::uint32_t kAllBits = 0xFFFFFFFFu;

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, at least 0, at most INT_MAX.
int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

// Waits for `events` on `fd`. Answers the returned events, 0 on time-out, -errno on failure.
int WaitFor(int fd, short events, int timeout_ms) {
  while (true) {
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, timeout_ms);
    if (r > 0) return p.revents;
    if (r == 0) return 0;
    if (errno != EINTR) return -errno;
  }
}

// A character device whose sysfs class is known and is not "tty" is refused before it is
// opened: opening some devices has effects of its own (a watchdog arms on open). Devices
// without a sysfs entry (pseudo-terminal slaves) are judged after opening.
bool KnownNotTty(const struct stat& st) {
  char link[64];
  std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major(st.st_rdev), minor(st.st_rdev));
  char target[PATH_MAX];
  ssize_t n = ::readlink(link, target, sizeof target - 1);
  if (n <= 0) return false;
  target[n] = 0;
  const char* last = std::strrchr(target, '/');
  return std::strcmp(last ? last + 1 : target, "tty") != 0;
}

void SetModemLine(int fd, int line, bool on) {
  // Devices without modem lines (pseudo-terminals) refuse; that is fine.
  (void)::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

}  // namespace

DeviceState::~DeviceState() {
  if (fd >= 0) {
    if (exclusive) (void)::ioctl(fd, TIOCNXCL);
    ::close(fd);  // also drops the flock
  }
  if (kick_fd >= 0) ::close(kick_fd);
  if (abort_fd >= 0) ::close(abort_fd);
}

void Signal(int event_fd) {
  std::uint64_t one = 1;
  (void)!::write(event_fd, &one, sizeof one);
}

std::uint64_t NewAbortValue() {
  static std::atomic<std::uint64_t> last{0};
  return ++last;
}

void AbortWrites(DeviceState& device) {
  // The new value before the signal: a write woken by the signal sees it.
  device.abort_generation = NewAbortValue();
  Signal(device.abort_fd);
}

void NoteWritten(DeviceState& device) {
  // Only a device whose event mask asks for the tx-empty event wakes its event wait.
  if (!(device.event_mask.load() & kSerialEventTxEmpty)) return;
  device.tx_pending = true;
  Signal(device.kick_fd);
}

std::shared_ptr<DeviceState> FindDevice(SerialHandle handle) {
  DeviceTable& table = Table();
  std::lock_guard<std::mutex> hold(table.lock);
  auto it = table.devices.find(handle);
  return it == table.devices.end() ? nullptr : it->second;
}

}  // namespace linux_serial

using linux_serial::Clock;
using linux_serial::DeviceState;
using linux_serial::FindDevice;
using linux_serial::MillisecondsLeft;
using linux_serial::SetModemLine;

std::string SerialDevicePath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  if (name.size() >= 4 && name.size() <= 12 && std::tolower(static_cast<unsigned char>(name[0])) == 'c' &&
      std::tolower(static_cast<unsigned char>(name[1])) == 'o' &&
      std::tolower(static_cast<unsigned char>(name[2])) == 'm' && name[3] >= '1' && name[3] <= '9' &&
      std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return "/dev/ttyS" + std::to_string(std::stol(name.substr(3)) - 1);
  }
  return "/dev/" + name;
}

int OpenSerialDevice(const std::string& port_name, SerialHandle& handle) {
  handle = kNoSerialDevice;
  const std::string path = SerialDevicePath(port_name);
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return errno;
  if (S_ISDIR(st.st_mode)) return EISDIR;
  if (!S_ISCHR(st.st_mode) || linux_serial::KnownNotTty(st)) return ENOTTY;

  auto state = std::make_shared<DeviceState>();  // releases what it holds on every failure
  // The lock file comes first: opening the device would already raise DTR and RTS on a line
  // that another port object holds with both off.
  if (int error = state->lock_file.Take(path)) return error;
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  state->fd = fd;  // closed with the state from here on
  if (!::isatty(fd)) return ENOTTY;
  // The lock shuts out every other open, root's included; TIOCEXCL adds the kernel's own
  // refusal for programs that do not take the lock.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
  if (::ioctl(fd, TIOCEXCL) != 0) return errno;
  state->exclusive = true;
  state->kick_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (state->kick_fd < 0) return errno;
  state->abort_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (state->abort_fd < 0) return errno;

  linux_serial::DeviceTable& table = linux_serial::Table();
  std::lock_guard<std::mutex> hold(table.lock);
  handle = table.next_handle++;
  table.devices.emplace(handle, std::move(state));
  return 0;
}

bool IsSerialDeviceGone(int code) { return code == EIO || code == ENXIO || code == ENODEV; }

bool IsNotASerialDevice(int code) { return code == ENOTTY || code == EISDIR; }

bool SerialDeviceAbsent(const std::string& port_name) {
  struct stat st;
  return ::stat(SerialDevicePath(port_name).c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

int CloseSerialDevice(SerialHandle handle) {
  std::shared_ptr<DeviceState> state;
  {
    linux_serial::DeviceTable& table = linux_serial::Table();
    std::lock_guard<std::mutex> hold(table.lock);
    auto it = table.devices.find(handle);
    if (it == table.devices.end()) return EBADF;
    state = std::move(it->second);
    table.devices.erase(it);
  }
  // The descriptor closes when the last call using it returns; a write waiting for the line
  // ends now.
  linux_serial::AbortWrites(*state);
  return 0;
}

int SetSerialQueueSizes(SerialHandle handle, std::uint32_t, std::uint32_t) {
  // The kernel's tty queues have fixed sizes; the request is accepted.
  return FindDevice(handle) ? 0 : EBADF;
}

int SetSerialControlBlock(SerialHandle handle, const SerialControlBlock& block) {
  auto dev = FindDevice(handle);
  if (!dev) return EBADF;
  termios t;
  if (::tcgetattr(dev->fd, &t) != 0) return errno;
  if (int error = linux_serial::LineTermios(block, t)) return error;
  if (::tcsetattr(dev->fd, TCSANOW, &t) != 0) return errno;
  if (!linux_serial::HasStandardSpeed(block.baud_rate)) {
    if (int error = linux_serial::SetCustomBaudRate(dev->fd, block.baud_rate)) return error;
  }
  // tcsetattr succeeds when the driver took any of the settings: a line left at a frame it
  // was not asked for is refused here, so that no byte goes out at the wrong settings.
  termios taken;
  if (::tcgetattr(dev->fd, &taken) != 0) return errno;
  if (!linux_serial::TookLineSettings(block, t, taken)) return EINVAL;
  if (int error = linux_serial::SetRs485(dev->fd, block.rts_control == kSerialRtsToggle)) return error;

  SetModemLine(dev->fd, TIOCM_DTR, block.dtr_control != kSerialDtrDisable);
  if (!(t.c_cflag & CRTSCTS) && block.rts_control != kSerialRtsToggle) {
    SetModemLine(dev->fd, TIOCM_RTS, block.rts_control != kSerialRtsDisable);
  }

  std::lock_guard<std::mutex> hold(dev->settings_lock);
  dev->discard_null = block.discard_null;
  return 0;
}

int SetSerialTimeouts(SerialHandle handle, const SerialTimeouts& timeouts) {
  auto dev = FindDevice(handle);
  if (!dev) return EBADF;
  std::lock_guard<std::mutex> hold(dev->settings_lock);
  dev->timeouts = timeouts;
  return 0;
}

int PurgeSerial(SerialHandle handle, std::uint32_t flags) {
  auto dev = FindDevice(handle);
  if (!dev) return EBADF;
  // Reads never wait with the time-outs in use, so only writes have something to abort.
  if (flags & kSerialPurgeTxAbort) linux_serial::AbortWrites(*dev);
  if (dev->lost) return 0;
  const bool rx = flags & kSerialPurgeRxClear, tx = flags & kSerialPurgeTxClear;
  if (!rx && !tx) return 0;
  if (::tcflush(dev->fd, rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH) != 0) return errno;
  return 0;
}

int SerialBytesWaiting(SerialHandle handle, std::uint32_t& count) {
  count = 0;
  auto dev = FindDevice(handle);
  if (!dev) return EBADF;
  if (dev->lost) return EIO;
  int n = 0;
  if (::ioctl(dev->fd, FIONREAD, &n) != 0) return errno;
  count = static_cast<std::uint32_t>(std::max(n, 0));
  return 0;
}

int SerialLineErrors(SerialHandle handle, std::uint32_t& errors) {
  errors = 0;  // the tty layer reports no error flags
  return FindDevice(handle) ? 0 : EBADF;
}

int SerialModemLines(SerialHandle handle, std::uint32_t& lines) {
  lines = 0;
  auto dev = FindDevice(handle);
  if (!dev) return EBADF;
  if (dev->lost) return EIO;
  int bits = 0;
  if (::ioctl(dev->fd, TIOCMGET, &bits) != 0) {
    // No modem lines on this device (a pseudo-terminal): all of them are off.
    return errno == ENOTTY || errno == EINVAL ? 0 : errno;
  }
  if (bits & TIOCM_CTS) lines |= kSerialModemCts;
  if (bits & TIOCM_DSR) lines |= kSerialModemDsr;
  if (bits & TIOCM_RI) lines |= kSerialModemRing;
  if (bits & TIOCM_CD) lines |= kSerialModemRlsd;
  return 0;
}

SerialAbortMark SerialWriteAbortMark(SerialHandle handle) {
  auto dev = FindDevice(handle);
  return dev ? dev->abort_generation.load() : 0;
}

int SerialWrite(SerialHandle handle, SerialAbortMark since, const void* data, std::size_t size, std::size_t& done) {
  done = 0;
  auto dev = FindDevice(handle);
  if (!dev) return EBADF;
  if (dev->lost) return EIO;
  if (size == 0) return 0;
  std::lock_guard<std::mutex> turn(dev->write_lock);
  SerialTimeouts limits;
  {
    std::lock_guard<std::mutex> hold(dev->settings_lock);
    limits = dev->timeouts;
  }
  const std::uint64_t total =
      std::uint64_t(limits.write_total_multiplier) * size + limits.write_total_constant;
  const bool limited = limits.write_total_multiplier != 0 || limits.write_total_constant != 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::min<std::uint64_t>(total, INT_MAX));
  const char* bytes = static_cast<const char*>(data);

  int error = 0;
  while (done < size) {
    if (dev->abort_generation.load() != since) {
      error = ECANCELED;
      break;
    }
    ssize_t n = ::write(dev->fd, bytes + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      error = errno;
      break;
    }
    if (limited && MillisecondsLeft(deadline) == 0) break;  // time-out: report what went
    // The line or an abort, whichever comes first. The abort signal is consumed here (only the
    // write that holds the turn waits); the generation tells whether it came after the mark.
    pollfd fds[2] = {{dev->fd, POLLOUT, 0}, {dev->abort_fd, POLLIN, 0}};
    int ready = ::poll(fds, 2, limited ? MillisecondsLeft(deadline) : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) {
      error = errno;
      break;
    }
    if (ready == 0) break;
    if (fds[1].revents & POLLIN) {
      std::uint64_t drained;
      (void)!::read(dev->abort_fd, &drained, sizeof drained);
      continue;
    }
    if (!(fds[0].revents & POLLOUT)) {
      error = EIO;  // hung up or failed: no write can succeed
      break;
    }
  }
  if (done > 0) linux_serial::NoteWritten(*dev);
  return error;
}

int SerialWriteNow(SerialHandle handle, const void* data, std::size_t size, std::size_t& done) {
  done = 0;
  auto dev = FindDevice(handle);
  if (!dev) return EBADF;
  if (dev->lost) return EIO;
  if (size == 0) return 0;
  std::unique_lock<std::mutex> turn(dev->write_lock, std::try_to_lock);
  if (!turn.owns_lock()) return 0;  // another write is in progress: these bytes come after it
  ssize_t n;
  do {
    n = ::write(dev->fd, data, size);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN ? 0 : errno;
  done = static_cast<std::size_t>(n);
  if (done > 0) linux_serial::NoteWritten(*dev);
  return 0;
}

int SerialRead(SerialHandle handle, void* buffer, std::size_t size, std::size_t& done) {
  done = 0;
  auto dev = FindDevice(handle);
  if (!dev) return EBADF;
  if (dev->lost) return EIO;
  if (size == 0) return 0;
  SerialTimeouts limits;
  bool discard_null;
  {
    std::lock_guard<std::mutex> hold(dev->settings_lock);
    limits = dev->timeouts;
    discard_null = dev->discard_null;
  }
  using linux_serial::kAllBits;
  const bool at_once = limits.read_interval == kAllBits && limits.read_total_multiplier == 0 &&
                       limits.read_total_constant == 0;
  const bool first_byte = limits.read_interval == kAllBits && limits.read_total_multiplier == kAllBits &&
                          limits.read_total_constant != 0 && limits.read_total_constant != kAllBits;
  bool limited = true;
  std::uint64_t total = limits.read_total_constant;
  if (!first_byte) {
    total += std::uint64_t(limits.read_total_multiplier) * size;
    limited = limits.read_total_multiplier != 0 || limits.read_total_constant != 0;
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(std::min<std::uint64_t>(total, INT_MAX));
  const bool gap_limited = limits.read_interval != 0 && limits.read_interval != kAllBits;
  char* bytes = static_cast<char*>(buffer);

  int error = 0;
  while (done < size) {
    ssize_t n = ::read(dev->fd, bytes + done, size - done);
    if (n > 0) {
      std::size_t got = static_cast<std::size_t>(n);
      if (discard_null) got = std::remove(bytes + done, bytes + done + got, '\0') - (bytes + done);
      done += got;
      if (first_byte && done > 0) break;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      error = errno;
      break;
    }
    // Nothing waits right now.
    if (at_once || (first_byte && done > 0)) break;
    int wait_ms = limited ? MillisecondsLeft(deadline) : -1;
    if (gap_limited && done > 0) {
      int gap = static_cast<int>(std::min<std::uint32_t>(limits.read_interval, INT_MAX));
      wait_ms = wait_ms < 0 ? gap : std::min(wait_ms, gap);
    }
    if (wait_ms == 0) break;
    int ready = linux_serial::WaitFor(dev->fd, POLLIN, wait_ms);
    if (ready == 0) break;
    if (ready < 0) {
      error = -ready;
      break;
    }
    if (!(ready & POLLIN)) {
      error = EIO;  // hung up: nothing more will arrive
      break;
    }
  }
  if (done > 0) dev->read_generation.fetch_add(1);
  return error;
}

int SetSerialEventMask(SerialHandle handle, std::uint32_t mask) {
  auto dev = FindDevice(handle);
  if (!dev) return EBADF;
  dev->event_mask = mask;
  linux_serial::Signal(dev->kick_fd);
  return 0;
}

}  // namespace platform
