#pragma once
// The service's run loop: keeps the service alive, reports its status and drives every
// request and socket event of the service thread.
//
// After a first pause of 100 ms it counts passes of 20 ms: a signed counter that starts at 0,
// goes up by one per pass and is set back to 0 when it exceeds 65000. A pass whose counter is
// a multiple of 40 reports the status (so every 800 ms, and twice in a row at the wrap). During
// its pause a pass handles requests and socket events as they come, a stop at once, and it
// ends with a look at the duties; the loop ends after the pass in which a stop was requested.
//
// The handling keeps to the pass: one pump of requests takes at most about a pass or a few
// hundred messages, and none runs past the pass's end. What is still waiting then (a flood of
// connections that always have bytes) is handled in the next pass, in its order, so the
// reports and the duties keep their beat under any load.
//
// While the duties have nothing to look after, the loop does not wake for passes that would
// find nothing to do: it sleeps until the next pass that reports and counts the passes in
// between. The passes keep to their schedule whatever the load: when the handling of one
// request takes longer than the rest of its pass, the passes it covered count as gone by, and
// a report that fell due meanwhile is sent as soon as it is over (once, however many fell due).
//
// Runs on the service thread (the one that pumps the service's requests).

#include <chrono>
#include <functional>

namespace run_loop {

using Clock = std::chrono::steady_clock;

// How the loop tells the time and waits.
class Pacer {
 public:
  virtual ~Pacer() = default;
  virtual Clock::time_point Now() = 0;
  // Waits until a message waits for the calling thread, or until `deadline`; answers whether
  // a message waits.
  virtual bool WaitMessageUntil(Clock::time_point deadline) = 0;
};

// The steady clock and the calling thread's message queue.
Pacer& QueuePacer();

// What the loop looks after besides the service's requests.
struct Duties {
  // True while `every_pass` must run every pass.
  std::function<bool()> busy;
  // Runs once at the end of every pass the loop wakes for, with the time of that pass.
  std::function<void(Clock::time_point)> every_pass;
};

// What the loop asks of the service it runs.
struct ServiceCalls {
  std::function<bool()> stop_requested;
  // Handles waiting requests in order: at most `max_messages`, and no more once `in_time`
  // answers false.
  std::function<void(int max_messages, const std::function<bool()>& in_time)> pump_within;
  std::function<void()> send_status;
};

// The calls of a service object with StopRequested, PumpRequestsWithin and SendStatus.
template <typename Service>
ServiceCalls CallsOf(Service& service) {
  return {[&service] { return service.StopRequested(); },
          [&service](int max_messages, const std::function<bool()>& in_time) {
            service.PumpRequestsWithin(max_messages, in_time);
          },
          [&service] { service.SendStatus(); }};
}

// Runs the loop until a stop has been requested.
void Run(const ServiceCalls& service, Pacer& pacer, const Duties& duties);

}  // namespace run_loop
