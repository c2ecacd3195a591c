// Console output on Linux: lines on standard error; message boxes as one line "caption: text",
// the information box on standard output, every other box on standard error. Everything goes
// through one queued writer, so lines keep their order and a console that does not read holds
// up nobody.

#include "platform/console.h"

#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "platform/linux/cp1251.h"
#include "platform/queued_writer.h"

namespace platform {
namespace {

constexpr std::size_t kQueuedLines = 1024;
constexpr int kBoxWaitMs = 2000;   // a box is modal: it waits for its line, but not for ever
constexpr int kExitFlushMs = 300;  // two writers stalled at once still end within a second

using detail::WriteOutcome;

struct Line {
  int fd = STDERR_FILENO;
  std::string bytes;
  std::size_t done = 0;  // a line the reader took in part goes on where it stopped
};

// A reader that has closed makes the write fail (EPIPE) instead of ending the process.
void KeepBrokenPipesQuiet() {
  static thread_local const bool blocked = [] {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
  }();
  (void)blocked;
}

// Writes in pieces of at most PIPE_BUF bytes, each only once poll() says there is room: a
// pipe then never makes the write wait, whatever the descriptor's blocking mode (which is
// shared with other processes and is not ours to change).
WriteOutcome WriteLine(Line& line, int wait_ms) {
  KeepBrokenPipesQuiet();
  while (line.done < line.bytes.size()) {
    pollfd room{line.fd, POLLOUT, 0};
    const int ready = ::poll(&room, 1, wait_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return WriteOutcome::kRefused;
    }
    if (ready == 0) return WriteOutcome::kNotNow;
    if (room.revents & POLLNVAL) return WriteOutcome::kRefused;
    const std::size_t piece = std::min<std::size_t>(line.bytes.size() - line.done, PIPE_BUF);
    const ssize_t n = ::write(line.fd, line.bytes.data() + line.done, piece);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return WriteOutcome::kNotNow;
      return WriteOutcome::kRefused;
    }
    line.done += static_cast<std::size_t>(n);
  }
  return WriteOutcome::kWritten;
}

Line DroppedNote(std::uint64_t dropped, const Line&) {
  std::string note = "(";
  note += std::to_string(dropped);
  note += " console lines were dropped: nothing read them)\n";
  return Line{STDERR_FILENO, note};
}

detail::QueuedWriter<Line>& Writer() {
  static auto* const writer = [] {
    auto* made = new detail::QueuedWriter<Line>(kQueuedLines, {WriteLine, DroppedNote, nullptr, nullptr});
    std::atexit([] { Writer().Stop(kExitFlushMs); });
    return made;
  }();
  return *writer;
}

}  // namespace

void ShowMessageBox(const Text& caption, const Text& text, BoxIcon icon) {
  const int fd = icon == BoxIcon::kInformation ? STDOUT_FILENO : STDERR_FILENO;
  Writer().Push(Line{fd, linux_side::ToUtf8(caption + ": " + text) + "\n"});
  Writer().Flush(kBoxWaitMs);
}

void WriteConsoleLine(const Text& text) { Writer().Push(Line{STDERR_FILENO, linux_side::ToUtf8(text) + "\n"}); }

bool FlushConsole(int timeout_ms) { return Writer().Flush(timeout_ms); }

}  // namespace platform
