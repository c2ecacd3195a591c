#pragma once
// Writes single-string entries to the system's event log under one source name. The source is
// registered with the first entry; when that fails, the next entry tries again.
//
// Any thread may write, also several at once (serial event threads route their failures here
// while the service thread writes its own entries).

#include <cstdint>
#include <mutex>
#include <string>

#include "base/tobject.h"
#include "platform/text.h"

class TEventLogger : public TObject {
 public:
  explicit TEventLogger(std::string source) : source_(std::move(source)) {}
  ~TEventLogger() override;

  const std::string& Source() const { return source_; }

  // Never fails towards its caller: an entry that cannot be written is dropped. The entry is
  // queued; it never waits for the log.
  void WriteEventLog(const platform::Text& text, std::uint32_t event_type, std::uint16_t category,
                     std::uint32_t event_id);
  // An entry that outside parties can cause at will (a peer's connection errors): of entries
  // with the same type and text, a few per minute are written and the rest summed up.
  void WriteLimitedEventLog(const platform::Text& text, std::uint32_t event_type);

 private:
  // The registered source, registered now if it is not yet (0 while the log is unreachable).
  std::uintptr_t Handle();

  std::string source_;
  std::mutex lock_;  // guards handle_
  std::uintptr_t handle_ = 0;
};
