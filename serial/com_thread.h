#pragma once
// The event thread of an open port: waits for the watched line events together with a stop
// signal and hands each batch to the port by the port's SyncMethod. Only events the port
// handles (TCustomComPort::HandledEvents) are watched and delivered: an event without a
// handler costs no driver query and no switch to another thread.
//
// A failure inside a batch (a handler that raises, a refused driver query) is handed to the
// exception routing and the thread goes on with later events. A device that goes away ends the
// thread with one EComPort (code 21 with the system's code), handed to the port's
// OnLineFailure on this thread, or routed when that is empty; the port stays open and its
// reads and writes fail until it is closed.

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/messages.h"
#include "serial/com_types.h"

class TCustomComPort;

// Under smWindowSync: the message the event thread sends to the opening thread's window for
// each event, with the event's mask bit as its first parameter.
constexpr std::uint32_t kComEventMessage = platform::kWmUser + 1;

// Event sets and the event-mask bits of the serial device (0x05FF for all ten events).
std::uint32_t EventsToMask(TComEvents events);
TComEvents MaskToEvents(std::uint32_t mask);

// The events in the fixed order in which their steps run, each with its mask bit.
struct TComEventStep {
  TComEvent event;
  std::uint32_t mask;
};
extern const TComEventStep kComEventSteps[10];

// smWindowSync delivery: sends `window` one kComEventMessage per event of the set, in step
// order, each waiting until it is accepted.
void SendEventMessages(platform::WindowHandle window, TComEvents events);

class TComThread {
 public:
  // Sets the device's event mask from the port's Events that it handles: the device keeps the
  // events from now on for the thread's first wait. Delivers nothing before Start.
  explicit TComThread(TCustomComPort& port);
  // Starts the thread, which then delivers the events. Raises std::system_error when no thread
  // can be made.
  void Start();
  // Sets the stop signal and waits for a started thread to end. On the main thread the wait
  // keeps running calls queued for the main thread, so a batch waiting for it cannot block
  // the stop.
  ~TComThread();
  TComThread(const TComThread&) = delete;
  TComThread& operator=(const TComThread&) = delete;

  // Sets the stop signal without waiting.
  void SignalStop();
  // True once the wait loop has ended (stopped, or the device went away).
  bool Finished() const;

 private:
  struct Shared;
  static void Run(std::shared_ptr<Shared> shared);
  static void Deliver(Shared& shared, TComEvents events);
  static void ReportLineFailure(Shared& shared, int error);

  std::shared_ptr<Shared> shared_;
  std::thread thread_;
};
