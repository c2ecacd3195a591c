#pragma once
// Texts for the console, message boxes and the event log. The system's own texts are code page
// 1251 bytes, which each platform shows in its own way; bytes that came from outside the system
// (file names and paths as the file system gives them, such as the executable's name) are
// passed on as they are. A Text keeps the two kinds apart, piece by piece.

#include <string>
#include <utility>
#include <vector>

namespace platform {

class Text {
 public:
  struct Piece {
    std::string bytes;
    bool own;  // the system's own text (code page 1251); else bytes from outside
    friend bool operator==(const Piece&, const Piece&) = default;
  };

  Text() = default;
  // The system's own text.
  Text(std::string own) { Append(std::move(own), true); }
  Text(const char* own) : Text(std::string(own)) {}
  // Bytes from outside the system, passed on unchanged.
  static Text FromOutside(std::string bytes) {
    Text text;
    text.Append(std::move(bytes), false);
    return text;
  }

  Text& operator+=(const Text& other) {
    for (const Piece& piece : other.pieces_) Append(piece.bytes, piece.own);
    return *this;
  }
  friend Text operator+(Text a, const Text& b) { return a += b; }
  // Pieces are kept merged (no empty piece, no two neighbours of one kind), so equal texts
  // have equal pieces.
  friend bool operator==(const Text&, const Text&) = default;

  const std::vector<Piece>& Pieces() const { return pieces_; }
  bool Empty() const { return pieces_.empty(); }
  // Every byte, of both kinds, in order.
  std::string Bytes() const {
    std::string all;
    for (const Piece& piece : pieces_) all += piece.bytes;
    return all;
  }

 private:
  void Append(std::string bytes, bool own) {
    if (bytes.empty()) return;
    if (!pieces_.empty() && pieces_.back().own == own) {
      pieces_.back().bytes += bytes;
    } else {
      pieces_.push_back(Piece{std::move(bytes), own});
    }
  }

  std::vector<Piece> pieces_;
};

}  // namespace platform
