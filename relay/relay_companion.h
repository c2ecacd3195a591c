#pragma once
// What the service module runs beside the relay on the service thread, such as the operator's
// status view: made once the channels are open, destroyed before they close (or with the
// module, after a shutdown). The program's entry chooses it; the relay knows only this.
// Service thread, apart from the destruction after a shutdown (any thread, once the service
// thread has ended).

#include <chrono>
#include <functional>
#include <memory>

class Relay;
class TService;

class TRelayCompanion {
 public:
  virtual ~TRelayCompanion() = default;
  // True while Tick must run on every pass of the run loop.
  virtual bool Busy() = 0;
  // On every pass the run loop wakes for (at least once per status report).
  virtual void Tick(std::chrono::steady_clock::time_point now) = 0;
};

// Makes the companion of a started relay, on the service thread; null for none.
using TRelayCompanionFactory = std::function<std::unique_ptr<TRelayCompanion>(TService& service, Relay& relay)>;
