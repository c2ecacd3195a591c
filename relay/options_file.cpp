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

// A whole decimal number of any length, taken as kLargestCount when larger; nothing for
// anything else. (A channel number or a limit beyond it names no channel, and limits nothing,
// in practice.)
constexpr int kLargestCount = 999999999;
std::optional<int> Count(std::string_view text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
  text.remove_prefix(std::min(text.find_first_not_of('0'), text.size()));
  return text.empty() ? 0 : WholeNumber(text, 0, kLargestCount).value_or(kLargestCount);
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

// A keyword that takes one whole number from `low` to `high`; `wanted` says what it takes.
std::string ReadOneNumber(const OptionLine& line, TOptionValue<int>& option, const std::string& wanted, int low,
                          int high) {
  if (line.values.size() != 1) return wanted + (line.values.empty() ? "; it has none" : "; it has more");
  const std::optional<int> value = WholeNumber(line.values[0], low, high);
  if (!value) return wanted + ", not " + Quoted(line.values[0]);
  return SetOnce(option, *value, line);
}

// retry SECONDS
std::string ReadRetry(const OptionLine& line, TRelayOptions& options, TClosedSides&) {
  return ReadOneNumber(line, options.Retry,
                       "retry takes one value, the seconds between tries, from 1 to " + std::to_string(kLongestRetry),
                       1, kLongestRetry);
}

// backlog CONNECTIONS
std::string ReadBacklog(const OptionLine& line, TRelayOptions& options, TClosedSides&) {
  return ReadOneNumber(line, options.Backlog,
                       "backlog takes one value, the connections that may wait to be accepted, from 1 to " +
                           std::to_string(kLargestBacklog),
                       1, kLargestBacklog);
}

// The side a value names: "device" or "server", in any letter case.
std::optional<TListenerSide> SideNamed(std::string_view value) {
  for (TListenerSide side : {lsDevice, lsServer}) {
    if (SameTextIgnoringAsciiCase(value, SideName(side))) return side;
  }
  return std::nullopt;
}

// The sides a line keeps closed when it cannot be read: the side it names, both when it names
// none, of its channel or of every channel.
TClosedSides Closing(const OptionLine& line, std::optional<TListenerSide> side, int channel = 0) {
  TClosedSides closes;
  closes.line = line.number;
  closes.channel = channel;
  for (TListenerSide s : {lsDevice, lsServer}) closes.sides[s] = !side || *side == s;
  return closes;
}

// The side named by the first value of a line of `keyword`, with `closes` set to what the line
// keeps closed if it is wrong; an empty text when it names one.
std::string ReadSide(const OptionLine& line, std::size_t at, const std::string& wanted, TClosedSides& closes,
                     std::optional<TListenerSide>& side, int channel = 0) {
  side = at < line.values.size() ? SideNamed(line.values[at]) : std::nullopt;
  closes = Closing(line, side, channel);
  if (side) return std::string();
  return wanted + (at < line.values.size() ? ", not " + Quoted(line.values[at]) : "; it has none");
}

std::string SecondTime(const OptionLine& line, TListenerSide side, int first) {
  return AsciiLowerCase(line.keyword) + " " + SideName(side) + " is given a second time: line " +
         std::to_string(first) + " counts";
}

// SIDE VALUE: the value `parse` reads, for the side's `option`; given once (the first counts).
template <typename T, typename Parse>
std::string ReadSideValue(const OptionLine& line, const std::string& wanted, const char* value_name, Parse parse,
                          TOptionValue<T> TSideOptions::*option, TRelayOptions& options, TClosedSides& closes) {
  std::optional<TListenerSide> side;
  if (std::string problem = ReadSide(line, 0, wanted, closes, side); !problem.empty()) return problem;
  if (line.values.size() != 2) {
    return wanted + (line.values.size() < 2 ? std::string("; it has no ") + value_name : std::string("; it has more"));
  }
  const std::optional<T> value = parse(line.values[1]);
  if (!value) return wanted + ", not " + Quoted(line.values[1]);
  TOptionValue<T>& given = options.Access.Sides[*side].*option;
  if (given.Given()) {
    closes = TClosedSides{};  // the first one counts
    return SecondTime(line, *side, given.line);
  }
  given = TOptionValue<T>{*value, line.number};
  return std::string();
}

// bind SIDE ADDRESS
std::string ReadBind(const OptionLine& line, TRelayOptions& options, TClosedSides& closes) {
  return ReadSideValue(line, "bind takes a side (device or server) and one IPv4 address", "address",
                       &ParseIPv4Address, &TSideOptions::Bind, options, closes);
}

// allow [K] SIDE NETWORK...
std::string ReadAllow(const OptionLine& line, TRelayOptions& options, TClosedSides& closes) {
  const std::string wanted =
      "allow takes a side (device or server), or a channel number and a side, then IPv4 addresses or networks";
  std::size_t at = 0;
  int channel = 0;  // every channel
  if (std::optional<int> number = line.values.empty() ? std::nullopt : Count(line.values[0])) {
    if (*number == 0) return "there is no channel 0: channels count from 1";
    channel = *number;
    at = 1;
  }
  std::optional<TListenerSide> side;
  if (std::string problem = ReadSide(line, at, wanted, closes, side, channel); !problem.empty()) return problem;
  if (line.values.size() == at + 1) return wanted + "; it has no network";
  std::vector<IPv4Network> networks;
  for (std::size_t i = at + 1; i < line.values.size(); ++i) {
    std::string why;
    const std::optional<IPv4Network> network = ParseIPv4Network(line.values[i], why);
    if (!network) return Quoted(line.values[i]) + " " + why;
    networks.push_back(*network);
  }
  TAllowList& list = channel == 0 ? options.Access.Sides[*side].Allow : options.Access.ChannelAllow[channel][*side];
  list.networks.insert(list.networks.end(), networks.begin(), networks.end());
  list.lines.push_back(line.number);
  return std::string();
}

// limit SIDE N
std::string ReadLimit(const OptionLine& line, TRelayOptions& options, TClosedSides& closes) {
  auto positive = [](std::string_view text) {
    const std::optional<int> count = Count(text);
    return count && *count > 0 ? count : std::nullopt;
  };
  return ReadSideValue(line,
                       "limit takes a side (device or server) and the most connections at once, a whole number "
                       "from 1",
                       "number", positive, &TSideOptions::Limit, options, closes);
}

// Keeps every listener closed: a serial line that cannot be read may have been meant for any
// channel.
TClosedSides ClosingAll(int line) {
  TClosedSides closes;
  closes.line = line;
  closes.sides = {true, true};
  return closes;
}

// serial [K] BAUD FRAME [FLOW] [rs485]
std::string ReadSerial(const OptionLine& line, TRelayOptions& options, TClosedSides& closes) {
  std::string problem = ReadSerialValues(line.values, line.number, options.Serial);
  if (!problem.empty()) closes = ClosingAll(line.number);
  return problem;
}

// The keywords: each reads the values of its line into the options, and answers what is wrong
// with them (empty when nothing is) and, for a line about access, what it keeps closed then.
struct OptionKeyword {
  const char* name;
  std::string (*read)(const OptionLine& line, TRelayOptions& options, TClosedSides& closes);
};

constexpr OptionKeyword kKeywords[] = {
    {"retry", &ReadRetry},
    {"backlog", &ReadBacklog},
    {"bind", &ReadBind},
    {"allow", &ReadAllow},
    {"limit", &ReadLimit},
    {"serial", &ReadSerial},
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
    TClosedSides closes;
    std::string problem =
        keyword ? keyword->read(line, file.Options, closes) : "unknown keyword " + Quoted(line.keyword);
    if (!problem.empty()) {
      if (closes.Any()) file.Options.Access.Closed.push_back(closes);
      file.Problems.push_back(TOptionsProblem{line.number, std::move(problem), closes});
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
    // Nobody knows what it allows: every listener stays closed.
    TClosedSides closes;
    closes.sides = {true, true};
    file.Options.Access.Closed.push_back(closes);
    file.Problems.push_back(TOptionsProblem{0, SystemErrorText(code), closes});
    return file;
  }
  return ReadOptionsText(contents);
}

std::vector<TOptionsProblem> MissingChannelProblems(const TRelayOptions& options, int channel_count) {
  std::vector<TOptionsProblem> problems;
  for (auto [line, k] : MissingChannelLines(options.Access, channel_count)) {
    TOptionsProblem problem{line,
                            "the channel file has no channel " + std::to_string(k) + " (it has " +
                                std::to_string(channel_count) + ")",
                            TClosedSides{}};
    problem.changes_nothing = true;
    problems.push_back(std::move(problem));
  }
  return problems;
}

void AddSerialChannelProblems(TOptionsFile& file, int channel_count, const std::function<std::int32_t(int)>& type_of) {
  for (auto& [line, what] : SerialLinesOfOtherChannels(file.Options.Serial, channel_count, type_of)) {
    const TClosedSides closes = ClosingAll(line);
    file.Options.Access.Closed.push_back(closes);
    file.Problems.push_back(TOptionsProblem{line, std::move(what), closes});
    std::erase_if(file.Taken, [line = line](const TOptionsLine& taken) { return taken.line == line; });
  }
}

std::string ProblemConsequence(const TOptionsProblem& problem, int channel_count) {
  return problem.changes_nothing ? "the line changes nothing" : ClosingConsequence(problem.closes, channel_count);
}

platform::Text OptionsProblemEntry(const std::string& path, const TOptionsProblem& problem, int channel_count) {
  const platform::Text head =
      platform::Text("Options file \"") + platform::Text::FromOutside(path) + platform::Text("\"");
  if (problem.line == 0) {
    return head + platform::Text(" cannot be read: ") + platform::Text::FromOutside(problem.what) +
           platform::Text("; " + ProblemConsequence(problem, channel_count));
  }
  return head + platform::Text(", line " + std::to_string(problem.line) + ": ") +
         platform::Text::FromOutside(problem.what) +
         platform::Text("; " + ProblemConsequence(problem, channel_count));
}
