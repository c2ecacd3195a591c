// The event log on Linux is syslog: one datagram per entry to /dev/log (or the socket named by
// KORVENET_EVENTLOG), in the form the C library's syslog() sends.

#include "platform/event_log.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/console.h"
#include "platform/linux/cp1251.h"

namespace platform {
namespace {

constexpr int kFacilityDaemon = 3;

std::atomic<bool> echo{false};

struct Source {
  std::string name;
  int fd = -1;
  std::mutex lock;
};

std::string SocketPath() {
  const char* path = std::getenv("KORVENET_EVENTLOG");
  return path && *path ? path : "/dev/log";
}

// A datagram socket connected to the log; -1 when the log is missing or refuses.
int ConnectToLog() {
  std::string path = SocketPath();
  sockaddr_un address{};
  if (path.size() >= sizeof address.sun_path) return -1;
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int Severity(std::uint16_t type) {
  switch (type) {
    case kEventError: return 3;
    case kEventWarning: return 4;
    case kEventInformation: return 6;
    default: return 5;
  }
}

const char* TypeWord(std::uint16_t type) {
  switch (type) {
    case kEventError: return "error";
    case kEventWarning: return "warning";
    case kEventInformation: return "information";
    default: return "notice";
  }
}

// "<PRI>Mmm dd hh:mm:ss source[pid]: text", the time stamp as syslog() writes it (C locale).
std::string SyslogDatagram(const std::string& source, std::uint16_t type, const std::string& text) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char head[64];
  std::snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d ", kFacilityDaemon * 8 + Severity(type),
                kMonths[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return head + source + "[" + std::to_string(::getpid()) + "]: " + linux_side::Cp1251ToUtf8(text);
}

// How long an entry may wait for room in a full log before it is dropped. The relay's threads
// write entries, so a log that does not read must never hold them up for long.
constexpr int kFullLogWaitMs = 100;

// Answers false when the log is gone, so that the caller connects again. An entry that finds
// the log full for longer than kFullLogWaitMs is dropped.
bool SendTo(int fd, const std::string& datagram) {
  bool waited = false;
  while (true) {
    if (::send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return true;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (waited) return true;
    pollfd room{fd, POLLOUT, 0};
    ::poll(&room, 1, kFullLogWaitMs);
    waited = true;
  }
}

}  // namespace

void SetEventEcho(bool on) { echo = on; }

EventSourceHandle OpenEventSource(const std::string& source_name) {
  int fd = ConnectToLog();
  if (fd < 0 && !echo) return 0;
  auto* source = new Source;
  source->name = source_name;
  source->fd = fd;
  return reinterpret_cast<EventSourceHandle>(source);
}

void ReportEvent(EventSourceHandle handle, std::uint16_t type, std::uint16_t /*category*/,
                 std::uint32_t /*event_id*/, const std::string& text) {
  if (handle == 0) return;
  auto* source = reinterpret_cast<Source*>(handle);
  std::lock_guard<std::mutex> hold(source->lock);
  if (echo) WriteConsoleLine(source->name + " (" + TypeWord(type) + "): " + text);
  std::string datagram = SyslogDatagram(source->name, type, text);
  if (source->fd >= 0 && SendTo(source->fd, datagram)) return;
  // The log went away or was never there: connect again (it may have been restarted) and
  // try once more; otherwise the entry is dropped.
  if (source->fd >= 0) ::close(source->fd);
  source->fd = ConnectToLog();
  if (source->fd >= 0) SendTo(source->fd, datagram);
}

void CloseEventSource(EventSourceHandle handle) {
  if (handle == 0) return;
  auto* source = reinterpret_cast<Source*>(handle);
  if (source->fd >= 0) ::close(source->fd);
  delete source;
}

}  // namespace platform
