#include "relay/peer_admission.h"

#include <algorithm>

void PeerRule::Add(const TSideAccess& access, int k) {
  if (access.allow) {
    // The side's list, which several channels share, counts once.
    const int own = access.own_list ? k : 0;
    const bool known = std::any_of(lists_.begin(), lists_.end(), [&](const List& list) {
      return list.own_channel == own && list.list.lines == access.allow->lines;
    });
    if (!known) lists_.push_back(List{*access.allow, own});
  }
  if (access.limit > 0 && (limit_ == 0 || access.limit < limit_)) {
    limit_ = access.limit;
    limit_line_ = access.limit_line;
  }
  if (access.closed_by && (!closed_by_ || *access.closed_by < *closed_by_)) closed_by_ = access.closed_by;
}

std::optional<TRefusal> PeerRule::Judge(IPv4Address peer, int connections) const {
  for (const List& list : lists_) {
    if (!list.list.Admits(peer)) return rfNotAllowed;
  }
  if (limit_ > 0 && connections >= limit_) return rfOverLimit;
  return std::nullopt;
}

std::optional<RefusalLog::Entry> RefusalLog::Note(IPv4Address peer, Clock::time_point now) {
  ++count_;
  if (untold_++ == 0) first_untold_ = peer;
  pace_.Note();
  return Due(now);
}

std::optional<RefusalLog::Entry> RefusalLog::Due(Clock::time_point now) {
  if (!pace_.Due(now)) return std::nullopt;
  const Entry entry{first_untold_, untold_ - 1};
  untold_ = 0;
  return entry;
}

PeerRule ListenerRule(const TAccessOptions& options, TListenerSide side, int k, std::int32_t port,
                      const PortIndex& ports) {
  PeerRule rule;
  const std::span<const int> sharing = ports.Sharing(port);
  if (sharing.empty()) {
    rule.Add(SideAccess(options, side, k), k);
  } else {
    for (int j : sharing) rule.Add(SideAccess(options, side, j), j);
  }
  return rule;
}
