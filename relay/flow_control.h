#pragma once
// Keeps a slow destination from losing bytes, from holding the others back, and the bytes the
// relay keeps for slow destinations within bounds.
//
// A destination is a connection of a listener, or the writer of a serial port. Bytes it cannot
// take at once are kept (by the connection or the writer) and sent as it can take them. A
// source is a listener whose connections' bytes reach destinations; pausing it leaves its
// connections' bytes in their sockets (no reads, no accepts, closes kept back: see
// TServerWinSocket::SetPaused), and TCP slows the senders. Serial ports are never paused as
// sources.
//
// | situation                                                  | what happens                                  |
// |------------------------------------------------------------|-----------------------------------------------|
// | a send leaves a destination keeping more than its high     | the source that fed it pauses                 |
// | water (connection 256 KiB; serial writer 16 KiB, or what   |                                               |
// | its line took in a second lately, up to 64 KiB)            |                                               |
// | every paced destination of a paused source is at or below  | the source resumes: at once on a write        |
// | its low water (64 KiB; serial writer a quarter of its high)| notification or a drained writer, else at the |
// |                                                            | next pass                                     |
// | paused; some destinations caught up (at or below low       | the caught-up ones are held at most kHoldLimit|
// | water), others lag                                         | (1.5 s, added up over pauses that follow each |
// |                                                            | other closer than that); then the laggards are|
// |                                                            | released and the source resumes               |
// | a released destination                                     | does not pace its sources: it keeps its own   |
// |                                                            | backlog and gets every byte as it reads, until|
// |                                                            | it is back at low water and paces again       |
// | paused, and no destination caught up (one destination, or  | lossless backpressure: the source goes at the |
// | all lag)                                                   | pace of the slowest                           |
// | a destination's backlog would pass its cap (a connection's | it is cut, one warning entry                  |
// | kept-bytes limit, 16 MiB; a serial writer 16 MiB)          |                                               |
// | a destination keeps bytes and takes none for kStallLimit   | it is cut, one warning entry                  |
// | (30 s)                                                     |                                               |
// | the connections' kept bytes together pass the budget       | every source that feeds a destination pauses; |
// | (kKeptBudget, 256 MiB)                                     | still over it after kHoldLimit, the connection|
// |                                                            | that keeps the most is cut (one entry), one a |
// |                                                            | pass, until the kept bytes are within it      |
//
// Cutting a connection closes it; cutting a serial writer drops what it keeps (a write that
// waits for the line ends at once). "Takes" means progress: kept bytes going to the socket, or
// bytes leaving the socket's send queue (CheckProgress; on Windows, which cannot tell, sends
// alone), or bytes the serial device took.
//
// Threads: a relay constructs and destroys its flow control. NoteSend and CheckCap may be
// called from any thread (the serial receive handler sends from the main thread); everything
// else belongs to the service thread, which owns the listeners, and the hooks are called
// there (the `cutting` hook also on the thread that calls CheckCap). Only TCP sources are ever
// paused, and their handlers run on the service thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <unordered_set>
#include <vector>

class TServerWinSocket;
class TServerClientWinSocket;
class SerialWriter;

class FlowControl {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kHighWater = 256 * 1024;
  static constexpr std::size_t kLowWater = 64 * 1024;
  // A serial writer's high water is at least this, or what its line took in a second lately
  // (SerialWriter::Pace); its low water is a quarter of that.
  static constexpr std::size_t kSerialHighWater = 16 * 1024;
  static constexpr std::size_t kSerialLowWater = kSerialHighWater / 4;
  static std::size_t SerialHighWater(const SerialWriter& port);
  static std::size_t SerialLowWater(const SerialWriter& port) { return SerialHighWater(port) / 4; }
  // The most a serial writer keeps for a line that fell behind (a connection's cap is its
  // kept-bytes limit, as large by default).
  static constexpr std::size_t kSerialCap = 16u * 1024u * 1024u;
  // What all connections may keep together.
  static constexpr std::size_t kKeptBudget = 256u * 1024u * 1024u;
  // Caught-up destinations wait at most this long for a laggard: with the run loop's pass,
  // they go without bytes for less than 2 s.
  static constexpr std::chrono::milliseconds kHoldLimit{1500};
  static constexpr std::chrono::seconds kStallLimit{30};

  // Why a destination is cut.
  enum class CutReason {
    kStalled,      // it took nothing for kStallLimit
    kBacklogFull,  // its backlog would have passed its cap
    kBudgetFull,   // the kept bytes passed the budget, and it kept the most
  };

  // Every destination a source's bytes reach.
  struct Destinations {
    std::vector<TServerWinSocket*> listeners;
    std::vector<SerialWriter*> ports;
  };

