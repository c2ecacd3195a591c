#pragma once
// Keeps a slow destination from losing bytes, and from holding the others back for long.
//
// A destination is a connection of a listener, or the writer of a serial port. Bytes it cannot
// take at once are kept (by the connection or the writer) and sent as it can take them. A
// source is a listener whose connections' bytes reach destinations; pausing it leaves their
// read notifications unanswered, so the bytes wait in the sockets and TCP slows the senders.
// Serial ports are never paused as sources.
//
// | situation                                                  | what happens                                  |
// |------------------------------------------------------------|-----------------------------------------------|
// | a send leaves a destination keeping more than its high     | the source that fed it pauses                 |
// | water (connection 256 KiB; serial writer 16 KiB, or what   |                                               |
// | its line took in a second lately, up to 64 KiB)            |                                               |
// | every destination of a paused source is at or below its   | the source resumes: at once on a write        |
// | low water (64 KiB; serial writer a quarter of its high)    | notification or a drained writer, else at the |
// |                                                            | next pass                                     |
// | paused; some destinations caught up (at or below low       | the caught-up ones are held at most kHoldLimit|
// | water), others lag                                         | (1.5 s, so under 2 s in all); then the        |
// |                                                            | laggards are cut, one warning entry each, and |
// |                                                            | the source resumes                            |
// | ... but every caught-up destination joined during the      | only laggards that took nothing during the    |
// | pause (it has not shown it keeps up)                       | hold are cut; one that still takes bytes is   |
// |                                                            | waited for, as below                          |
// | paused, and no destination caught up (one destination, or  | lossless backpressure: each is served at its  |
// | all lag)                                                   | own pace                                      |
// | a destination keeps bytes and takes none for kStallLimit   | it is cut, one warning entry                  |
// | (30 s)                                                     |                                               |
// | a peer joins while its listener is a paused destination    | nothing moves: the pause ends by the rules    |
// |                                                            | above, so no joining peer lengthens it        |
// | kept bytes would exceed the connection's cap (16 MiB)      | the connection is closed (a last guard: the   |
// |                                                            | relay reads sources in slices and asks        |
// |                                                            | IsPaused between them, so a healthy peer      |
// |                                                            | keeps at most high water plus one slice)      |
//
// Cutting a connection closes it; cutting a serial writer drops what it keeps (a write that
// waits for the line ends at once). "Takes" means progress: kept bytes going to the socket, or
// bytes leaving the socket's send queue (CheckProgress; on Windows, which cannot tell, sends
// alone), or bytes the serial device took.
//
// Threads: a relay constructs and destroys its flow control. NoteSend may be called from any
// thread (the serial receive handler sends from the main thread); everything else belongs to
// the service thread, which owns the listeners, and the hooks are called there. Only TCP
// sources are ever paused, and their handlers run on the service thread.

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <set>
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
  // Caught-up destinations wait at most this long for a laggard: with the run loop's pass and
  // the delivery after the cut, they go without bytes for less than 2 s.
  static constexpr std::chrono::milliseconds kHoldLimit{1500};
  static constexpr std::chrono::seconds kStallLimit{30};

  // Why a destination is cut.
  enum class CutReason {
    kFellBehind,  // it held caught-up destinations of its source for kHoldLimit
    kStalled,     // it took nothing for kStallLimit
  };

  // Every destination a source's bytes reach.
  struct Destinations {
    std::vector<TServerWinSocket*> listeners;
    std::vector<SerialWriter*> ports;
  };

  struct Hooks {
    // Reads what the connections of a paused source have waiting, once it may read again.
    std::function<void(TServerWinSocket* source)> resume;
    // The destinations of a source, asked when it pauses.
    std::function<Destinations(const TServerWinSocket* source)> destinations;
    // A connection is about to be cut (closed right after).
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

  // Records what a send left behind: `connection` (of listener `destination`) was just handed
  // bytes read from a connection of `source` (null for a serial port, which is never paused).
  void NoteSend(TServerWinSocket* source, TServerWinSocket* destination, TServerClientWinSocket* connection);
  // The same for bytes of `source` just handed to a serial writer.
  void NoteSerialSend(TServerWinSocket* source, SerialWriter* port);

  // Once per pass of the run loop: checks the progress of every destination that keeps bytes,
  // cuts stalled ones and laggards held past the hold limit, and resumes the paused sources
  // whose destinations drained (in case no write notification did).
  void Tick(Clock::time_point now);

  // A connection of `destination` sent kept bytes, or a serial writer drained: resumes at once
  // the paused sources whose destinations are now all drained.
  void NoteDrained(TServerWinSocket* destination);
  void NoteSerialDrained(SerialWriter* port);

  // Forgets every listener and writer (before they are destroyed).
  void Reset();

 private:
  struct Pause {
    Clock::time_point began;
    Clock::time_point caught_up_since{};  // when a destination was first seen caught up
    Destinations destinations;
  };
  struct Cut {
    TServerWinSocket* listener = nullptr;  // with `connection`
    TServerClientWinSocket* connection = nullptr;
    SerialWriter* port = nullptr;
    CutReason why = CutReason::kStalled;
  };

  void PauseSource(TServerWinSocket* source, Clock::time_point now);
  bool Drained(const Destinations& destinations) const;
  // Resumes the paused sources whose destinations all drained; with `feeds`, just those whose
  // destinations include what it matches.
  void ResumeDrained(const std::function<bool(const Destinations&)>& feeds = nullptr);
  void CollectStalled(Clock::time_point now, std::vector<Cut>& cuts);
  void CollectLaggards(Pause& pause, Clock::time_point now, std::vector<Cut>& cuts);
  void Execute(const std::vector<Cut>& cuts);

  Hooks hooks_;
  // Paused sources (service thread).
  std::map<const TServerWinSocket*, Pause> paused_;
  // Destination listeners with a connection that may keep bytes (any thread, under the lock).
  std::mutex backlog_lock_;
  std::set<TServerWinSocket*> backlogged_;
  // Serial writers that may keep bytes (service thread).
  std::set<SerialWriter*> serial_backlogged_;
};
