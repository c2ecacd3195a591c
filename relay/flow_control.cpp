#include "relay/flow_control.h"

#include <algorithm>

#include "net/server_client_win_socket.h"
#include "net/server_win_socket.h"
#include "serial/serial_writer.h"

namespace {

template <typename T>
bool Contains(const std::vector<T*>& list, const T* item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

// Calls `visit` for every connection of `listeners` that is open and takes sends.
template <typename Visit>
void ForEachOpen(const std::vector<TServerWinSocket*>& listeners, Visit visit) {
  for (TServerWinSocket* listener : listeners) {
    for (int i = 0, n = listener->ConnectionCount(); i < n; ++i) {
      TServerClientWinSocket* connection = listener->ConnectionAt(i);
      if (connection->Connected()) visit(listener, connection);
    }
  }
}

}  // namespace

std::size_t FlowControl::SerialHighWater(const SerialWriter& port) { return std::max(kSerialHighWater, port.Pace()); }

bool FlowControl::IsPaused(const TServerWinSocket* source) const {
  return !paused_.empty() && paused_.count(source) > 0;
}

bool FlowControl::HasWork() {
  if (!paused_.empty() || !serial_backlogged_.empty()) return true;
  return any_backlogged_;
}

bool FlowControl::OverBudget() const { return TServerClientWinSocket::AllKeptBytes() > budget_; }

bool FlowControl::Released(const TServerClientWinSocket* connection) const {
  return !released_.empty() && released_.count(connection->Id()) > 0;
}

bool FlowControl::CheckCap(TServerWinSocket* destination, TServerClientWinSocket* connection, std::size_t size) {
  if (!connection->Connected()) return false;  // closing: nothing more goes to it
  const std::size_t kept = connection->KeptBytes();
  if (kept == 0 || kept + size <= connection->KeptBytesLimit()) return true;
  // Only the thread whose call asked for the close reports the cut.
  if (connection->CloseLater() && hooks_.cutting) hooks_.cutting(destination, connection, CutReason::kBacklogFull);
  return false;
}

void FlowControl::NoteSend(TServerWinSocket* source, TServerWinSocket* destination,
                           TServerClientWinSocket* connection) {
  const std::size_t kept = connection->KeptBytes();
  if (kept == 0) return;
  {
    std::lock_guard<std::mutex> hold(backlog_lock_);
    backlogged_.insert(destination);
    any_backlogged_ = true;
  }
  if (!source || IsPaused(source)) return;
  if ((kept > kHighWater && !Released(connection)) || OverBudget()) PauseSource(source);
}

void FlowControl::NoteSerialSend(TServerWinSocket* source, SerialWriter* port) {
  const std::size_t kept = port->KeptBytes();
  if (kept == 0) return;
  serial_backlogged_.insert(port);
  if (kept > kSerialCap) {
    Drop(port, CutReason::kBacklogFull);
    return;
  }
  if (source && !IsPaused(source) && kept > SerialHighWater(*port) && released_ports_.count(port) == 0) {
    PauseSource(source);
  }
}

void FlowControl::PauseSource(TServerWinSocket* source) {
  Hold& hold = holds_[source];
  if (Clock::now() - hold.resumed_at > kHoldLimit) hold.since = Clock::time_point();  // it ran free: a new hold
  Pause pause;
  if (hooks_.destinations) pause.destinations = hooks_.destinations(source);
  paused_.emplace(source, std::move(pause));
  source->SetPaused(true);
}

void FlowControl::NoteDrained(TServerWinSocket* destination) {
  if (paused_.empty()) return;
  ResumeDrained([destination](const Destinations& d) { return Contains(d.listeners, destination); });
}

void FlowControl::NoteSerialDrained(SerialWriter* port) {
  if (paused_.empty()) return;
  ResumeDrained([port](const Destinations& d) { return Contains(d.ports, port); });
}

void FlowControl::Tick(Clock::time_point now) {
  TServerClientWinSocket* largest = CheckBacklogged(now);
  for (const auto& [source, pause] : paused_) ReleaseLaggards(source, pause, now);
  KeepBudget(largest, now);
  if (!paused_.empty()) ResumeDrained();
}

void FlowControl::Reset() {
  paused_.clear();
  holds_.clear();
  serial_backlogged_.clear();
  released_.clear();
  released_ports_.clear();
  over_budget_since_ = Clock::time_point();
  std::lock_guard<std::mutex> hold(backlog_lock_);
  backlogged_.clear();
  any_backlogged_ = false;
}

void FlowControl::Forget(SerialWriter* port) {
  serial_backlogged_.erase(port);
  released_ports_.erase(port);
  bool fed = false;
  for (auto& [source, pause] : paused_) fed = std::erase(pause.destinations.ports, port) > 0 || fed;
  if (fed) ResumeDrained();
}

bool FlowControl::Drained(const Destinations& destinations) const {
  if (OverBudget()) return false;
  bool drained = true;
  ForEachOpen(destinations.listeners, [&](TServerWinSocket*, TServerClientWinSocket* connection) {
    drained = drained && (connection->KeptBytes() <= kLowWater || Released(connection));
  });
  for (SerialWriter* port : destinations.ports) {
    drained = drained && (port->KeptBytes() <= SerialLowWater(*port) || released_ports_.count(port) > 0);
  }
  return drained;
}

void FlowControl::ResumeDrained(const std::function<bool(const Destinations&)>& feeds) {
  std::vector<TServerWinSocket*> ready;
  for (auto it = paused_.begin(); it != paused_.end();) {
    if ((!feeds || feeds(it->second.destinations)) && Drained(it->second.destinations)) {
      ready.push_back(const_cast<TServerWinSocket*>(it->first));
      it = paused_.erase(it);
    } else {
      ++it;
    }
  }
  for (TServerWinSocket* source : ready) {
    holds_[source].resumed_at = Clock::now();
    source->SetPaused(false);
    if (hooks_.resume) hooks_.resume(source);
  }
}

TServerClientWinSocket* FlowControl::CheckBacklogged(Clock::time_point now) {
  std::set<TServerWinSocket*> listeners;
  {
    std::lock_guard<std::mutex> hold(backlog_lock_);
    listeners.swap(backlogged_);
    any_backlogged_ = false;
  }
  TServerClientWinSocket* largest = nullptr;
  std::size_t most = 0;
  std::unordered_set<std::uint64_t> still_released;
  std::vector<TServerWinSocket*> keeping;
  for (TServerWinSocket* listener : listeners) {
    bool keeps = false;
    ForEachOpen({listener}, [&](TServerWinSocket*, TServerClientWinSocket* connection) {
      connection->CheckProgress(now);
      const std::size_t kept = connection->KeptBytes();
      if (connection->IsStalled(now, kStallLimit)) return Cut(listener, connection, CutReason::kStalled);
      keeps = keeps || kept > 0;
      // A released connection paces its sources again once it is back at low water.
      if (kept > kLowWater && Released(connection)) still_released.insert(connection->Id());
      if (kept > most) {
        most = kept;
        largest = connection;
      }
    });
    if (keeps) keeping.push_back(listener);
  }
  released_.swap(still_released);
  if (!keeping.empty()) {
    std::lock_guard<std::mutex> hold(backlog_lock_);
    backlogged_.insert(keeping.begin(), keeping.end());
    any_backlogged_ = !backlogged_.empty();
  }
  for (auto it = serial_backlogged_.begin(); it != serial_backlogged_.end();) {
    SerialWriter* port = *it;
    if (port->IsStalled(now, kStallLimit)) Drop(port, CutReason::kStalled);
    if (port->KeptBytes() <= SerialLowWater(*port)) released_ports_.erase(port);
    it = port->KeptBytes() == 0 ? serial_backlogged_.erase(it) : std::next(it);
  }
  return largest;
}

void FlowControl::ReleaseLaggards(const TServerWinSocket* source, const Pause& pause, Clock::time_point now) {
  Hold& hold = holds_[source];
  std::vector<TServerClientWinSocket*> laggards;
  std::vector<SerialWriter*> lagging_ports;
  bool caught_up = false;  // some destination has taken what it was given
  ForEachOpen(pause.destinations.listeners, [&](TServerWinSocket*, TServerClientWinSocket* connection) {
    if (Released(connection)) return;
    if (connection->KeptBytes() > kLowWater) {
      laggards.push_back(connection);
    } else {
      caught_up = true;
    }
  });
  for (SerialWriter* port : pause.destinations.ports) {
    if (released_ports_.count(port) > 0) continue;
    if (port->KeptBytes() > SerialLowWater(*port)) {
      lagging_ports.push_back(port);
    } else {
      caught_up = true;
    }
  }
  // Every laggard is back at low water: the source resumes, and the hold goes on if a laggard
  // is at once behind again (PauseSource starts a new one only after the source ran free).
  if (laggards.empty() && lagging_ports.empty()) return;
  if (!caught_up) {
    hold.since = Clock::time_point();
    return;
  }
  if (hold.since == Clock::time_point()) hold.since = now;
  if (now - hold.since < kHoldLimit) return;
  // The caught-up ones have waited long enough: the laggards keep their own backlogs from now
  // on, and the source goes at the pace of the others.
  for (TServerClientWinSocket* connection : laggards) released_.insert(connection->Id());
  released_ports_.insert(lagging_ports.begin(), lagging_ports.end());
  hold.since = Clock::time_point();
}

void FlowControl::KeepBudget(TServerClientWinSocket* largest, Clock::time_point now) {
  if (!OverBudget()) {
    over_budget_since_ = Clock::time_point();
    return;
  }
  if (over_budget_since_ == Clock::time_point()) over_budget_since_ = now;
  if (now - over_budget_since_ < kHoldLimit || !largest || !largest->Connected()) return;
  Cut(largest->ServerWinSocket(), largest, CutReason::kBudgetFull);
}

void FlowControl::Cut(TServerWinSocket* listener, TServerClientWinSocket* connection, CutReason why) {
  // A connection already cut (a stalled one that also keeps the most) is reported once.
  if (connection->CloseLater() && hooks_.cutting) hooks_.cutting(listener, connection, why);
}

void FlowControl::Drop(SerialWriter* port, CutReason why) {
  const std::size_t dropped = port->DropKept();
  released_ports_.erase(port);
  if (dropped > 0 && hooks_.dropped) hooks_.dropped(port, dropped, why);
}
