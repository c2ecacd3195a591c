#include "relay/options_file.h"

#include <algorithm>
#include <optional>

#include "base/ascii_text.h"
#include "base/exception.h"
#include "base/text_lines.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

// What the reader knows of the channel file: its channels, and each one's type when known.
struct KnownChannels {
  int count = 0;
  const ChannelTypeOf& type_of;
};

// A line split into its keyword and values.
struct OptionLine {
  int number = 0;
  std::string_view keyword;
  std::vector<std::string_view> values;
};

// A value of the file as a warning shows it: quoted, control characters escaped, cut after 40
// bytes.
std::string Quoted(std::string_view value) { return platform::QuotedField(value, 40); }

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
std::string ReadRetry(const OptionLine& line, TRelayOptions& options, const KnownChannels&) {
  return ReadOneNumber(line, options.Retry,
                       "retry takes one value, the seconds between tries, from 1 to " + std::to_string(kLongestRetry),
                       1, kLongestRetry);
}

// backlog CONNECTIONS
std::string ReadBacklog(const OptionLine& line, TRelayOptions& options, const KnownChannels&) {
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

// The side named by value `at` of a line; an empty text when it names one.
std::string ReadSide(const OptionLine& line, std::size_t at, const std::string& wanted,
                     std::optional<TListenerSide>& side) {
  side = at < line.values.size() ? SideNamed(line.values[at]) : std::nullopt;
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
                          TOptionValue<T> TSideOptions::*option, TRelayOptions& options) {
  std::optional<TListenerSide> side;
  if (std::string problem = ReadSide(line, 0, wanted, side); !problem.empty()) return problem;
  if (line.values.size() != 2) {
    return wanted + (line.values.size() < 2 ? std::string("; it has no ") + value_name : std::string("; it has more"));
  }
  const std::optional<T> value = parse(line.values[1]);
  if (!value) return wanted + ", not " + Quoted(line.values[1]);
  TOptionValue<T>& given = options.Access.Sides[*side].*option;
  if (given.Given()) return SecondTime(line, *side, given.line);
  given = TOptionValue<T>{*value, line.number};
  return std::string();
}

// bind SIDE ADDRESS
std::string ReadBind(const OptionLine& line, TRelayOptions& options, const KnownChannels&) {
  return ReadSideValue(line, "bind takes a side (device or server) and one IPv4 address", "address",
                       &ParseIPv4Address, &TSideOptions::Bind, options);
}

// What is wrong with channel number k of a line, empty when nothing is; `serial`: a line about
// a serial channel.
std::string ChannelProblem(int k, const KnownChannels& channels, bool serial) {
  if (k == 0) return "there is no channel 0: channels count from 1";
  if (k > channels.count) {
    return "the channel file has no channel " + std::to_string(k) + " (it has " + std::to_string(channels.count) +
           ")";
  }
  if (serial && channels.type_of) {
    if (const std::int32_t type = channels.type_of(k); type != 1) {
      return "channel " + std::to_string(k) + " is not a serial channel (its type is " + std::to_string(type) + ")";
    }
  }
  return std::string();
}

// allow [K] SIDE NETWORK...
std::string ReadAllow(const OptionLine& line, TRelayOptions& options, const KnownChannels& channels) {
  const std::string wanted =
      "allow takes a side (device or server), or a channel number and a side, then IPv4 addresses or networks";
  std::size_t at = 0;
  int channel = 0;  // every channel
  if (std::optional<int> number = line.values.empty() ? std::nullopt : Count(line.values[0])) {
    if (std::string problem = ChannelProblem(*number, channels, false); !problem.empty()) return problem;
    channel = *number;
    at = 1;
  }
  std::optional<TListenerSide> side;
  if (std::string problem = ReadSide(line, at, wanted, side); !problem.empty()) return problem;
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
std::string ReadLimit(const OptionLine& line, TRelayOptions& options, const KnownChannels&) {
  auto positive = [](std::string_view text) {
    const std::optional<int> count = Count(text);
    return count && *count > 0 ? count : std::nullopt;
  };
  return ReadSideValue(line,
                       "limit takes a side (device or server) and the most connections at once, a whole number "
                       "from 1",
                       "number", positive, &TSideOptions::Limit, options);
}

// serial [K] BAUD FRAME [FLOW] [rs485]
std::string ReadSerial(const OptionLine& line, TRelayOptions& options, const KnownChannels& channels) {
  return ReadSerialValues(
      line.values, line.number, [&](std::int32_t k) { return ChannelProblem(k, channels, true); }, options.Serial);
}

// The keywords: each reads the values of its line into the options, for the channels of the
// channel file, and answers what is wrong with them (empty when nothing is).
struct OptionKeyword {
  const char* name;
  std::string (*read)(const OptionLine& line, TRelayOptions& options, const KnownChannels& channels);
};

constexpr OptionKeyword kKeywords[] = {
    {"retry", &ReadRetry},
    {"backlog", &ReadBacklog},
    {"bind", &ReadBind},
    {"allow", &ReadAllow},
    {"limit", &ReadLimit},
    {"serial", &ReadSerial},
};

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

// The code point that starts at `at` of valid UTF-8 text; `at` moves past it.
char32_t NextCodePoint(std::string_view text, std::size_t& at) {
  const auto lead = static_cast<unsigned char>(text[at++]);
  const int more = lead < 0x80 ? 0 : lead < 0xE0 ? 1 : lead < 0xF0 ? 2 : 3;
  char32_t c = more == 0 ? lead : lead & (0x3F >> more);
  for (int i = 0; i < more; ++i) c = (c << 6) | (static_cast<unsigned char>(text[at++]) & 0x3F);
  return c;
}

// Blanks that look like a space, or like nothing, but are not one: a word with one of them in
// it is not the word it shows.
bool IsOtherBlank(char32_t c) {
  return c == 0x85 || c == 0xA0 || c == 0x1680 || c == 0x180E || (c >= 0x2000 && c <= 0x200D) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x2060 || c == 0x3000;
}

std::string CodePointText(char32_t c) { return FormatText("U+%04X", static_cast<unsigned>(c)); }

// What makes the bytes of a line unreadable, comment included; empty when nothing does.
// `utf8`: the file is UTF-8, else code page 1251.
std::string ByteProblem(std::string_view text, bool utf8) {
  for (std::size_t at = 0; at < text.size();) {
    const char32_t c = utf8 ? NextCodePoint(text, at) : static_cast<unsigned char>(text[at++]);
    if (c == 0) return "holds a NUL byte: the file is not UTF-8 or code page 1251 text (UTF-16 or UTF-32?)";
    if (c == '\t') continue;
    if (c < 0x20 || c == 0x7F || (utf8 && c >= 0x80 && c < 0xA0)) {
      return "holds the control character " + FormatText("0x%02X", static_cast<unsigned>(c)) +
             ": only spaces and tabs may separate words";
    }
    if (!utf8) {
      // Code page 1251 leaves 0x98 without a character; 0xA0 is its no-break space.
      if (c == 0x98) return "holds the byte 0x98, which is neither UTF-8 nor code page 1251 text";
      if (c == 0xA0) return "holds a no-break space (0xA0): only spaces and tabs may separate words";
      continue;
    }
    if (c == 0xFEFF) return "holds a byte-order mark, which may only start the file";
    if (IsOtherBlank(c)) return "holds the blank " + CodePointText(c) + ": only spaces and tabs may separate words";
  }
  return std::string();
}

// Notes a problem: the first kToldProblems are kept, the rest counted. Any problem closes every
// listener, from its line on.
void AddProblem(TOptionsFile& file, int line, std::string what) {
  if (!file.Options.Access.Closed) file.Options.Access.Closed = line;
  if (file.Problems.size() < static_cast<std::size_t>(kToldProblems)) {
    file.Problems.push_back(TOptionsProblem{line, std::move(what)});
  } else {
    ++file.Untold;
  }
}

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

TOptionsFile ReadOptionsText(std::string_view text, int channel_count, const ChannelTypeOf& type_of) {
  const KnownChannels channels{channel_count, type_of};
  TOptionsFile file;
  file.Found = true;
  // UTF-16 and UTF-32 by their byte-order marks: one problem rather than one per line.
  for (std::string_view mark : {std::string_view("\xFF\xFE", 2), std::string_view("\xFE\xFF", 2),
                                std::string_view("\0\0\xFE\xFF", 4)}) {
    if (text.substr(0, mark.size()) == mark) {
      AddProblem(file, 0, "it is UTF-16 or UTF-32 text: it must be UTF-8 or code page 1251");
      return file;
    }
  }
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
  const bool utf8 = platform::IsValidUtf8(text);
  int number = 0;
  // LF, CR LF and a lone CR each end a line.
  ForEachLine(text, NulByte::kInLine, [&](std::string_view bytes) {
    ++number;
    if (std::string problem = ByteProblem(bytes, utf8); !problem.empty()) {
      AddProblem(file, number, "the line " + problem);
      return;
    }
    const OptionLine line = SplitLine(number, bytes);
    if (line.keyword.empty()) return;
    const OptionKeyword* keyword = nullptr;
    for (const OptionKeyword& candidate : kKeywords) {
      if (SameTextIgnoringAsciiCase(line.keyword, candidate.name)) keyword = &candidate;
    }
    std::string problem =
        keyword ? keyword->read(line, file.Options, channels) : "unknown keyword " + Quoted(line.keyword);
    if (!problem.empty()) {
      AddProblem(file, line.number, std::move(problem));
      return;
    }
    std::string taken = AsciiLowerCase(line.keyword);
    for (std::string_view value : line.values) {
      taken += ' ';
      taken += value;
    }
    file.Taken.push_back(TOptionsLine{line.number, std::move(taken)});
  });
  return file;
}

TOptionsFile LoadOptionsFile(const std::string& directory, int channel_count, const ChannelTypeOf& type_of) {
  const std::string path = directory + kOptionsFileName;
  if (!platform::PathExists(path)) return TOptionsFile{};
  std::string contents;
  int error = 0;
  std::string why;
  switch (platform::ReadSmallFile(path, kLargestOptionsFile, contents, error)) {
    case platform::SmallFileRead::kRead:
      return ReadOptionsText(contents, channel_count, type_of);
    case platform::SmallFileRead::kFailed:
      why = SystemErrorText(error);
      break;
    case platform::SmallFileRead::kNotRegular:
      why = "it is not a regular file";
      break;
    case platform::SmallFileRead::kTooLarge:
      why = "it is larger than " + std::to_string(kLargestOptionsFile >> 20) + " MiB";
      break;
  }
  TOptionsFile file;
  file.Found = true;
  AddProblem(file, 0, std::move(why));
  return file;
}

namespace {

// "7 more lines cannot be read"; empty when none is untold.
std::string UntoldText(const TOptionsFile& file) {
  if (file.Untold == 0) return std::string();
  return std::to_string(file.Untold) + (file.Untold == 1 ? " more line cannot be read" : " more lines cannot be read");
}

}  // namespace

std::string ClosedReason(const TOptionsFile& file) {
  if (file.Readable()) return std::string();
  const TOptionsProblem& first = file.Problems.front();
  if (first.line == 0) return "options file cannot be read: " + first.what;
  const std::size_t more = file.Problems.size() - 1 + static_cast<std::size_t>(file.Untold);
  return "options file line " + std::to_string(first.line) + ": " + first.what +
         (more == 0 ? "" : " (and " + std::to_string(more) + (more == 1 ? " more line)" : " more lines)"));
}

std::vector<std::string> ToldProblems(const TOptionsFile& file) {
  std::vector<std::string> told;
  for (const TOptionsProblem& problem : file.Problems) {
    told.push_back(problem.line == 0 ? "the file cannot be read: " + problem.what
                                     : "line " + std::to_string(problem.line) + ": " + problem.what);
  }
  if (file.Untold > 0) told.push_back(UntoldText(file));
  return told;
}

std::vector<platform::Text> OptionsProblemEntries(const std::string& path, const TOptionsFile& file,
                                                  const std::string& consequence) {
  const platform::Text head =
      platform::Text("Options file \"") + platform::Text::FromOutside(path) + platform::Text("\"");
  std::vector<platform::Text> entries;
  for (const TOptionsProblem& problem : file.Problems) {
    const platform::Text where = problem.line == 0 ? platform::Text(" cannot be read: ")
                                                   : platform::Text(", line " + std::to_string(problem.line) + ": ");
    entries.push_back(head + where + platform::Text::FromOutside(problem.what) + platform::Text(consequence));
  }
  if (file.Untold > 0) entries.push_back(head + platform::Text(": " + UntoldText(file) + consequence));
  return entries;
}
