#pragma once
// The options file cnf_options.cfg beside the channel file: what goes beyond the channels.
// One option a line: a keyword in any letter case, then its values, separated by spaces or
// tabs; "#" starts a comment to the end of the line; blank lines are left alone; UTF-8 (with
// or without its byte-order mark at the start) or code page 1251; a line ends at LF, CR LF or a
// lone CR. Only a regular file of at most kLargestOptionsFile bytes is read.
//
// The file fails closed: when any line cannot be read (an unknown keyword or channel, a bad
// value, a keyword given a second time, a NUL, a control character, a blank other than space
// and tab, a byte-order mark after the start, bytes of no encoding the file may have), or the
// file itself cannot be read, no listener opens at all, since nobody knows what the file meant
// to allow. A missing file sets nothing.
//
// Each keyword is one entry of the reader's table (options_file.cpp): its name and a function
// that reads the values of its line into TRelayOptions.
//
// No state; any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.h"
#include "relay/access_options.h"
#include "relay/arrays_vars.h"
#include "relay/serial_options.h"

inline constexpr char kOptionsFileName[] = "cnf_options.cfg";
// A larger file is one that cannot be read (the file of 400 channels' options is far smaller).
inline constexpr std::size_t kLargestOptionsFile = 1u << 20;
// The problems told one by one; the rest are counted.
inline constexpr int kToldProblems = 5;

// Channel k's type as the channel file gives it (1: serial, 2: TCP), for k from 1 to the count.
using ChannelTypeOf = std::function<std::int32_t(int k)>;

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
  // bind SIDE ADDRESS, allow [K] SIDE NETWORK..., limit SIDE N: who may connect where.
  TAccessOptions Access;
  // serial [K] BAUD FRAME [FLOW] [rs485] (relay/serial_options.h): the line settings of serial
  // channels.
  TSerialOptions Serial;
};

// Something the reader could not take: a line (number from 1), or the file as a whole (0).
struct TOptionsProblem {
  int line = 0;
  std::string what;  // may hold bytes of the file
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
  // The first kToldProblems problems in the order of the file, and how many more there are.
  // Any problem sets Options.Access.Closed.
  std::vector<TOptionsProblem> Problems;
  long long Untold = 0;
  bool Readable() const { return Problems.empty(); }
};

// Reads the text of an options file for a channel file of `channel_count` channels whose types
// `type_of` gives: a line about a channel beyond them cannot be read either, nor a serial line
// of a channel that is not a serial one (without `type_of`, any channel may be one).
TOptionsFile ReadOptionsText(std::string_view text, int channel_count = kMaxChannels,
                             const ChannelTypeOf& type_of = {});

// Reads cnf_options.cfg in `directory` (which ends in a path separator). A path that holds
// something that cannot be read (no permission, a lock held by a writer, a directory, a FIFO,
// a device, a file over kLargestOptionsFile) is one problem of line 0.
TOptionsFile LoadOptionsFile(const std::string& directory, int channel_count, const ChannelTypeOf& type_of);

// Why no listener opens, when the file has a problem: "options file line 4: unknown keyword
// "alow" (and 2 more lines that cannot be read)", "options file cannot be read: Is a
// directory". The reason of every closed listener, in the service's status and in the check.
std::string ClosedReason(const TOptionsFile& file);

// The problems as the check lists them: "line 4: unknown keyword "alow"" for each told one,
// "the file cannot be read: ..." for the file as a whole, then "7 more lines cannot be read".
std::vector<std::string> ToldProblems(const TOptionsFile& file);

// The error entries of the problems of the file at `path`, as ToldProblems tells them, each
// ending in `consequence` ("; no listener opens"):
// Options file "/opt/korvenet/cnf_options.cfg", line 4: unknown keyword "alow"; no listener opens
std::vector<platform::Text> OptionsProblemEntries(const std::string& path, const TOptionsFile& file,
                                                  const std::string& consequence);
