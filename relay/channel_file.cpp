#include "relay/channel_file.h"

#include <cstdint>

#include "base/text_lines.h"
#include "platform/files.h"
#include "relay/log_texts.h"

namespace {

std::string_view DropLeadingBlanks(std::string_view text) {
  std::size_t start = text.find_first_not_of(' ');
  return start == std::string_view::npos ? std::string_view() : text.substr(start);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  ForEachLine(text, NulByte::kEndsText, [&](std::string_view line) { lines.emplace_back(line); });
  return lines;
}

std::string ChannelField(std::string_view line, int n) {
  std::string_view rest = DropLeadingBlanks(line);
  while (n > 1) {
    std::size_t semicolon = rest.find(';');
    if (semicolon == std::string_view::npos) break;
    rest = DropLeadingBlanks(rest.substr(semicolon + 1));
    --n;
  }
  if (n > 1) return "0";
  return std::string(rest.substr(0, rest.find(';')));
}

std::int32_t ParseInt(std::string_view text) {
  text = DropLeadingBlanks(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i >= text.size()) return 0;  // empty, only blanks, or only a sign

  bool hex = false;
  if (text[i] == '$' || text[i] == 'x' || text[i] == 'X') {
    hex = true;
    ++i;
  } else if (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= text.size()) return 0;  // a prefix without digits

  std::uint64_t value = 0;
  if (hex) {
    for (; i < text.size(); ++i) {
      int digit = HexDigit(text[i]);
      if (digit < 0) return 0;
      value = value * 16 + static_cast<std::uint64_t>(digit);
      if (value > 0xFFFFFFFFu) return 0;
    }
    // The 32-bit pattern is taken as signed; a sign negates it, wrapping as 32-bit numbers do.
    std::uint32_t bits = static_cast<std::uint32_t>(value);
    if (negative) bits = 0u - bits;
    return static_cast<std::int32_t>(bits);
  }
  const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
  for (; i < text.size(); ++i) {
    char c = text[i];
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > limit) return 0;
  }
  return negative ? static_cast<std::int32_t>(-static_cast<std::int64_t>(value))
                  : static_cast<std::int32_t>(value);
}

TChannelFile LoadChannelFile(const std::string& directory) {
  TChannelFile file;
  const std::string path = directory + kChannelFileName;
  if (!platform::IsRegularFile(path)) return file;

  std::string contents;
  if (int code = platform::ReadWholeFile(path, contents); code != 0) {
    throw EFOpenError("Cannot open file \"" + path + "\". " + SystemErrorText(code));
  }
  file.Found = true;
  ForEachLine(contents, NulByte::kEndsText, [&file](std::string_view line) {
    // A relay has room for kMaxChannels channels; later lines are left out, not stored.
    if (file.Channels.size() == static_cast<std::size_t>(kMaxChannels)) {
      if (file.LinesIgnored < INT32_MAX) ++file.LinesIgnored;
      return;
    }
    TSootv& channel = file.Channels.emplace_back();
    channel.DevicePort = ParseInt(ChannelField(line, 1));
    channel.SpareValue = ParseInt(ChannelField(line, 2));
    channel.ChannelType = static_cast<TChannelType>(ParseInt(ChannelField(line, 3)));
    if (channel.ChannelType == ctSerial) {
      channel.ComPortName = ChannelField(line, 4);
    } else {
      channel.ServerPort = ParseInt(ChannelField(line, 4));
    }
    channel.ChannelLabel = ChannelField(line, 5);
  });
  return file;
}

std::string ChannelLinesIgnoredLogText(std::int32_t lines_ignored) {
  if (lines_ignored <= 0) return std::string();
  return kChannelLinesIgnoredText + std::to_string(lines_ignored);
}
