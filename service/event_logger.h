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

class TEventLogger : public TObject {
 public:
  explicit TEventLogger(std::string source) : source_(std::move(source)) {}
  ~TEventLogger() override;

  const std::string& Source() const { return source_; }

  // Never fails towards its caller: an entry that cannot be written is dropped.
  void WriteEventLog(const std::string& text, std::uint32_t event_type, std::uint16_t category,
                     std::uint32_t event_id);

 private:
  std::string source_;
  std::mutex lock_;  // guards handle_
  std::uintptr_t handle_ = 0;
};
