#include "service/event_logger.h"

#include "platform/event_log.h"

TEventLogger::~TEventLogger() { platform::CloseEventSource(handle_); }

void TEventLogger::WriteEventLog(const std::string& text, std::uint32_t event_type,
                                 std::uint16_t category, std::uint32_t event_id) {
  std::lock_guard<std::mutex> hold(lock_);
  if (handle_ == 0) handle_ = platform::OpenEventSource(source_);
  platform::ReportEvent(handle_, static_cast<std::uint16_t>(event_type), category, event_id, text);
}
