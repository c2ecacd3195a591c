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

// A laggard of a pause, and whether it took bytes during the hold.
struct Laggard {
  TServerWinSocket* listener;
  TServerClientWinSocket* connection;
  SerialWriter* port;
  bool taking;
};

}  // namespace

std::size_t FlowControl::SerialHighWater(const SerialWriter& port) { return std::max(kSerialHighWater, port.Pace()); }

bool FlowControl::IsPaused(const TServerWinSocket* source) const {
  return !paused_.empty() && paused_.count(source) > 0;
}

bool FlowControl::HasWork() {
  if (!paused_.empty() || !serial_backlogged_.empty()) return true;
  std::lock_guard<std::mutex> hold(backlog_lock_);
  return !backlogged_.empty();
}

void FlowControl::NoteSend(TServerWinSocket* source, TServerWinSocket* destination,
                           TServerClientWinSocket* connection) {
  const std::size_t kept = connection->KeptBytes();
  if (kept == 0) return;
  {
    std::lock_guard<std::mutex> hold(backlog_lock_);
    backlogged_.insert(destination);
  }
  if (source && kept > kHighWater && !IsPaused(source)) {
    PauseSource(source, Clock::now());
    std::vector<TServerWinSocket*>& listeners = paused_[source].destinations.listeners;
    if (!Contains(listeners, destination)) listeners.push_back(destination);
  }
}

void FlowControl::NoteSerialSend(TServerWinSocket* source, SerialWriter* port) {
  const std::size_t kept = port->KeptBytes();
  if (kept == 0) return;
  serial_backlogged_.insert(port);
  if (source && kept > SerialHighWater(*port) && !IsPaused(source)) {
    PauseSource(source, Clock::now());
    std::vector<SerialWriter*>& ports = paused_[source].destinations.ports;
    if (!Contains(ports, port)) ports.push_back(port);
  }
}

void FlowControl::PauseSource(TServerWinSocket* source, Clock::time_point now) {
  Pause pause;
  pause.began = now;
  if (hooks_.destinations) pause.destinations = hooks_.destinations(source);
  paused_.emplace(source, std::move(pause));
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
  std::vector<Cut> cuts;
  CollectStalled(now, cuts);
  for (auto& [source, pause] : paused_) CollectLaggards(pause, now, cuts);
  Execute(cuts);
  if (!paused_.empty()) ResumeDrained();
}

void FlowControl::Reset() {
  paused_.clear();
  serial_backlogged_.clear();
  std::lock_guard<std::mutex> hold(backlog_lock_);
  backlogged_.clear();
}

bool FlowControl::Drained(const Destinations& destinations) const {
  for (TServerWinSocket* listener : destinations.listeners) {
    for (int i = 0, n = listener->ConnectionCount(); i < n; ++i) {
      if (listener->ConnectionAt(i)->KeptBytes() > kLowWater) return false;
    }
  }
  for (SerialWriter* port : destinations.ports) {
    if (port->KeptBytes() > SerialLowWater(*port)) return false;
  }
  return true;
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
  // Resuming reads and forwards, which may pause the source again.
  for (TServerWinSocket* source : ready) hooks_.resume(source);
}

void FlowControl::CollectStalled(Clock::time_point now, std::vector<Cut>& cuts) {
  std::vector<TServerWinSocket*> listeners;
  {
    std::lock_guard<std::mutex> hold(backlog_lock_);
    listeners.assign(backlogged_.begin(), backlogged_.end());
  }
  for (TServerWinSocket* listener : listeners) {
    bool keeps = false;
    for (int i = 0, n = listener->ConnectionCount(); i < n; ++i) {
      TServerClientWinSocket* connection = listener->ConnectionAt(i);
      connection->CheckProgress(now);
      if (connection->IsStalled(now, kStallLimit)) {
        cuts.push_back(Cut{listener, connection, nullptr, CutReason::kStalled});
      } else {
        keeps = keeps || connection->KeptBytes() > 0;
      }
    }
    if (!keeps) {
      std::lock_guard<std::mutex> hold(backlog_lock_);
      // A send from the main thread may have kept bytes since; it adds the listener again.
      backlogged_.erase(listener);
    }
  }
  for (auto it = serial_backlogged_.begin(); it != serial_backlogged_.end();) {
    SerialWriter* port = *it;
    if (port->IsStalled(now, kStallLimit)) cuts.push_back(Cut{nullptr, nullptr, port, CutReason::kStalled});
    it = port->KeptBytes() == 0 ? serial_backlogged_.erase(it) : std::next(it);
  }
}

void FlowControl::CollectLaggards(Pause& pause, Clock::time_point now, std::vector<Cut>& cuts) {
  std::vector<Laggard> laggards;
  bool caught_up = false;  // some destination has taken what it was given
  bool proven = false;     // ... and it was there when the pause began
  for (TServerWinSocket* listener : pause.destinations.listeners) {
    for (int i = 0, n = listener->ConnectionCount(); i < n; ++i) {
      TServerClientWinSocket* connection = listener->ConnectionAt(i);
      if (!connection->Connected()) continue;
      if (connection->KeptBytes() > kLowWater) {
        laggards.push_back(Laggard{listener, connection, nullptr, !connection->IsStalled(now, kHoldLimit)});
      } else {
        caught_up = true;
        proven = proven || connection->AcceptedAt() <= pause.began;
      }
    }
  }
  for (SerialWriter* port : pause.destinations.ports) {
    if (port->KeptBytes() > SerialLowWater(*port)) {
      laggards.push_back(Laggard{nullptr, nullptr, port, !port->IsStalled(now, kHoldLimit)});
    } else {
      caught_up = proven = true;  // a port is there from the start
    }
  }
  if (laggards.empty() || !caught_up) {
    pause.caught_up_since = Clock::time_point();
    return;
  }
  if (pause.caught_up_since == Clock::time_point()) pause.caught_up_since = now;
  if (now - pause.caught_up_since < kHoldLimit) return;
  for (const Laggard& laggard : laggards) {
    // Beside destinations that only joined, a laggard that still takes bytes is waited for.
    if (proven || !laggard.taking) {
      cuts.push_back(Cut{laggard.listener, laggard.connection, laggard.port, CutReason::kFellBehind});
    }
  }
}

void FlowControl::Execute(const std::vector<Cut>& cuts) {
  for (const Cut& cut : cuts) {
    if (cut.port) {
      // Listed twice (stalled, and a laggard) it drops nothing the second time.
      const std::size_t dropped = cut.port->DropKept();
      if (dropped > 0 && hooks_.dropped) hooks_.dropped(cut.port, dropped, cut.why);
      serial_backlogged_.erase(cut.port);
      continue;
    }
    // A connection already closed (by an earlier cut, or by a failed send while an earlier
    // cut passed on a closing peer's last bytes) stays listed until its release: skip it.
    if (!cut.connection->Connected()) continue;
    if (hooks_.cutting) hooks_.cutting(cut.listener, cut.connection, cut.why);
    try {
      cut.connection->CloseSocketObject(cut.connection->SocketHandle());
    } catch (const ESocketError&) {
      // The close failed because the socket is already gone: it is closed either way.
    }
  }
}
