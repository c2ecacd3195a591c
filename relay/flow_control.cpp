#include "relay/flow_control.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "net/server_client_win_socket.h"
#include "net/server_win_socket.h"

namespace flow_control {
namespace {

// Paused sources and the destination listeners they wait for. Service thread only: only TCP
// sources are paused, and their handlers run there.
std::map<const TServerWinSocket*, std::set<TServerWinSocket*>> paused;

// Destination listeners with a connection that may keep bytes. The serial receive handler
// adds to it from the main thread.
std::mutex backlog_lock;
std::set<TServerWinSocket*> backlogged;

std::size_t MostKept(TServerWinSocket* listener) {
  std::size_t most = 0;
  for (int i = 0, n = listener->ConnectionCount(); i < n; ++i) {
    most = std::max(most, listener->ConnectionAt(i)->KeptBytes());
  }
  return most;
}

// Resumes the paused sources whose destinations all drained; with `only`, just the sources
// that wait for that destination.
void ResumeDrained(const std::function<void(TServerWinSocket*)>& resume, TServerWinSocket* only = nullptr) {
  std::vector<TServerWinSocket*> ready;
  for (auto it = paused.begin(); it != paused.end();) {
    if (only && it->second.count(only) == 0) {
      ++it;
      continue;
    }
    const bool drained = std::all_of(it->second.begin(), it->second.end(),
                                     [](TServerWinSocket* d) { return MostKept(d) <= kLowWater; });
    if (drained) {
      ready.push_back(const_cast<TServerWinSocket*>(it->first));
      it = paused.erase(it);
    } else {
      ++it;
    }
  }
  // Resuming reads and forwards, which may pause the source again.
  for (TServerWinSocket* source : ready) resume(source);
}

void CloseStalled(std::chrono::steady_clock::time_point now) {
  std::vector<TServerWinSocket*> listeners;
  {
    std::lock_guard<std::mutex> hold(backlog_lock);
    listeners.assign(backlogged.begin(), backlogged.end());
  }
  for (TServerWinSocket* listener : listeners) {
    bool keeps = false;
    for (int i = 0, n = listener->ConnectionCount(); i < n; ++i) {
      TServerClientWinSocket* connection = listener->ConnectionAt(i);
      if (connection->IsStalled(now, kStallLimit)) {
        try {
          connection->CloseSocketObject(connection->SocketHandle());
        } catch (...) {
          // Closing only fails when the socket is already gone.
        }
      }
      keeps = keeps || connection->KeptBytes() > 0;
    }
    if (!keeps) {
      std::lock_guard<std::mutex> hold(backlog_lock);
      // A send from the main thread may have kept bytes since; it adds the listener again.
      backlogged.erase(listener);
    }
  }
}

}  // namespace

bool IsPaused(const TServerWinSocket* source) { return !paused.empty() && paused.count(source) > 0; }

void NoteSend(TServerWinSocket* source, TServerWinSocket* destination, TServerClientWinSocket* connection) {
  const std::size_t kept = connection->KeptBytes();
  if (kept == 0) return;
  {
    std::lock_guard<std::mutex> hold(backlog_lock);
    backlogged.insert(destination);
  }
  if (source && kept > kHighWater) paused[source].insert(destination);
}

void NoteDrained(TServerWinSocket* destination, const std::function<void(TServerWinSocket*)>& resume) {
  if (!paused.empty()) ResumeDrained(resume, destination);
}

bool HasWork() {
  if (!paused.empty()) return true;
  std::lock_guard<std::mutex> hold(backlog_lock);
  return !backlogged.empty();
}

void Tick(std::chrono::steady_clock::time_point now, const std::function<void(TServerWinSocket*)>& resume) {
  if (!paused.empty()) ResumeDrained(resume);
  bool any;
  {
    std::lock_guard<std::mutex> hold(backlog_lock);
    any = !backlogged.empty();
  }
  if (any) CloseStalled(now);
}

void Reset() {
  paused.clear();
  std::lock_guard<std::mutex> hold(backlog_lock);
  backlogged.clear();
}

}  // namespace flow_control
