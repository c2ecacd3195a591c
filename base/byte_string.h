#pragma once
// A counted string of bytes that may hold any value, zero included. Copies share one
// immutable buffer, so a payload handed to many destinations is never copied per destination.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

class ByteString {
 public:
  ByteString() = default;
  explicit ByteString(std::string bytes)
      : bytes_(bytes.empty() ? nullptr : std::make_shared<const std::string>(std::move(bytes))) {}
  ByteString(const void* data, std::size_t size)
      : ByteString(std::string(static_cast<const char*>(data), size)) {}

  const char* data() const { return bytes_ ? bytes_->data() : ""; }
  std::size_t size() const { return bytes_ ? bytes_->size() : 0; }
  bool empty() const { return size() == 0; }
  std::string_view view() const { return {data(), size()}; }
  std::string str() const { return std::string(view()); }

  friend bool operator==(const ByteString& a, const ByteString& b) { return a.view() == b.view(); }

 private:
  std::shared_ptr<const std::string> bytes_;
};
