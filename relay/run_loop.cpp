#include "relay/run_loop.h"

#include <algorithm>

#include "platform/messages.h"

namespace run_loop {
namespace {

constexpr auto kFirstPause = std::chrono::milliseconds(100);
constexpr auto kPassPause = std::chrono::milliseconds(20);
constexpr int kStatusEveryPasses = 40;
constexpr int kPassCounterLimit = 65000;
// One pump of requests handles at most this many messages and takes about one pass at most,
// so that the loop regains control while messages never stop coming.
constexpr int kMessagesPerPump = 256;

class MessageQueuePacer : public Pacer {
 public:
  Clock::time_point Now() override { return Clock::now(); }
  bool WaitMessageUntil(Clock::time_point deadline) override { return platform::WaitMessageUntil(deadline); }
};

// Counts one pass; true when that pass reports.
bool StepPass(int& pass) {
  if (++pass > kPassCounterLimit) pass = 0;
  return pass % kStatusEveryPasses == 0;
}

// How many passes from now on up to and including the next one that reports.
int PassesUntilReport(int pass) {
  int passes = 1;
  while (!StepPass(pass)) ++passes;
  return passes;
}

// Which of the passes of a pause is in progress at `now` (1 for the first), when the first of
// them ends at `first_end`.
int PassInProgress(Clock::time_point first_end, Clock::time_point now) {
  if (now < first_end) return 1;
  return static_cast<int>((now - first_end) / kPassPause) + 2;
}

// How many passes have ended by `now` (at least one), when the first of them ends at `first_end`.
int PassesEnded(Clock::time_point first_end, Clock::time_point now) {
  return std::max(1, PassInProgress(first_end, now) - 1);
}

// Handles what waits, within one pump's budget and not past `end`. Readiness that is left
// over waits in the queue in its order, behind what came first.
void PumpWithinBudget(const ServiceCalls& service, Pacer& pacer, Clock::time_point end) {
  const Clock::time_point until = std::min(end, pacer.Now() + kPassPause);
  service.pump_within(kMessagesPerPump, [&] { return pacer.Now() < until; });
}

// Handles requests as they come until `end`; returns early once a stop has been requested.
void PauseHandlingRequests(const ServiceCalls& service, Pacer& pacer, Clock::time_point end) {
  while (!service.stop_requested() && pacer.Now() < end) {
    if (pacer.WaitMessageUntil(end)) PumpWithinBudget(service, pacer, end);
  }
}

}  // namespace

Pacer& QueuePacer() {
  static MessageQueuePacer pacer;
  return pacer;
}

void Run(const ServiceCalls& service, Pacer& pacer, const Duties& duties) {
  PauseHandlingRequests(service, pacer, pacer.Now() + kFirstPause);
  int pass = 0;
  Clock::time_point pass_end = pacer.Now() + kPassPause;  // where the next pass's pause ends
  while (true) {
    // The pause covers one pass while the duties are busy, else every pass up to the next
    // that reports.
    int passes = duties.busy() ? 1 : PassesUntilReport(pass);
    Clock::time_point end = pass_end + (passes - 1) * kPassPause;
    while (!service.stop_requested() && pacer.Now() < end) {
      if (!pacer.WaitMessageUntil(end)) continue;
      PumpWithinBudget(service, pacer, end);
      if (passes > 1 && duties.busy()) {
        // What was just handled gave the duties work: the pause ends with the pass in progress.
        passes = std::min(passes, PassInProgress(pass_end, pacer.Now()));
        end = pass_end + (passes - 1) * kPassPause;
      }
    }
    const Clock::time_point now = pacer.Now();
    if (now < end) {
      // A stop ends the pause early, with the pass in progress.
      passes = std::min(passes, PassInProgress(pass_end, now));
    } else {
      // A request whose handling took longer than the rest of the pass: the passes it covered
      // have gone by, and a report that fell due meanwhile is sent now.
      passes = std::max(passes, PassesEnded(pass_end, now));
    }
    bool report = false;
    for (int i = 0; i < passes; ++i) report = StepPass(pass) || report;
    if (report) service.send_status();
    duties.every_pass(now);
    if (service.stop_requested()) break;
    pass_end = pass_end + passes * kPassPause;
  }
}

}  // namespace run_loop
