#pragma once
// Who may connect where, as the options file says it: per side, the local address its
// listeners bind, the networks its peers may come from and how many may be connected at once;
// per channel, a list of its own that replaces its side's; and whether the file could be read at
// all, without which no listener opens. What one side of one channel gets is SideAccess. No
// state; any thread.

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "base/ipv4_address.h"
#include "relay/listener_side.h"

// A value of the options file and the line it came from (0: not given, the default holds).
template <typename T>
struct TOptionValue {
  T value{};
  int line = 0;
  bool Given() const { return line > 0; }
};

// The networks of the allow lines of a side or a channel's side, in order. No line: anyone.
struct TAllowList {
  std::vector<IPv4Network> networks;
  std::vector<int> lines;
  bool Given() const { return !lines.empty(); }
  bool Admits(IPv4Address peer) const;
};

struct TSideOptions {
  TOptionValue<IPv4Address> Bind;  // bind SIDE ADDRESS; not given: every local address
  TAllowList Allow;                // allow SIDE NETWORK...
  TOptionValue<int> Limit;         // limit SIDE N; not given: no limit
};

struct TAccessOptions {
  std::array<TSideOptions, 2> Sides;                   // by TListenerSide
  std::map<int, std::array<TAllowList, 2>> ChannelAllow;  // allow K SIDE: by channel, then side
  // The first line of the file that could not be read (0: the file as a whole). Then no
  // listener opens: nobody knows what the file meant to allow.
  std::optional<int> Closed;
  // True when any line of the file is about access (the defaults do not all hold).
  bool Given() const;
};

// What side `side` of channel k gets.
struct TSideAccess {
  IPv4Address bind = 0;               // 0: every local address
  int bind_line = 0;
  const TAllowList* allow = nullptr;  // nullptr: anyone
  bool own_list = false;              // channel k's own list
  int limit = 0;                      // 0: no limit
  int limit_line = 0;
  std::optional<int> closed_by;       // Closed: it opens no listener
};
TSideAccess SideAccess(const TAccessOptions& options, TListenerSide side, int k);

// The lines that give a channel the channel file does not have a list of its own, in order.
std::vector<std::pair<int /*line*/, int /*channel*/>> MissingChannelLines(const TAccessOptions& options,
                                                                         int channel_count);

// True when no peer can come from any network of the list: all of them lie in 0.0.0.0/8 or
// at 224.0.0.0 and above (multicast, reserved, broadcast). Such addresses are never a source.
bool AdmitsNobody(const TAllowList& list);
