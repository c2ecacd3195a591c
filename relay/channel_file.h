#pragma once
// The channel file cnf_port.cfg: one channel per line, fields separated by ";".

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/exception.h"

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

// Reads the channel file beside the executable into ChannelTable and ChannelCount. Answers
// false when there is no such regular file (ChannelCount 0, the table left as it was). Lines
// beyond kMaxChannels are left out and counted in ChannelLinesIgnored. Raises EFOpenError
// when the file exists but cannot be read. Writes no log itself.
bool LoadChannelFile();

// The log_service.txt text that reports the lines the last load left out; empty when it left
// out none.
std::string ChannelLinesIgnoredLogText();
