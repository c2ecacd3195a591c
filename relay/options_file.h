#pragma once
// The options file cnf_options.cfg beside the channel file: what goes beyond the channels.
// One option a line: a keyword in any letter case, then its values, separated by blanks or
// tabs; "#" starts a comment to the end of the line; blank lines are left alone; UTF-8 (with
// or without its byte-order mark) or code page 1251, CR LF or LF line ends. A line that cannot
// be read (an unknown keyword, a value out of range, a keyword given a second time: the first
// one counts) is left out and reported; the rest of the file counts; a bind, allow or limit
// line that cannot be read also keeps the listeners it concerns closed, a serial line every
// listener. A missing file sets
// nothing.
//
// Each keyword is one entry of the reader's table (options_file.cpp): its name and a function
// that reads the values of its line into TRelayOptions.
//
// No state; any thread.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"
#include "relay/access_options.h"
#include "relay/serial_options.h"

inline constexpr char kOptionsFileName[] = "cnf_options.cfg";

inline constexpr int kLongestRetry = 3600;
inline constexpr int kLargestBacklog = 65535;

struct TRelayOptions {
  // retry SECONDS (1..kLongestRetry): what failed to open, and serial devices that went away,
  // are tried again every SECONDS. Not given: never retried.
  TOptionValue<int> Retry;
  // backlog CONNECTIONS (1..kLargestBacklog): how many connections may wait in the system's
  // queue of every listener until the relay accepts them (the system lowers a larger value to
  // its own maximum). Not given: 5.
  TOptionValue<int> Backlog;
  // bind SIDE ADDRESS, allow [K] SIDE NETWORK..., limit SIDE N: who may connect where. A line
  // of these that cannot be read keeps the listeners it concerns closed (Access.Closed), so a
  // mistyped line never lets in more than the file says.
  TAccessOptions Access;
  // serial [K] BAUD FRAME [FLOW] [rs485] (relay/serial_options.h): the line settings of serial
  // channels. A serial line that cannot be read keeps every listener closed.
  TSerialOptions Serial;
};

// Something the reader could not take: a line (number from 1), or the file as a whole (0).
struct TOptionsProblem {
  int line = 0;
  std::string what;      // may hold bytes of the file
  TClosedSides closes;   // what the line keeps closed; nothing for other keywords
  bool changes_nothing = false;  // a line that was read but concerns nothing there is
};

// A line the reader took, as it took it ("retry 5": the keyword in lower case, then the values).
struct TOptionsLine {
  int line = 0;
  std::string text;
};

struct TOptionsFile {
  bool Found = false;  // something stands at the file's path
  TRelayOptions Options;
  std::vector<TOptionsLine> Taken;
  std::vector<TOptionsProblem> Problems;
};

// Reads the text of an options file.
TOptionsFile ReadOptionsText(std::string_view text);

// Reads cnf_options.cfg in `directory` (which ends in a path separator). A path that holds
// something that cannot be read (no permission, a directory) is one problem of line 0: the
// defaults hold, but every listener stays closed, since the file may have said who may connect.
TOptionsFile LoadOptionsFile(const std::string& directory);

// What only the channel file shows: each line that gives a channel the file does not have a
// list of its own ("the channel file has no channel 9 (it has 2)"). Such a line changes nothing.
std::vector<TOptionsProblem> MissingChannelProblems(const TRelayOptions& options, int channel_count);

// What only the channel file's types show: each serial line of a channel that is not a serial
// channel. Such a line cannot be read: it keeps every listener closed (added to
// file.Options.Access.Closed), moves from file.Taken to file.Problems.
void AddSerialChannelProblems(TOptionsFile& file, int channel_count, const std::function<std::int32_t(int)>& type_of);

// What the line of a problem does, for a channel file of `channel_count` channels: "the line
// is left out", "the device side of every channel opens no listener", "the line changes
// nothing", ...
std::string ProblemConsequence(const TOptionsProblem& problem, int channel_count);

// The warning entry of a problem of the file at `path`, for a channel file of `channel_count`
// channels:
// Options file "/opt/korvenet/cnf_options.cfg", line 4: unknown keyword "retyr"; the line is left out
platform::Text OptionsProblemEntry(const std::string& path, const TOptionsProblem& problem, int channel_count);
