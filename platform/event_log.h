#pragma once
// The event-log sink: entries of one string under a source name, in the system's log.
//
// Texts keep apart the system's own texts (code page 1251) and bytes from outside (text.h);
// the sink converts the former as its log needs, and the latter too unless they are UTF-8.
// Source names are bytes from outside (the executable's file name). An entry longer than the
// log takes in one piece is cut to fit and ends with a mark that says so.
//
// Entries go through a bounded queue to a writer thread of their own: a log that does not read
// costs dropped entries (counted, and the count written once the log reads again), never time
// on the thread that reports. The connection to the log is made once and kept. Any thread may
// call these.

#include <cstdint>
#include <string>

#include "platform/text.h"

namespace platform {

using EventSourceHandle = std::uintptr_t;  // 0: not registered

// Event types.
constexpr std::uint16_t kEventError = 1;
constexpr std::uint16_t kEventWarning = 2;
constexpr std::uint16_t kEventInformation = 4;

// Of the limited entries with one source, type and text, at most this many are written per
// minute; the others are counted, and a summary entry follows when the minute is over.
constexpr int kLimitedEntriesPerMinute = 10;

// Registers a source for writing; 0 when the log cannot be reached (try again later).
EventSourceHandle OpenEventSource(const std::string& source);
// Writes one entry. Failures are dropped silently; a handle of 0 writes nothing to the log.
void ReportEvent(EventSourceHandle source, std::uint16_t type, std::uint16_t category,
                 std::uint32_t event_id, const Text& text);
// Writes one entry of a kind that outside parties can cause at will (a peer's connection
// errors), limited as kLimitedEntriesPerMinute says.
void ReportLimitedEvent(EventSourceHandle source, std::uint16_t type, const Text& text);
// Releases a source registered by OpenEventSource. 0 is ignored. Its queued entries are still
// written.
void CloseEventSource(EventSourceHandle source);

// Waits until the entries reported so far are written or dropped, at most `timeout_ms`;
// answers whether they are. At process exit the queue is flushed the same way, for a bounded
// time, with the summaries of limited entries still pending.
bool FlushEventLog(int timeout_ms);

// While on, every entry is also written to the console (the foreground run); a source then
// registers even when the log itself cannot be reached, and reaches it as soon as it can.
void SetEventEcho(bool on);

}  // namespace platform
