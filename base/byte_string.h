#pragma once
// A counted string of bytes that may hold any value, zero included. Copies share one
// immutable buffer, so a payload handed to many destinations is never copied per destination.

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

class ByteString {
 public:
  ByteString() = default;
  explicit ByteString(std::string_view bytes) : ByteString(bytes.data(), bytes.size()) {}
  ByteString(const void* data, std::size_t size) {
    if (size == 0) return;
    *this = Uninitialized(size);
    std::memcpy(bytes_.get(), data, size);
  }

  // A string of `size` bytes for the caller to fill (MutableData) before it is shared, so a
  // receive can read straight into it without clearing it first.
  static ByteString Uninitialized(std::size_t size) {
    ByteString s;
    if (size > 0) {
      s.bytes_ = std::make_shared_for_overwrite<char[]>(size);
      s.size_ = size;
    }
    return s;
  }
  char* MutableData() { return bytes_.get(); }
  // Keeps the first `size` bytes.
  void Truncate(std::size_t size) {
    if (size < size_) size_ = size;
    if (size_ == 0) bytes_.reset();
  }

  const char* data() const { return bytes_ ? bytes_.get() : ""; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {data(), size_}; }
  std::string str() const { return std::string(view()); }

  friend bool operator==(const ByteString& a, const ByteString& b) { return a.view() == b.view(); }

 private:
  std::shared_ptr<char[]> bytes_;
  std::size_t size_ = 0;
};
