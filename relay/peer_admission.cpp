#include "relay/peer_admission.h"

#include <algorithm>

void PeerRule::Add(const TSideAccess& access) {
  if (access.allow) lists_.push_back(*access.allow);
  if (access.limit > 0) limit_ = limit_ == 0 ? access.limit : std::min(limit_, access.limit);
}

std::optional<TRefusal> PeerRule::Judge(IPv4Address peer, int connections) const {
  for (const TAllowList& list : lists_) {
    if (!list.Admits(peer)) return rfNotAllowed;
  }
  if (limit_ > 0 && connections >= limit_) return rfOverLimit;
  return std::nullopt;
}

std::optional<RefusalLog::Entry> RefusalLog::Note(IPv4Address peer, Clock::time_point now) {
  ++count_;
  if (untold_++ == 0) first_untold_ = peer;
  return Due(now);
}

std::optional<RefusalLog::Entry> RefusalLog::Due(Clock::time_point now) {
  if (untold_ == 0 || now < DueAt()) return std::nullopt;
  const Entry entry{first_untold_, untold_ - 1};
  untold_ = 0;
  last_entry_ = now;
  return entry;
}

RefusalLog::Clock::time_point RefusalLog::DueAt() const {
  if (untold_ == 0) return Clock::time_point::max();
  return last_entry_ ? *last_entry_ + kEntryInterval : Clock::time_point::min();
}
