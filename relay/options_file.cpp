#include "relay/options_file.h"

#include <algorithm>
#include <optional>

#include "base/ascii_text.h"
#include "base/exception.h"
#include "platform/files.h"

namespace {

// A line split into its keyword and values.
struct OptionLine {
  int number = 0;
  std::string_view keyword;
  std::vector<std::string_view> values;
};

// A value of the file as a warning shows it: in double quotes, at most kShownBytes of it (not
// cut inside a UTF-8 character), control bytes as "?".
std::string Quoted(std::string_view value) {
  constexpr std::size_t kShownBytes = 40;
  std::string shown = "\"";
  std::size_t end = value.size();
  if (end > kShownBytes) {
    end = kShownBytes;
    while (end > 0 && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80) --end;
  }
  for (char c : value.substr(0, end)) shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  return shown + (end < value.size() ? "...\"" : "\"");
}

std::string AsciiLowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = AsciiLower(c);
  return lower;
}

// A whole decimal number within [low, high]; nothing for anything else.
std::optional<int> WholeNumber(std::string_view text, int low, int high) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

// Stores a value that a file gives once: a second line of the same keyword is a problem, and
// the first one counts.
template <typename T>
std::string SetOnce(TOptionValue<T>& option, T value, const OptionLine& line) {
  if (option.Given()) {
    return AsciiLowerCase(line.keyword) + " is given a second time: line " + std::to_string(option.line) + " counts";
  }
  option = TOptionValue<T>{value, line.number};
  return std::string();
}

// retry SECONDS
std::string ReadRetry(const OptionLine& line, TRelayOptions& options) {
  constexpr int kLongest = 3600;
  const std::string wanted = "retry takes one value, the seconds between tries, from 1 to " + std::to_string(kLongest);
  if (line.values.size() != 1) return wanted + (line.values.empty() ? "; it has none" : "; it has more");
  const std::optional<int> seconds = WholeNumber(line.values[0], 1, kLongest);
  if (!seconds) return wanted + ", not " + Quoted(line.values[0]);
  return SetOnce(options.Retry, *seconds, line);
}

// The keywords: each reads the values of its line into the options, and answers what is wrong
// with them (empty when nothing is).
struct OptionKeyword {
  const char* name;
  std::string (*read)(const OptionLine& line, TRelayOptions& options);
};

constexpr OptionKeyword kKeywords[] = {
    {"retry", &ReadRetry},
};

bool IsSeparator(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The keyword and values of a line without its comment; an empty keyword for a blank line.
OptionLine SplitLine(int number, std::string_view text) {
  OptionLine line;
  line.number = number;
  text = text.substr(0, text.find('#'));
  std::size_t at = 0;
  while (true) {
    while (at < text.size() && IsSeparator(text[at])) ++at;
    if (at == text.size()) break;
    std::size_t end = at;
    while (end < text.size() && !IsSeparator(text[end])) ++end;
    const std::string_view word = text.substr(at, end - at);
    if (line.keyword.empty()) {
      line.keyword = word;
    } else {
      line.values.push_back(word);
    }
    at = end;
  }
  return line;
}

}  // namespace

TOptionsFile ReadOptionsText(std::string_view text) {
  TOptionsFile file;
  file.Found = true;
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
  int number = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const OptionLine line = SplitLine(++number, text.substr(at, end - at));
    at = end + 1;
    if (line.keyword.empty()) continue;
    const OptionKeyword* keyword = nullptr;
    for (const OptionKeyword& candidate : kKeywords) {
      if (SameTextIgnoringAsciiCase(line.keyword, candidate.name)) keyword = &candidate;
    }
    std::string problem = keyword ? keyword->read(line, file.Options) : "unknown keyword " + Quoted(line.keyword);
    if (!problem.empty()) {
      file.Problems.push_back(TOptionsProblem{line.number, std::move(problem)});
      continue;
    }
    std::string taken = AsciiLowerCase(line.keyword);
    for (std::string_view value : line.values) {
      taken += ' ';
      taken += value;
    }
    file.Taken.push_back(TOptionsLine{line.number, std::move(taken)});
  }
  return file;
}

TOptionsFile LoadOptionsFile(const std::string& directory) {
  const std::string path = directory + kOptionsFileName;
  if (!platform::PathExists(path)) return TOptionsFile{};
  std::string contents;
  if (int code = platform::ReadWholeFile(path, contents); code != 0) {
    TOptionsFile file;
    file.Found = true;
    file.Problems.push_back(TOptionsProblem{0, SystemErrorText(code)});
    return file;
  }
  return ReadOptionsText(contents);
}

platform::Text OptionsProblemEntry(const std::string& path, const TOptionsProblem& problem) {
  const platform::Text head =
      platform::Text("Options file \"") + platform::Text::FromOutside(path) + platform::Text("\"");
  if (problem.line == 0) {
    return head + platform::Text(" cannot be read: ") + platform::Text::FromOutside(problem.what) +
           platform::Text("; the defaults hold");
  }
  return head + platform::Text(", line " + std::to_string(problem.line) + ": ") +
         platform::Text::FromOutside(problem.what) + platform::Text("; the line is left out");
}
