#pragma once
// A reference model of the channel file's rules, written apart from the reader in
// relay/channel_file.cpp so that the two can be held against each other: line splitting on CR,
// LF and NUL, fields after leading blanks, numbers in decimal or hexadecimal within 32 bits, at
// most 400 channels. Kept plain rather than fast.

#include <cstdint>
#include <string>
#include <vector>

namespace model {

constexpr int kMaxChannels = 400;

// The text ends at its first NUL. Each line runs to the next CR or LF; after it one CR, then
// one LF, are skipped. A terminator at the very end opens no further line.
inline std::vector<std::string> SplitLines(const std::string& bytes) {
  const std::string text = bytes.substr(0, bytes.find('\0'));
  std::vector<std::string> lines;
  std::string current;
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    if (c != '\r' && c != '\n') {
      current += c;
      ++i;
      continue;
    }
    lines.push_back(current);
    current.clear();
    if (text[i] == '\r') ++i;
    if (i < text.size() && text[i] == '\n') ++i;
  }
  if (!current.empty()) lines.push_back(current);
  return lines;
}

inline std::string WithoutLeadingBlanks(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  return text.substr(i);
}

// Field n (1..5): blanks before the line and after each ";" passed are dropped; "0" when the
// line has fewer than n - 1 semicolons; the field ends at the next ";".
inline std::string ChannelField(const std::string& line, int n) {
  std::string rest = WithoutLeadingBlanks(line);
  for (int passed = 1; passed < n; ++passed) {
    const std::size_t semicolon = rest.find(';');
    if (semicolon == std::string::npos) return "0";
    rest = WithoutLeadingBlanks(rest.substr(semicolon + 1));
  }
  return rest.substr(0, rest.find(';'));
}

inline bool IsDecimalDigit(char c) { return c >= '0' && c <= '9'; }
inline int HexValue(char c) {
  if (IsDecimalDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return 10 + (c - 'a');
  if (c >= 'A' && c <= 'F') return 10 + (c - 'A');
  return -1;
}

// Blanks, an optional sign, then "$", "x", "X", "0x" or "0X" and hex digits (up to 32 bits
// after leading zeros, the pattern read as signed, then negated for "-"), or decimal digits
// within the signed 32-bit range. Anything else, and nothing, is 0.
inline std::int32_t ParseInt(const std::string& text) {
  std::string s = WithoutLeadingBlanks(text);
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.erase(0, 1);
  }
  bool hex = false;
  if (!s.empty() && (s[0] == '$' || s[0] == 'x' || s[0] == 'X')) {
    hex = true;
    s.erase(0, 1);
  } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    hex = true;
    s.erase(0, 2);
  }
  if (s.empty()) return 0;
  for (char c : s) {
    if (hex ? HexValue(c) < 0 : !IsDecimalDigit(c)) return 0;
  }
  const std::size_t first = s.find_first_not_of('0');
  const std::string digits = first == std::string::npos ? std::string() : s.substr(first);
  if (hex) {
    if (digits.size() > 8) return 0;
    std::uint64_t value = 0;
    for (char c : digits) value = value * 16 + static_cast<std::uint64_t>(HexValue(c));
    // The 32-bit pattern, negated modulo 2^32 for "-".
    if (negative) value = (std::uint64_t{1} << 32) - value;
    const std::uint32_t bits = static_cast<std::uint32_t>(value & 0xFFFFFFFFu);
    return bits >= 0x80000000u ? static_cast<std::int32_t>(static_cast<std::int64_t>(bits) - (std::int64_t{1} << 32))
                               : static_cast<std::int32_t>(bits);
  }
  if (digits.size() > 10) return 0;
  std::int64_t value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  if (negative) value = -value;
  if (value < -2147483648LL || value > 2147483647LL) return 0;
  return static_cast<std::int32_t>(value);
}

struct Channel {
  std::int32_t device_port = 0, spare = 0, type = 0, server_port = 0;
  std::string port_name, label;
};

struct Load {
  std::vector<Channel> channels;  // at most kMaxChannels
  long lines_ignored = 0;
};

// What reading a channel file of these bytes yields.
inline Load LoadChannels(const std::string& bytes) {
  Load load;
  for (const std::string& line : SplitLines(bytes)) {
    if (static_cast<int>(load.channels.size()) == kMaxChannels) {
      ++load.lines_ignored;
      continue;
    }
    Channel c;
    c.device_port = ParseInt(ChannelField(line, 1));
    c.spare = ParseInt(ChannelField(line, 2));
    c.type = ParseInt(ChannelField(line, 3));
    if (c.type == 1) {
      c.port_name = ChannelField(line, 4);
    } else {
      c.server_port = ParseInt(ChannelField(line, 4));
    }
    c.label = ChannelField(line, 5);
    load.channels.push_back(c);
  }
  return load;
}

}  // namespace model
