// The event-log sink on Windows: the application event log through advapi32. Each entry is
// one string, with no raw data and no user. Entries are written by the queued writer's thread,
// so a log that does not answer holds up nobody else.

#include "platform/event_log.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "platform/console.h"
#include "platform/entry_rate_limit.h"
#include "platform/queued_writer.h"
#include "platform/win/code_page.h"
#include "platform/win/windows_api.h"

namespace platform {
namespace {

using detail::WriteOutcome;

constexpr UINT kCp1251 = 1251;
constexpr std::size_t kQueuedEntries = 1024;
constexpr int kExitFlushMs = 300;  // two writers stalled at once still end within a second
constexpr std::size_t kLimitedKinds = 256;

std::atomic<bool> echo{false};

// A registered source: the name and the log's handle, which stays null while the log cannot
// be reached (a later entry tries again). Queued entries share it; the last one deregisters.
struct SourceState {
  explicit SourceState(std::string source_name) : name(std::move(source_name)) {}
  ~SourceState() {
    if (log) ::DeregisterEventSource(log);
  }
  const std::string name;
  std::mutex lock;  // guards log
  HANDLE log = nullptr;
};

// What a handle of the seam stands for.
struct Source {
  std::shared_ptr<SourceState> state;
};

struct Entry {
  std::shared_ptr<SourceState> source;
  std::uint16_t type = kEventError;
  std::uint16_t category = 0;
  std::uint32_t event_id = 0;
  Text text;
};

const char* TypeWord(std::uint16_t type) {
  switch (type) {
    case kEventError: return "error";
    case kEventWarning: return "warning";
    case kEventInformation: return "information";
    default: return "notice";
  }
}

// ReportEvent refuses a string longer than this many characters (the entry would be lost).
constexpr std::size_t kLongestString = 31839;

// Whether the "A" call shows the text as it is meant: in code page 1251 every piece but UTF-8
// from outside reads right, and UTF-8 that is plain ASCII reads right anyway.
bool AnsiCallFits(const Text& text) {
  if (::GetACP() != kCp1251 || text.Bytes().size() > kLongestString) return false;
  for (const Text::Piece& piece : text.Pieces()) {
    if (piece.origin != Text::Origin::kOutsideUtf8) continue;
    for (char c : piece.bytes) {
      if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
  }
  return true;
}

// An entry too long for one string is cut (not between the halves of a surrogate pair) and
// says so, with the length it had.
void CutToFit(std::wstring& wide) {
  if (wide.size() <= kLongestString) return;
  const std::string ascii_mark = " [cut from " + std::to_string(wide.size()) + " characters]";
  const std::wstring mark(ascii_mark.begin(), ascii_mark.end());
  std::size_t keep = kLongestString - mark.size();
  if (wide[keep] >= 0xDC00 && wide[keep] <= 0xDFFF) --keep;  // a low surrogate stays with its high one
  wide.resize(keep);
  wide += mark;
}

// One string, no user, no raw data; the result is not looked at.
WriteOutcome WriteEntry(Entry& entry, int /*wait_ms*/) {
  HANDLE log;
  {
    std::lock_guard<std::mutex> hold(entry.source->lock);
    if (!entry.source->log) entry.source->log = ::RegisterEventSourceA(nullptr, entry.source->name.c_str());
    log = entry.source->log;
  }
  if (!log) return WriteOutcome::kRefused;
  if (AnsiCallFits(entry.text)) {
    // The system's own bytes and the file names alike are in the ANSI code page here.
    const std::string bytes = entry.text.Bytes();
    const char* strings[1] = {bytes.c_str()};
    ::ReportEventA(log, entry.type, entry.category, entry.event_id, nullptr, 1, 0, strings, nullptr);
  } else {
    // The "A" call would read some bytes in another code page: hand the text over as UTF-16.
    std::wstring wide = win_detail::Widen(entry.text);
    CutToFit(wide);
    const wchar_t* strings[1] = {wide.c_str()};
    ::ReportEventW(log, entry.type, entry.category, entry.event_id, nullptr, 1, 0, strings, nullptr);
  }
  return WriteOutcome::kWritten;
}

Entry MakeEntry(const std::shared_ptr<SourceState>& source, std::uint16_t type, std::uint16_t category,
                std::uint32_t event_id, const Text& text) {
  if (echo) WriteConsoleLine(Text::FromOutside(source->name) + " (" + TypeWord(type) + "): " + text);
  return Entry{source, type, category, event_id, text};
}

Entry DroppedNote(std::uint64_t dropped, const Entry& last) {
  return MakeEntry(last.source, kEventWarning, 0, 0,
                   std::to_string(dropped) + " event-log entries were dropped while the log did not take them");
}

struct LimitedKind {
  std::shared_ptr<SourceState> source;
  std::uint16_t type;
  Text text;
};
using Limit = detail::EntryRateLimit<LimitedKind>;

std::mutex limit_lock;
Limit& Limits() {
  static auto* const limit = new Limit(kLimitedEntriesPerMinute, std::chrono::minutes(1), kLimitedKinds);
  return *limit;
}

std::vector<Entry> TakeSummaries(Limit::Clock::time_point now) {
  std::vector<Limit::Summary> ended;
  {
    std::lock_guard<std::mutex> hold(limit_lock);
    ended = Limits().TakeEnded(now);
  }
  std::vector<Entry> entries;
  for (auto& summary : ended) {
    entries.push_back(MakeEntry(summary.payload.source, summary.payload.type, 0, 0,
                                std::to_string(summary.left_out) + " more entries like this one were left out within "
                                "a minute: " + summary.payload.text));
  }
  return entries;
}

std::optional<Limit::Clock::time_point> NextSummary() {
  std::lock_guard<std::mutex> hold(limit_lock);
  return Limits().NextEnd();
}

detail::QueuedWriter<Entry>& Writer() {
  static auto* const writer = [] {
    auto* made = new detail::QueuedWriter<Entry>(kQueuedEntries, {WriteEntry, DroppedNote, TakeSummaries, NextSummary});
    std::atexit([] { Writer().Stop(kExitFlushMs); });
    return made;
  }();
  return *writer;
}

}  // namespace

void SetEventEcho(bool on) { echo = on; }

EventSourceHandle OpenEventSource(const std::string& source_name) {
  HANDLE log = ::RegisterEventSourceA(nullptr, source_name.c_str());
  if (!log && !echo) return 0;
  auto state = std::make_shared<SourceState>(source_name);
  state->log = log;
  return reinterpret_cast<EventSourceHandle>(new Source{std::move(state)});
}

void ReportEvent(EventSourceHandle handle, std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                 const Text& text) {
  if (handle == 0) return;
  const auto* source = reinterpret_cast<const Source*>(handle);
  Writer().Push(MakeEntry(source->state, type, category, event_id, text));
}

void ReportLimitedEvent(EventSourceHandle handle, std::uint16_t type, const Text& text) {
  if (handle == 0) return;
  const auto* source = reinterpret_cast<const Source*>(handle);
  bool admitted;
  {
    std::lock_guard<std::mutex> hold(limit_lock);
    const std::string kind = source->state->name + '\n' + std::to_string(type) + '\n' + text.Bytes();
    admitted = Limits().Admit(kind, LimitedKind{source->state, type, text}, Limit::Clock::now());
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
