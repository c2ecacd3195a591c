#pragma once
// Splitting a text into lines, for the files the service reads. Keeps no state; any thread.

#include <algorithm>
#include <string_view>

// Whether a NUL byte ends the text (the channel file) or is one more byte of a line.
enum class NulByte { kEndsText, kInLine };

// Calls `take` with each line of `text`, in order, without keeping them. A line ends at CR or
// LF; one CR and then one LF are skipped after it, so CR LF, LF and a lone CR each end one line
// (LF CR ends two). A terminator at the very end adds no further line; an empty text has none.
// With NulByte::kEndsText a NUL ends the line it stands in and the whole text.
template <typename Take>
void ForEachLine(std::string_view text, NulByte nul, Take take) {
  const bool nul_ends = nul == NulByte::kEndsText;
  const std::string_view ends = nul_ends ? std::string_view("\r\n\0", 3) : std::string_view("\r\n");
  std::size_t pos = 0;
  while (pos < text.size() && !(nul_ends && text[pos] == '\0')) {
    const std::size_t end = std::min(text.find_first_of(ends, pos), text.size());
    take(text.substr(pos, end - pos));
    pos = end;
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;
  }
}
