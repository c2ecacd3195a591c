#pragma once
// The event-log sink: entries of one string under a source name, in the system's log.
//
// Texts are the system's own bytes (code page 1251); the sink converts them as its log needs.

#include <cstdint>
#include <string>

namespace platform {

using EventSourceHandle = std::uintptr_t;  // 0: not registered

// Event types.
constexpr std::uint16_t kEventError = 1;
constexpr std::uint16_t kEventWarning = 2;
constexpr std::uint16_t kEventInformation = 4;

// Registers a source for writing; 0 when the log cannot be reached (try again later).
EventSourceHandle OpenEventSource(const std::string& source);
// Writes one entry. Failures are dropped silently; a handle of 0 writes nothing to the log.
void ReportEvent(EventSourceHandle source, std::uint16_t type, std::uint16_t category,
                 std::uint32_t event_id, const std::string& text);
// Releases a source registered by OpenEventSource. 0 is ignored.
void CloseEventSource(EventSourceHandle source);

// While on, every entry is also written to the console (the foreground run); a source then
// registers even when the log itself cannot be reached, and reaches it as soon as it can.
void SetEventEcho(bool on);

}  // namespace platform
