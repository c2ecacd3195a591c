#pragma once
// Texts for the console, message boxes and the event log. The system's own texts are code page
// 1251 bytes, which each platform shows in its own way. Bytes that came from outside the system
// (file names and paths as the file system gives them, labels and port names of the channel
// file, messages that carry them) are passed on as they are when they are valid UTF-8, and
// read in the platform's legacy code page otherwise; their control characters are shown
// escaped (VisibleControls), never raw. A Text keeps the kinds apart, piece by piece. Plain
// C++: any thread.

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

// Where a text cut before byte `end` ends so that it does not end inside a UTF-8 character:
// `end` moved back over the continuation bytes (10xxxxxx) that stand there, at most three (the
// most one character has, so that bytes that are no UTF-8 lose no more), never before `floor`.
inline std::size_t Utf8CutAt(std::string_view text, std::size_t end, std::size_t floor = 0) {
  if (end >= text.size()) return text.size();
  for (int i = 0; i < 3 && end > floor && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80; ++i) --end;
  return end;
}

// Bytes from outside as every text of the system shows them: each control character (C0, DEL
// and, where the bytes are read as UTF-8, C1) as "\x" and two upper-case hexadecimal digits for
// each of its bytes ("\x1B", "\xC2\x9B"), so that a label or a path can neither steer a
// terminal nor break a line of a log; every other byte as it is. In a legacy code page the
// bytes 0x80..0x9F are letters and stay.
inline std::string VisibleControls(std::string_view bytes, bool utf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size());
  auto escape = [&out](unsigned char byte) {
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
  };
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    const unsigned char next = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    if (byte < 0x20 || byte == 0x7F) {
      escape(byte);
    } else if (utf8 && byte == 0xC2 && (next & 0xE0) == 0x80) {  // U+0080..U+009F
      escape(byte);
      escape(next);
      ++i;
    } else {
      out += bytes[i];
    }
  }
  return out;
}
inline std::string VisibleControls(std::string_view bytes) { return VisibleControls(bytes, IsValidUtf8(bytes)); }

// A field from outside as the operator's reports and warnings show it: in double quotes, with
// control characters as VisibleControls shows them and double quotes as \", at most
// `max_bytes` of its bytes (not cut inside a UTF-8 character); a field that was cut is
// followed by "... (N bytes)" with its whole length.
inline std::string QuotedField(std::string_view field, std::size_t max_bytes) {
  const std::size_t size = field.size();
  if (size > max_bytes) field = field.substr(0, Utf8CutAt(field, max_bytes));
  std::string out = "\"";
  for (char c : VisibleControls(field)) {
    if (c == '"') out += '\\';
    out += c;
  }
  out += '"';
  if (field.size() < size) out += "... (" + std::to_string(size) + " bytes)";
  return out;
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
  // Bytes from outside the system, their control characters made visible.
  static Text FromOutside(std::string_view bytes) {
    const bool utf8 = IsValidUtf8(bytes);
    return Verbatim(VisibleControls(bytes, utf8), utf8);
  }
  // Bytes from outside kept whole, control characters and all: only for a text that is escaped
  // in a way of its own before anyone sees it (a JSON string).
  static Text FromOutsideVerbatim(std::string_view bytes) { return Verbatim(std::string(bytes), IsValidUtf8(bytes)); }

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
  static Text Verbatim(std::string bytes, bool utf8) {
    Text text;
    text.Append(std::move(bytes), utf8 ? Origin::kOutsideUtf8 : Origin::kOutside);
    return text;
  }
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
