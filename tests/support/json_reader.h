#pragma once
// A strict reader of one JSON text, for checking what the program prints: objects, arrays,
// strings (escapes decoded to UTF-8), numbers, true, false and null. No state; any thread.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace test {

struct Json {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
  bool boolean = false;
  double number = 0;
  std::string text;
  std::vector<Json> items;
  std::map<std::string, Json> members;

  bool is_null() const { return kind == Kind::kNull; }
  // A member of an object; a null value for a missing one (check with has()).
  const Json& operator[](const std::string& name) const {
    static const Json kMissing;
    auto it = members.find(name);
    return it == members.end() ? kMissing : it->second;
  }
  const Json& operator[](std::size_t index) const { return items.at(index); }
  bool has(const std::string& name) const { return members.count(name) > 0; }
  std::uint64_t integer() const { return static_cast<std::uint64_t>(number); }
};

namespace json_detail {

class Reader {
 public:
  explicit Reader(const std::string& text) : text_(text) {}

  bool ReadAll(Json& out) {
    if (!Value(out)) return false;
    Blanks();
    return at_ == text_.size();
  }

 private:
  void Blanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\n' || text_[at_] == '\r' || text_[at_] == '\t')) {
      ++at_;
    }
  }
  bool Take(char c) {
    Blanks();
    if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
    return false;
  }
  bool Word(const char* word) {
    const std::string w = word;
    if (text_.compare(at_, w.size(), w) != 0) return false;
    at_ += w.size();
    return true;
  }
  static void AppendUtf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  bool Hex4(std::uint32_t& unit) {
    if (at_ + 4 > text_.size()) return false;
    unit = static_cast<std::uint32_t>(std::stoul(text_.substr(at_, 4), nullptr, 16));
    at_ += 4;
    return true;
  }
  bool String(std::string& out) {
    if (!Take('"')) return false;
    while (at_ < text_.size() && text_[at_] != '"') {
      const char c = text_[at_++];
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= text_.size()) return false;
      const char e = text_[at_++];
      const std::string simple = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
      if (simple.find(e) != std::string::npos) {
        out += meant[simple.find(e)];
        continue;
      }
      std::uint32_t unit = 0, low = 0;
      if (e != 'u' || !Hex4(unit)) return false;
      if (unit >= 0xD800 && unit < 0xDC00) {
        if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
        unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
      }
      AppendUtf8(out, unit);
    }
    return at_ < text_.size() && text_[at_++] == '"';
  }
  bool Value(Json& out) {
    Blanks();
    if (at_ >= text_.size()) return false;
    const char c = text_[at_];
    if (c == '"') return out.kind = Json::Kind::kString, String(out.text);
    if (Word("null")) return out.kind = Json::Kind::kNull, true;
    if (Word("true")) return out.kind = Json::Kind::kBool, out.boolean = true, true;
    if (Word("false")) return out.kind = Json::Kind::kBool, true;
    if (Take('[')) {
      out.kind = Json::Kind::kArray;
      if (Take(']')) return true;
      do {
        out.items.emplace_back();
        if (!Value(out.items.back())) return false;
      } while (Take(','));
      return Take(']');
    }
    if (Take('{')) {
      out.kind = Json::Kind::kObject;
      if (Take('}')) return true;
      do {
        std::string name;
        Blanks();
        if (!String(name) || !Take(':') || out.members.count(name) || !Value(out.members[name])) return false;
      } while (Take(','));
      return Take('}');
    }
    std::size_t used = 0;
    try {
      out.number = std::stod(text_.substr(at_, 32), &used);
    } catch (...) {
      return false;
    }
    out.kind = Json::Kind::kNumber;
    at_ += used;
    return used > 0;
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

}  // namespace json_detail

// The value of a whole JSON text; nothing when it is not one.
inline std::optional<Json> ReadJson(const std::string& text) {
  Json value;
  if (!json_detail::Reader(text).ReadAll(value)) return std::nullopt;
  return value;
}

}  // namespace test
