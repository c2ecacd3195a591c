#pragma once
// Limits on entries that outside parties can cause at will (a peer's connection errors, peers
// refused, clients misusing the status endpoint), so that they cannot flood the system's log.
// EntryPace: one entry an interval, the rest told together in the next. EntryRateLimit: of the
// entries of one kind, the first `per_window` of a window are written and the rest are counted;
// when the window ends the count becomes one summary. Plain values, not thread-safe: each
// owner calls them from one thread or under its own lock (the event-log sink). Only standard
// C++.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform {

// One entry an interval: the first thing to tell is told at once; what follows within the
// interval since the last entry waits, and is told, together, in one entry once it is over (the
// next interval counts from that entry). The owner keeps what an entry tells.
class EntryPace {
 public:
  using Clock = std::chrono::steady_clock;

  explicit EntryPace(Clock::duration interval) : interval_(interval) {}

  // There is something more to tell.
  void Note() { waiting_ = true; }
  // True when what waits is to be told at `now`: the owner writes that entry.
  bool Due(Clock::time_point now) {
    if (now < DueAt()) return false;
    waiting_ = false;
    told_ = true;
    last_entry_ = now;
    return true;
  }
  // When Due answers true; max when nothing waits.
  Clock::time_point DueAt() const {
    if (!waiting_) return Clock::time_point::max();
    return told_ ? last_entry_ + interval_ : Clock::time_point::min();
  }

 private:
  Clock::duration interval_;
  bool waiting_ = false;
  // Whether an entry was told yet, and when the last was (a flag rather than an optional,
  // which some optimisation levels take for read before it is set).
  bool told_ = false;
  Clock::time_point last_entry_{};
};

}  // namespace platform

namespace platform::detail {

template <typename Payload>
class EntryRateLimit {
 public:
  using Clock = std::chrono::steady_clock;

  struct Summary {
    Payload payload;         // what the first entry of the window carried
    std::uint64_t left_out;  // entries of the window that were not written
  };

  EntryRateLimit(int per_window, Clock::duration window, std::size_t max_kinds)
      : per_window_(per_window), window_(window), max_kinds_(max_kinds) {}

  // True when the entry of `kind` may be written now; false when it is counted instead.
  bool Admit(const std::string& kind, const Payload& payload, Clock::time_point now) {
    auto it = kinds_.find(kind);
    if (it != kinds_.end() && now >= it->second.start + window_) {
      EndWindow(it->second);
      it->second.start = now;
    }
    if (it == kinds_.end()) {
      if (kinds_.size() >= max_kinds_) Forget(now);
      if (kinds_.size() >= max_kinds_) return true;  // too many kinds to follow: not limited
      it = kinds_.emplace(kind, Window{payload, now, 0, 0}).first;
    }
    Window& w = it->second;
    if (w.written < per_window_) {
      ++w.written;
      return true;
    }
    ++w.left_out;
    return false;
  }

  // The summaries of windows that ended by `now` (Clock::time_point::max(): of every window).
  std::vector<Summary> TakeEnded(Clock::time_point now) {
    for (auto& [kind, w] : kinds_) {
      if (now == Clock::time_point::max() || now >= w.start + window_) EndWindow(w);
    }
    Forget(now);  // a kind starts a new window with its next entry
    std::vector<Summary> ended;
    ended.swap(ended_);
    return ended;
  }

  // When the next window with entries left out ends; none when there is none.
  std::optional<Clock::time_point> NextEnd() const {
    if (!ended_.empty()) return Clock::time_point::min();
    std::optional<Clock::time_point> next;
    for (const auto& [kind, w] : kinds_) {
      if (w.left_out > 0 && (!next || w.start + window_ < *next)) next = w.start + window_;
    }
    return next;
  }

 private:
  struct Window {
    Payload payload;
    Clock::time_point start;
    int written;
    std::uint64_t left_out;
  };

  void EndWindow(Window& w) {
    if (w.left_out > 0) ended_.push_back(Summary{w.payload, w.left_out});
    w.left_out = 0;
    w.written = 0;
  }

  // Drops kinds whose window has ended with nothing left out: they start afresh.
  void Forget(Clock::time_point now) {
    for (auto it = kinds_.begin(); it != kinds_.end();) {
      const bool ended = now == Clock::time_point::max() || now >= it->second.start + window_;
      if (ended && it->second.left_out == 0) {
        it = kinds_.erase(it);
      } else {
        ++it;
      }
    }
  }

  const int per_window_;
  const Clock::duration window_;
  const std::size_t max_kinds_;
  std::map<std::string, Window> kinds_;
  std::vector<Summary> ended_;
};

}  // namespace platform::detail
