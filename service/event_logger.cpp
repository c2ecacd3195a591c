#include "service/event_logger.h"

#include "platform/event_log.h"

TEventLogger::~TEventLogger() { platform::CloseEventSource(handle_); }

std::uintptr_t TEventLogger::Handle() {
  std::lock_guard<std::mutex> hold(lock_);
  if (handle_ == 0) handle_ = platform::OpenEventSource(source_);
  return handle_;
}

void TEventLogger::WriteEventLog(const platform::Text& text, std::uint32_t event_type,
                                 std::uint16_t category, std::uint32_t event_id) {
  platform::ReportEvent(Handle(), static_cast<std::uint16_t>(event_type), category, event_id, text);
}

void TEventLogger::WriteLimitedEventLog(const platform::Text& text, std::uint32_t event_type) {
  platform::ReportLimitedEvent(Handle(), static_cast<std::uint16_t>(event_type), text);
}
