#pragma once
// The channel file cnf_port.cfg: one channel per line, fields separated by ";". The functions
// here keep no state; any thread may call them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/exception.h"
#include "relay/arrays_vars.h"

inline constexpr char kChannelFileName[] = "cnf_port.cfg";

// The channel file exists but cannot be opened or read.
class EFOpenError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "EFOpenError"; }
};

// Splits a text into lines. A line ends at CR, LF or NUL; one CR and then one LF are skipped
// after it, so CR LF, LF and CR each end one line. NUL ends the whole text. A terminator at the
// very end adds no further line; an empty text has none.
std::vector<std::string> SplitLines(std::string_view text);

// Field n (1..5) of a line: leading blanks dropped, trailing blanks kept, "0" when the line has
// fewer than n - 1 semicolons.
std::string ChannelField(std::string_view line, int n);

// A signed 32-bit decimal or hexadecimal ($, x, X or 0x) number; 0 when the text is not one.
std::int32_t ParseInt(std::string_view text);

// What LoadChannelFile read.
struct TChannelFile {
  bool Found = false;  // false: there is no such regular file
  // In file order: channel k is Channels[k - 1]. At most kMaxChannels.
  std::vector<TSootv> Channels;
  // Lines beyond the last channel, left out.
  std::int32_t LinesIgnored = 0;
};

// Reads the channel file in `directory` (which ends in a path separator). Every line is a
// channel; lines beyond kMaxChannels are left out and counted. Raises EFOpenError when the
// file exists but cannot be read. Writes no log itself. Any thread.
TChannelFile LoadChannelFile(const std::string& directory);

// The log_service.txt text that reports `lines_ignored` lines left out; empty for none.
std::string ChannelLinesIgnoredLogText(std::int32_t lines_ignored);
