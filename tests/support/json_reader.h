#pragma once
// A strict reader of one JSON text, for checking what the program prints: objects, arrays,
// strings (escapes decoded to UTF-8), numbers, true, false and null. No state; any thread.

#include <cstdint>
#include <map>
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
  bool has(const std::string& name) const { return members.count(name) > 0; }
  // A missing member reads as null.
  const Json& operator[](const std::string& name) const {
    static const Json kMissing;
    auto it = members.find(name);
    return it == members.end() ? kMissing : it->second;
  }
  const Json& operator[](std::size_t index) const { return items.at(index); }
  std::uint64_t integer() const { return static_cast<std::uint64_t>(number); }
};

class JsonReader {
 public:
  // The value of a whole JSON text; nothing when it is not one.
  static std::optional<Json> Read(const std::string& text) {
    JsonReader reader(text);
    Json value;
    if (!reader.Value(value) || (reader.Blanks(), reader.at_ != text.size())) return std::nullopt;
    return value;
  }

 private:
  explicit JsonReader(const std::string& text) : text_(text) {}

  void Blanks() {
    while (at_ < text_.size() && std::string(" \t\r\n").find(text_[at_]) != std::string::npos) ++at_;
  }
  bool Take(char c) {
    Blanks();
    return at_ < text_.size() && text_[at_] == c && ++at_;
  }
  bool Word(const std::string& word) {
    if (text_.compare(at_, word.size(), word) != 0) return false;
    at_ += word.size();
    return true;
  }
  bool Hex4(std::uint32_t& unit) {
    if (at_ + 4 > text_.size() || text_.find_first_not_of("0123456789abcdefABCDEF", at_) < at_ + 4) return false;
    unit = static_cast<std::uint32_t>(std::stoul(text_.substr(at_, 4), nullptr, 16));
    return at_ += 4, true;
  }
  static void AppendUtf8(std::string& out, std::uint32_t c) {
    const int tail = c < 0x80 ? 0 : c < 0x800 ? 1 : c < 0x10000 ? 2 : 3;
    out += static_cast<char>(tail == 0 ? c : ((0xF0u << (3 - tail)) & 0xF0u) | (c >> (6 * tail)));
    for (int k = tail - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
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
      const std::string simple = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
      const std::size_t which = at_ < text_.size() ? simple.find(text_[at_++]) : std::string::npos;
      std::uint32_t unit = 0, low = 0;
      if (which != std::string::npos) {
        out += meant[which];
      } else if (text_[at_ - 1] != 'u' || !Hex4(unit)) {
        return false;
      } else if (unit >= 0xD800 && unit < 0xDC00) {
        if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
      } else {
        AppendUtf8(out, unit);
      }
    }
    return at_ < text_.size() && text_[at_++] == '"';
  }
  template <typename Item>
  bool List(char end, Item item) {
    if (Take(end)) return true;
    do {
      if (!item()) return false;
    } while (Take(','));
    return Take(end);
  }
  bool Value(Json& out) {
    Blanks();
    using Kind = Json::Kind;
    if (at_ < text_.size() && text_[at_] == '"') return out.kind = Kind::kString, String(out.text);
    if (Word("null")) return true;
    if (Word("true")) return out.kind = Kind::kBool, out.boolean = true, true;
    if (Word("false")) return out.kind = Kind::kBool, true;
    if (Take('[')) return out.kind = Kind::kArray, List(']', [&] { return Value(out.items.emplace_back()); });
    if (Take('{')) {
      out.kind = Kind::kObject;
      return List('}', [&] {
        std::string name;
        return String(name) && Take(':') && !out.members.count(name) && Value(out.members[name]);
      });
    }
    std::size_t used = 0;
    try {
      out.number = std::stod(text_.substr(at_, 32), &used);
    } catch (...) {
      return false;
    }
    return out.kind = Kind::kNumber, at_ += used, true;
  }

  const std::string& text_;
  std::size_t at_ = 0;
};

inline std::optional<Json> ReadJson(const std::string& text) { return JsonReader::Read(text); }

}  // namespace test
