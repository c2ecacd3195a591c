#pragma once
// Who a listener of the relay takes in, and the refusals it tells the operator about.
//
// A PeerRule is the allow-lists and connection limits a listener answers to: those of every
// channel whose side listens on the listener's port, since what a peer sends there reaches all
// of them (a peer must be in each list; the lowest limit counts). A RefusalLog counts the peers
// refused for one reason and gives at most one warning entry a minute, so that a scanner or a
// flood cannot fill the system log: the first refusal is told at once, the ones that follow
// within the minute together at its end, by the first of them and a count.
//
// Plain values: the owner's thread (the relay's service thread).

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/entry_rate_limit.h"
#include "relay/access_options.h"
#include "relay/port_index.h"

enum TRefusal { rfNotAllowed, rfOverLimit };

class PeerRule {
 public:
  // An allow-list the rule answers to, and whose it is: channel k's own, or (0) its side's.
  struct List {
    TAllowList list;
    int own_channel = 0;
  };

  // Adds what the options give side `side` of channel k.
  void Add(const TSideAccess& access, int k);
  // True when the rule can refuse anyone.
  bool Restricts() const { return !lists_.empty() || limit_ > 0; }
  int Limit() const { return limit_; }
  int LimitLine() const { return limit_line_; }
  // Each list once, in the order of the channels.
  const std::vector<List>& Lists() const { return lists_; }
  // The listener opens no listener: SideAccess's closed_by.
  std::optional<int> ClosedBy() const { return closed_by_; }
  // Why a peer from `peer` is refused while `connections` are open; nothing when it is taken in.
  std::optional<TRefusal> Judge(IPv4Address peer, int connections) const;

 private:
  std::vector<List> lists_;
  int limit_ = 0;  // 0: none
  int limit_line_ = 0;
  std::optional<int> closed_by_;
};

// The rule of the listener of side `side` of channel k, which listens on `port`: the access of
// every channel that `ports` (the relay's index of that side) lists on that port, since what a
// peer sends there reaches all of them. A listener of port 0, or of no TCP port, has a port of
// its own. The service and the check both judge a listener by this.
PeerRule ListenerRule(const TAccessOptions& options, TListenerSide side, int k, std::int32_t port,
                      const PortIndex& ports);

class RefusalLog {
 public:
  using Clock = platform::EntryPace::Clock;
  static constexpr Clock::duration kEntryInterval = std::chrono::minutes(1);

  // What one warning entry tells: the first peer it covers and how many more it covers.
  struct Entry {
    IPv4Address first = 0;
    std::uint64_t more = 0;
  };

  // A peer refused at `now`: counted; answers the entry to write now, if one is due.
  std::optional<Entry> Note(IPv4Address peer, Clock::time_point now);
  // The entry of the refusals not told yet, once the minute since the last entry is over.
  std::optional<Entry> Due(Clock::time_point now);
  // When Due gives an entry; max when no refusal waits to be told.
  Clock::time_point DueAt() const { return pace_.DueAt(); }
  // Every peer refused so far.
  std::uint64_t Count() const { return count_; }

 private:
  std::uint64_t count_ = 0;
  std::uint64_t untold_ = 0;
  IPv4Address first_untold_ = 0;
  platform::EntryPace pace_{kEntryInterval};
};
