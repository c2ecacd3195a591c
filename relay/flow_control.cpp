#include "relay/flow_control.h"

#include <algorithm>
#include <vector>

#include "net/server_client_win_socket.h"
#include "net/server_win_socket.h"

namespace {

std::size_t MostKept(TServerWinSocket* listener) {
  std::size_t most = 0;
  for (int i = 0, n = listener->ConnectionCount(); i < n; ++i) {
    most = std::max(most, listener->ConnectionAt(i)->KeptBytes());
  }
  return most;
}

}  // namespace

bool FlowControl::IsPaused(const TServerWinSocket* source) const {
  return !paused_.empty() && paused_.count(source) > 0;
}

void FlowControl::NoteSend(TServerWinSocket* source, TServerWinSocket* destination,
                           TServerClientWinSocket* connection) {
  const std::size_t kept = connection->KeptBytes();
  if (kept == 0) return;
  {
    std::lock_guard<std::mutex> hold(backlog_lock_);
    backlogged_.insert(destination);
  }
  if (source && kept > kHighWater) paused_[source].insert(destination);
}

void FlowControl::NoteDrained(TServerWinSocket* destination) {
  if (!paused_.empty()) ResumeDrained(destination);
}

bool FlowControl::HasWork() {
  if (!paused_.empty()) return true;
  std::lock_guard<std::mutex> hold(backlog_lock_);
  return !backlogged_.empty();
}

void FlowControl::Tick(std::chrono::steady_clock::time_point now) {
  if (!paused_.empty()) ResumeDrained();
  bool any;
  {
    std::lock_guard<std::mutex> hold(backlog_lock_);
    any = !backlogged_.empty();
  }
  if (any) CloseStalled(now);
}

void FlowControl::Reset() {
  paused_.clear();
  std::lock_guard<std::mutex> hold(backlog_lock_);
  backlogged_.clear();
}

void FlowControl::ResumeDrained(TServerWinSocket* only) {
  std::vector<TServerWinSocket*> ready;
  for (auto it = paused_.begin(); it != paused_.end();) {
    if (only && it->second.count(only) == 0) {
      ++it;
      continue;
    }
    const bool drained = std::all_of(it->second.begin(), it->second.end(),
                                     [](TServerWinSocket* d) { return MostKept(d) <= kLowWater; });
    if (drained) {
      ready.push_back(const_cast<TServerWinSocket*>(it->first));
      it = paused_.erase(it);
    } else {
      ++it;
    }
  }
  // Resuming reads and forwards, which may pause the source again.
  for (TServerWinSocket* source : ready) resume_(source);
}

void FlowControl::CloseStalled(std::chrono::steady_clock::time_point now) {
  std::vector<TServerWinSocket*> listeners;
  {
    std::lock_guard<std::mutex> hold(backlog_lock_);
    listeners.assign(backlogged_.begin(), backlogged_.end());
  }
  for (TServerWinSocket* listener : listeners) {
    bool keeps = false;
    for (int i = 0, n = listener->ConnectionCount(); i < n; ++i) {
      TServerClientWinSocket* connection = listener->ConnectionAt(i);
      if (connection->IsStalled(now, kStallLimit)) {
        try {
          connection->CloseSocketObject(connection->SocketHandle());
        } catch (const ESocketError&) {
          // The close failed because the socket is already gone: it is closed either way.
        }
      }
      keeps = keeps || connection->KeptBytes() > 0;
    }
    if (!keeps) {
      std::lock_guard<std::mutex> hold(backlog_lock_);
      // A send from the main thread may have kept bytes since; it adds the listener again.
      backlogged_.erase(listener);
    }
  }
}
