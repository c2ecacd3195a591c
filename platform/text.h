#pragma once
// Texts for the console, message boxes and the event log. The system's own texts are code page
// 1251 bytes, which each platform shows in its own way. Bytes that came from outside the system
// (file names and paths as the file system gives them, labels and port names of the channel
// file, messages that carry them) are passed on as they are when they are valid UTF-8, and
// read in the platform's legacy code page otherwise. A Text keeps the kinds apart, piece by
// piece. Plain C++: any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    std::uint32_t c;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      c = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      c = (c << 6) | (next & 0x3F);
    }
    if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

class Text {
 public:
  // Where a piece's bytes came from, which says how to read them.
  enum class Origin {
    kOwn,          // the system's own text: code page 1251
    kOutsideUtf8,  // from outside, valid UTF-8 (plain ASCII included)
    kOutside,      // from outside, not UTF-8: a legacy code page
  };
  struct Piece {
    std::string bytes;
    Origin origin;
    friend bool operator==(const Piece&, const Piece&) = default;
  };

  Text() = default;
  // The system's own text.
  Text(std::string own) { Append(std::move(own), Origin::kOwn); }
  Text(const char* own) : Text(std::string(own)) {}
  // Bytes from outside the system.
  static Text FromOutside(std::string bytes) {
    Text text;
    const Origin origin = IsValidUtf8(bytes) ? Origin::kOutsideUtf8 : Origin::kOutside;
    text.Append(std::move(bytes), origin);
    return text;
  }

  Text& operator+=(const Text& other) {
    for (const Piece& piece : other.pieces_) Append(piece.bytes, piece.origin);
    return *this;
  }
  friend Text operator+(Text a, const Text& b) { return a += b; }
  // Pieces are kept merged (no empty piece, no two neighbours of one origin), so equal texts
  // have equal pieces.
  friend bool operator==(const Text&, const Text&) = default;

  const std::vector<Piece>& Pieces() const { return pieces_; }
  bool Empty() const { return pieces_.empty(); }
  // Every byte, of every origin, in order.
  std::string Bytes() const {
    std::string all;
    for (const Piece& piece : pieces_) all += piece.bytes;
    return all;
  }

 private:
  void Append(std::string bytes, Origin origin) {
    if (bytes.empty()) return;
    if (!pieces_.empty() && pieces_.back().origin == origin) {
      pieces_.back().bytes += bytes;
    } else {
      pieces_.push_back(Piece{std::move(bytes), origin});
    }
  }

  std::vector<Piece> pieces_;
};

}  // namespace platform