  struct Hooks {
    // A paused source resumed (its listener posts again the reads it kept back). Optional.
    std::function<void(TServerWinSocket* source)> resume;
    // The destinations of a source, asked when it pauses.
    std::function<Destinations(const TServerWinSocket* source)> destinations;
    // A connection is cut (its close follows by CloseLater).
    std::function<void(TServerWinSocket* listener, TServerClientWinSocket* connection, CutReason why)> cutting;
    // A serial writer was cut: `dropped` kept bytes went.
    std::function<void(SerialWriter* port, std::size_t dropped, CutReason why)> dropped;
  };

  explicit FlowControl(Hooks hooks) : hooks_(std::move(hooks)) {}

  // True while reads from the connections of `source` are paused.
  bool IsPaused(const TServerWinSocket* source) const;
  // True while Tick has something to look after: a paused source, or a destination that keeps
  // bytes (and may stall). The run loop then runs every pass.
  bool HasWork();

  // Before `size` more bytes go to `connection` (of listener `destination`): false when its
  // backlog would pass its cap (then it has been cut), or when it is closing.
  bool CheckCap(TServerWinSocket* destination, TServerClientWinSocket* connection, std::size_t size);
  // Records what a send left behind: `connection` (of listener `destination`) was just handed
  // bytes read from a connection of `source` (null for a serial port, which is never paused).
  void NoteSend(TServerWinSocket* source, TServerWinSocket* destination, TServerClientWinSocket* connection);
  // The same for bytes of `source` just handed to a serial writer.
  void NoteSerialSend(TServerWinSocket* source, SerialWriter* port);

  // Once per pass of the run loop: checks the progress of every destination that keeps bytes,
  // cuts stalled ones, releases laggards held past the hold limit, keeps the budget, and
  // resumes the paused sources whose destinations drained (in case no write notification did).
  void Tick(Clock::time_point now);

  // A connection of `destination` sent kept bytes, or a serial writer drained: resumes at once
  // the paused sources whose destinations are now all drained.
  void NoteDrained(TServerWinSocket* destination);
  void NoteSerialDrained(SerialWriter* port);

  // Forgets every listener and writer (before they are destroyed).
  void Reset();
  // Forgets one serial writer (before it is destroyed, its port closed while the relay runs):
  // a paused source that waited for it alone resumes.
  void Forget(SerialWriter* port);

  // The budget of kept bytes (kKeptBudget unless a test makes it smaller).
  void SetKeptBudget(std::size_t budget) { budget_ = budget; }

 private:
  struct Pause {
    Destinations destinations;
  };
  // How long a source's caught-up destinations have waited for its laggards. It outlives a
  // pause: a laggard that drains a little and is at once behind again paces its source in short
  // pauses, which add up to one hold as long as the source never runs free for a hold limit.
  struct Hold {
    Clock::time_point since{};       // when caught-up destinations were first seen waiting
    Clock::time_point resumed_at{};  // when the source last resumed
  };

  bool OverBudget() const;
  bool Released(const TServerClientWinSocket* connection) const;
  void PauseSource(TServerWinSocket* source);
  bool Drained(const Destinations& destinations) const;
  // Resumes the paused sources whose destinations all drained; with `feeds`, just those whose
  // destinations include what it matches.
  void ResumeDrained(const std::function<bool(const Destinations&)>& feeds = nullptr);
  // Checks every destination that keeps bytes: cuts the stalled ones, forgets releases that
  // ended, and answers the connection that keeps the most.
  TServerClientWinSocket* CheckBacklogged(Clock::time_point now);
  void ReleaseLaggards(const TServerWinSocket* source, const Pause& pause, Clock::time_point now);
  void KeepBudget(TServerClientWinSocket* largest, Clock::time_point now);
  void Cut(TServerWinSocket* listener, TServerClientWinSocket* connection, CutReason why);
  void Drop(SerialWriter* port, CutReason why);

  Hooks hooks_;
  std::size_t budget_ = kKeptBudget;
  // Paused sources (service thread).
  std::map<const TServerWinSocket*, Pause> paused_;
  // The holds of sources that paused (service thread).
  std::map<const TServerWinSocket*, Hold> holds_;
  // Destination listeners with a connection that may keep bytes (any thread, under the lock).
  // A check takes the whole set and puts back what still keeps bytes, so a send from another
  // thread during the check is never lost.
  std::mutex backlog_lock_;
  std::set<TServerWinSocket*> backlogged_;
  // Serial writers that may keep bytes (service thread).
  std::set<SerialWriter*> serial_backlogged_;
  // Destinations released from pacing their sources (service thread): connections by Id.
  std::unordered_set<std::uint64_t> released_;
  std::set<SerialWriter*> released_ports_;
  Clock::time_point over_budget_since_{};
};
