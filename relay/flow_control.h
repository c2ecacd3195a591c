#pragma once
// Keeps a slow destination from losing bytes or holding the others back for long.
//
// Bytes a destination connection cannot take at once are kept by the connection and sent when
// it can take them. While a destination keeps more than kHighWater bytes, the listener whose
// connections fed it is paused: its read notifications are left unanswered, so the bytes wait
// in the sockets and TCP slows the senders. Once every destination of a paused listener is
// down to kLowWater, the listener resumes and its waiting bytes are read. A destination that
// takes nothing for kStallLimit while bytes wait for it is closed.
//
// Threads: a relay constructs and destroys its flow control. NoteSend may be called from any
// thread (the serial receive handler sends from the main thread); everything else belongs to
// the service thread, which owns the listeners, and `resume` is called there. Only TCP sources
// are ever paused, and their handlers run on the service thread.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <set>

class TServerWinSocket;
class TServerClientWinSocket;

class FlowControl {
 public:
  static constexpr std::size_t kHighWater = 256 * 1024;
  static constexpr std::size_t kLowWater = 64 * 1024;
  static constexpr std::chrono::seconds kStallLimit{30};

  // Reads what the connections of a paused listener have waiting, once it may read again.
  using Resume = std::function<void(TServerWinSocket* source)>;
  explicit FlowControl(Resume resume) : resume_(std::move(resume)) {}

  // True while reads from the connections of `source` are paused.
  bool IsPaused(const TServerWinSocket* source) const;

  // Records what a send left behind: `connection` (of listener `destination`) was just handed
  // bytes read from a connection of `source` (null for a serial port, which is never paused).
  void NoteSend(TServerWinSocket* source, TServerWinSocket* destination, TServerClientWinSocket* connection);

  // True while Tick has something to look after: a paused listener, or a destination that
  // keeps bytes (and may stall).
  bool HasWork();

  // Once per pass of the run loop: resumes paused listeners whose destinations drained (in
  // case no write notification did) and closes stalled destinations.
  void Tick(std::chrono::steady_clock::time_point now);

  // A connection of `destination` sent kept bytes: resumes at once the paused listeners whose
  // destinations are now all drained.
  void NoteDrained(TServerWinSocket* destination);

  // Forgets every listener (before the listeners are destroyed).
  void Reset();

 private:
  // Resumes the paused sources whose destinations all drained; with `only`, just the sources
  // that wait for that destination.
  void ResumeDrained(TServerWinSocket* only = nullptr);
  void CloseStalled(std::chrono::steady_clock::time_point now);

  Resume resume_;
  // Paused sources and the destination listeners they wait for.
  std::map<const TServerWinSocket*, std::set<TServerWinSocket*>> paused_;
  // Destination listeners with a connection that may keep bytes.
  std::mutex backlog_lock_;
  std::set<TServerWinSocket*> backlogged_;
};
