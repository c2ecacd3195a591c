// The event log on Linux is syslog: one datagram per entry to /dev/log (or the socket named by
// KORVENET_EVENTLOG), in the form the C library's syslog() sends, its text valid UTF-8. The
// process keeps one connection to the log for all its sources, made when the first source
// registers, so a later entry needs no new descriptor (they may have run out by then). Entries
// are sent by the queued writer's thread. An entry longer than the socket can carry in one
// datagram is cut to 64 KiB (less where the socket carries less), on a character boundary, and
// ends with " [cut from N bytes]" (N the length of its text in UTF-8): the start of an entry
// beats no entry at all, and a cut entry leaves room in the socket for the entries after it.

#include "platform/event_log.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

#include "platform/console.h"
#include "platform/entry_rate_limit.h"
#include "platform/linux/cp1251.h"
#include "platform/queued_writer.h"

namespace platform {
namespace {

using detail::WriteOutcome;

constexpr int kFacilityDaemon = 3;
constexpr std::size_t kQueuedEntries = 1024;
constexpr int kExitFlushMs = 300;  // two writers stalled at once still end within a second
constexpr std::size_t kLimitedKinds = 256;
constexpr std::size_t kCutLength = 64 * 1024;  // a datagram's length once cut

std::atomic<bool> echo{false};

// What a handle stands for. Queued entries share the name, so a source may close meanwhile.
struct Source {
  std::shared_ptr<const std::string> name;
};

struct Entry {
  std::shared_ptr<const std::string> source;
  std::uint16_t type = kEventError;
  std::string datagram;  // made when the entry is reported, with that moment's time stamp
  std::size_t text_start = 0;  // where the entry's text begins in the datagram
};

// A limited kind's summary needs what its entries carried.
struct LimitedKind {
  std::shared_ptr<const std::string> source;
  std::uint16_t type;
  Text text;
};

std::string SocketPath() {
  const char* path = std::getenv("KORVENET_EVENTLOG");
  return path && *path ? path : "/dev/log";
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

// "<PRI>Mmm dd hh:mm:ss source[pid]: ", the time stamp as syslog() writes it (C locale).
std::string SyslogHead(const std::string& source, std::uint16_t type) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char head[64];
  std::snprintf(head, sizeof head, "<%d>%s %2d %02d:%02d:%02d ", kFacilityDaemon * 8 + Severity(type),
                kMonths[local.tm_mon], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return head + linux_side::ToUtf8(Text::FromOutside(source)) + "[" + std::to_string(::getpid()) + "]: ";
}

// Cuts the entry's text so that the datagram holds at most `limit` bytes, the mark included;
// false when not even the mark would fit after the head.
bool CutToFit(Entry& entry, std::size_t limit) {
  std::string& datagram = entry.datagram;
  const std::string mark = " [cut from " + std::to_string(datagram.size() - entry.text_start) + " bytes]";
  if (limit < entry.text_start + mark.size() || limit >= datagram.size()) return false;
  datagram.resize(Utf8CutAt(datagram, limit - mark.size(), entry.text_start));
  datagram += mark;
  return true;
}

// The longest datagram the socket takes: the kernel refuses one longer than its send buffer
// less a small reserve.
std::size_t LongestDatagram(int fd) {
  constexpr std::size_t kReserve = 32;
  int size = 0;
  socklen_t length = sizeof size;
  if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length) != 0 || size <= static_cast<int>(kReserve)) return 0;
  return static_cast<std::size_t>(size) - kReserve;
}

// The process's connection to the log. The socket is shared, so the writer may wait on it
// without a lock while a reconnect replaces it; the last user closes it.
class LogConnection {
 public:
  // Connects (again: the log may have moved or been restarted); false when the log cannot be
  // reached now. The socket, once made, is kept.
  bool Ensure() {
    std::lock_guard<std::mutex> hold(lock_);
    if (!socket_) socket_ = NewSocket();
    return socket_ && ConnectTo(socket_->fd);
  }

  // Sends one entry, cut when it is too long for one datagram; waits at most `wait_ms` for room
  // in a full log.
  WriteOutcome Send(Entry& entry, int wait_ms) {
    std::shared_ptr<Socket> socket;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (!socket_) socket_ = NewSocket();
      if (!socket_) return WriteOutcome::kRefused;
      WriteOutcome outcome = TrySend(socket_->fd, entry);
      if (outcome == WriteOutcome::kRefused) {
        // The log went away or was restarted: connect the same socket again (no descriptor is
        // needed for that) and try once more; otherwise the entry is dropped.
        if (!ConnectTo(socket_->fd)) return WriteOutcome::kRefused;
        outcome = TrySend(socket_->fd, entry);
      }
      if (outcome != WriteOutcome::kNotNow || wait_ms == 0) return outcome;
      socket = socket_;
    }
    // The log is full: wait for room (a connected datagram socket sees its reader's queue).
    pollfd room{socket->fd, POLLOUT, 0};
    while (::poll(&room, 1, wait_ms) < 0 && errno == EINTR) {
    }
    return WriteOutcome::kNotNow;
  }

 private:
  struct Socket {
    explicit Socket(int descriptor) : fd(descriptor) {}
    ~Socket() { ::close(fd); }
    const int fd;
  };

