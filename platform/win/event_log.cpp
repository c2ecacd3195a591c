// The event-log sink on Windows: the application event log through advapi32. Each entry is
// one string, with no raw data and no user.

#include "platform/event_log.h"

#include <atomic>
#include <mutex>

#include "platform/console.h"
#include "platform/win/code_page.h"
#include "platform/win/windows_api.h"

namespace platform {
namespace {

constexpr UINT kCp1251 = 1251;

std::atomic<bool> echo{false};

// What a handle of the seam stands for: the source name and the log's handle, which stays
// null while the log cannot be reached (a later entry tries again).
struct Source {
  std::string name;
  HANDLE log = nullptr;
  std::mutex lock;
};

const char* TypeWord(std::uint16_t type) {
  switch (type) {
    case kEventError: return "error";
    case kEventWarning: return "warning";
    case kEventInformation: return "information";
    default: return "notice";
  }
}

// One string, no user, no raw data; the result is not looked at.
void WriteEntry(HANDLE log, std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                const std::string& text) {
  if (::GetACP() == kCp1251) {
    const char* strings[1] = {text.c_str()};
    ::ReportEventA(log, type, category, event_id, nullptr, 1, 0, strings, nullptr);
  } else {
    // The "A" call would read the bytes in another code page: hand it over as UTF-16.
    std::wstring wide = win_detail::WidenCp1251(text);
    const wchar_t* strings[1] = {wide.c_str()};
    ::ReportEventW(log, type, category, event_id, nullptr, 1, 0, strings, nullptr);
  }
}

}  // namespace

void SetEventEcho(bool on) { echo = on; }

EventSourceHandle OpenEventSource(const std::string& source_name) {
  HANDLE log = ::RegisterEventSourceA(nullptr, source_name.c_str());
  if (!log && !echo) return 0;
  auto* source = new Source;
  source->name = source_name;
  source->log = log;
  return reinterpret_cast<EventSourceHandle>(source);
}

void ReportEvent(EventSourceHandle handle, std::uint16_t type, std::uint16_t category, std::uint32_t event_id,
                 const std::string& text) {
  if (handle == 0) return;
  auto* source = reinterpret_cast<Source*>(handle);
  std::lock_guard<std::mutex> hold(source->lock);
  if (echo) WriteConsoleLine(source->name + " (" + TypeWord(type) + "): " + text);
  if (!source->log) source->log = ::RegisterEventSourceA(nullptr, source->name.c_str());
  if (source->log) WriteEntry(source->log, type, category, event_id, text);
}

void CloseEventSource(EventSourceHandle handle) {
  if (handle == 0) return;
  auto* source = reinterpret_cast<Source*>(handle);
  if (source->log) ::DeregisterEventSource(source->log);
  delete source;
}

}  // namespace platform