  static bool ConnectTo(int fd) {
    std::string path = SocketPath();
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }

  // A new socket, not yet connected; null when none can be made.
  static std::shared_ptr<Socket> NewSocket() {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? nullptr : std::make_shared<Socket>(fd);
  }

  static WriteOutcome TrySend(int fd, Entry& entry) {
    while (true) {
      const std::string& datagram = entry.datagram;
      if (::send(fd, datagram.data(), datagram.size(), MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return WriteOutcome::kWritten;
      if (errno == EINTR) continue;
      if (errno == EMSGSIZE) {
        // Cut to the usual length or what the socket says it carries; should that still be
        // refused, by half again.
        const std::size_t longest = std::min(kCutLength, LongestDatagram(fd));
        if (CutToFit(entry, longest > 0 && longest < datagram.size() ? longest : datagram.size() / 2)) continue;
        return WriteOutcome::kRefused;
      }
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return WriteOutcome::kNotNow;
      return WriteOutcome::kRefused;
    }
  }

  std::mutex lock_;
  std::shared_ptr<Socket> socket_;
};

LogConnection& Connection() {
  static auto* const connection = new LogConnection;  // never destroyed: the writer may outlive exit
  return *connection;
}

std::mutex limit_lock;
detail::EntryRateLimit<LimitedKind>& Limit() {
  static auto* const limit =
      new detail::EntryRateLimit<LimitedKind>(kLimitedEntriesPerMinute, std::chrono::minutes(1), kLimitedKinds);
  return *limit;
}

void EchoEntry(const std::string& source, std::uint16_t type, const Text& text) {
  if (echo) WriteConsoleLine(Text::FromOutside(source) + " (" + TypeWord(type) + "): " + text);
}

Entry MakeEntry(const std::shared_ptr<const std::string>& source, std::uint16_t type, const Text& text) {
  EchoEntry(*source, type, text);
  std::string head = SyslogHead(*source, type);
  const std::size_t text_start = head.size();
  return Entry{source, type, std::move(head) + linux_side::ToUtf8(text), text_start};
}

Entry DroppedNote(std::uint64_t dropped, const Entry& last) {
  return MakeEntry(last.source, kEventWarning,
                   std::to_string(dropped) + " event-log entries were dropped while the log did not take them");
}

std::vector<Entry> TakeSummaries(detail::EntryRateLimit<LimitedKind>::Clock::time_point now) {
  std::vector<detail::EntryRateLimit<LimitedKind>::Summary> ended;
  {
    std::lock_guard<std::mutex> hold(limit_lock);
    ended = Limit().TakeEnded(now);
  }
  std::vector<Entry> entries;
  for (auto& summary : ended) {
    entries.push_back(MakeEntry(summary.payload.source, summary.payload.type,
                                std::to_string(summary.left_out) + " more entries like this one were left out within "
                                "a minute: " + summary.payload.text));
  }
  return entries;
}

std::optional<detail::EntryRateLimit<LimitedKind>::Clock::time_point> NextSummary() {
  std::lock_guard<std::mutex> hold(limit_lock);
  return Limit().NextEnd();
}

detail::QueuedWriter<Entry>& Writer() {
  static auto* const writer = [] {
    auto* made = new detail::QueuedWriter<Entry>(
        kQueuedEntries,
        {[](Entry& entry, int wait_ms) { return Connection().Send(entry, wait_ms); }, DroppedNote,
         TakeSummaries, NextSummary});
    std::atexit([] { Writer().Stop(kExitFlushMs); });
    return made;
  }();
  return *writer;
}

}  // namespace

void SetEventEcho(bool on) { echo = on; }

EventSourceHandle OpenEventSource(const std::string& source_name) {
  if (!Connection().Ensure() && !echo) return 0;
  auto* source = new Source{std::make_shared<const std::string>(source_name)};
  return reinterpret_cast<EventSourceHandle>(source);
}

void ReportEvent(EventSourceHandle handle, std::uint16_t type, std::uint16_t /*category*/,
                 std::uint32_t /*event_id*/, const Text& text) {
  if (handle == 0) return;
  const auto* source = reinterpret_cast<const Source*>(handle);
  Writer().Push(MakeEntry(source->name, type, text));
}

void ReportLimitedEvent(EventSourceHandle handle, std::uint16_t type, const Text& text) {
  if (handle == 0) return;
  const auto* source = reinterpret_cast<const Source*>(handle);
  bool admitted;
  {
    std::lock_guard<std::mutex> hold(limit_lock);
    const std::string kind = *source->name + '\n' + std::to_string(type) + '\n' + text.Bytes();
    admitted = Limit().Admit(kind, LimitedKind{source->name, type, text}, std::chrono::steady_clock::now());
  }
  if (admitted) {
    ReportEvent(handle, type, 0, 0, text);
  } else {
    Writer().Wake();  // a summary is now pending
  }
}

void CloseEventSource(EventSourceHandle handle) {
  if (handle == 0) return;
  delete reinterpret_cast<Source*>(handle);
}

bool FlushEventLog(int timeout_ms) { return Writer().Flush(timeout_ms); }

}  // namespace platform
