#include "serial/com_thread.h"

#include <mutex>

#include "base/exception_routing.h"
#include "base/main_thread_calls.h"
#include "platform/messages.h"
#include "platform/serial_device.h"
#include "serial/com_errors.h"
#include "serial/com_port.h"

const TComEventStep kComEventSteps[10] = {
    {evError, platform::kSerialEventError}, {evRxChar, platform::kSerialEventRxChar},
    {evTxEmpty, platform::kSerialEventTxEmpty}, {evBreak, platform::kSerialEventBreak},
    {evRing, platform::kSerialEventRing}, {evCTS, platform::kSerialEventCts},
    {evDSR, platform::kSerialEventDsr}, {evRxFlag, platform::kSerialEventRxFlag},
    {evRLSD, platform::kSerialEventRlsd}, {evRx80Full, platform::kSerialEventRx80Full},
};

std::uint32_t EventsToMask(TComEvents events) {
  std::uint32_t mask = 0;
  for (const auto& e : kComEventSteps)
    if (events.Contains(e.event)) mask |= e.mask;
  return mask;
}

TComEvents MaskToEvents(std::uint32_t mask) {
  TComEvents events;
  for (const auto& e : kComEventSteps)
    if (mask & e.mask) events.Include(e.event);
  return events;
}

void SendEventMessages(platform::WindowHandle window, TComEvents events) {
  // The window's procedure replies at once and then runs the step on its own thread.
  for (const auto& e : kComEventSteps) {
    if (events.Contains(e.event)) platform::SendMessageTo(window, kComEventMessage, e.mask, 0);
  }
}

namespace {

TComEvents Intersection(TComEvents a, TComEvents b) { return MaskToEvents(EventsToMask(a) & EventsToMask(b)); }

// The events the device reports to the thread: those of the port's set that it handles.
TComEvents WatchedEvents(const TCustomComPort& port) { return Intersection(port.Events(), port.HandledEvents()); }

}  // namespace

// What the running thread uses. The thread holds it too, so that a stop requested from one
// of the port's own handlers under smNone (which cannot wait for itself) stays safe.
struct TComThread::Shared {
  TCustomComPort* port = nullptr;
  platform::SerialHandle device = platform::kNoSerialDevice;
  TSyncMethod sync_method = smThreadSync;
  platform::WindowHandle window = 0;
  platform::SerialEventWait* wait = nullptr;
  std::atomic<bool> stopping{false};
  std::atomic<bool> finished{false};
  // Held by Start until the thread's handle is stored: a handler that closes the port from the
  // thread itself then finds the handle there.
  std::mutex starting;

  ~Shared() { platform::DestroySerialEventWait(wait); }
};

TComThread::TComThread(TCustomComPort& port) : shared_(std::make_shared<Shared>()) {
  shared_->port = &port;
  shared_->device = port.Device();
  shared_->sync_method = port.SyncMethod();
  shared_->window = port.window_;
  shared_->wait = platform::CreateSerialEventWait(shared_->device);
  (void)platform::SetSerialEventMask(shared_->device, EventsToMask(WatchedEvents(port)));
}

void TComThread::Start() {
  std::lock_guard<std::mutex> hold(shared_->starting);
  thread_ = std::thread(&TComThread::Run, shared_);
}

TComThread::~TComThread() {
  SignalStop();
  if (!thread_.joinable()) return;  // never started: nothing was delivered
  std::this_thread::yield();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();  // closed from its own handler: it ends by itself after the batch
    return;
  }
  auto shared = shared_;
  main_thread::WaitServingCalls([shared] { return shared->finished.load(); });
  thread_.join();
}

void TComThread::SignalStop() {
  shared_->stopping = true;
  platform::StopSerialEventWait(shared_->wait);
}

bool TComThread::Finished() const { return shared_->finished; }

void TComThread::Deliver(Shared& shared, TComEvents reported) {
  const TComEvents events = Intersection(reported, shared.port->HandledEvents());
  if (events.Empty()) return;
  switch (shared.sync_method) {
    case smThreadSync:
      main_thread::Synchronize([&] { shared.port->RunEventSteps(events); });
      break;
    case smWindowSync:
      SendEventMessages(shared.window, events);
      break;
    case smNone:
      shared.port->RunEventSteps(events);
      break;
  }
}

void TComThread::ReportLineFailure(Shared& shared, int error) {
  try {
    throw EComPort(CError_WaitFailed, error);
  } catch (const EComPort& failure) {
    // The slot was assigned before the port opened, that is before this thread started.
    if (!shared.port->OnLineFailure) {
      routing::RouteException(shared.port);
      return;
    }
    try {
      shared.port->OnLineFailure(shared.port, failure);
    } catch (...) {
      routing::RouteException(shared.port);
    }
  }
}

void TComThread::Run(std::shared_ptr<Shared> shared) {
  { std::lock_guard<std::mutex> started(shared->starting); }
  while (true) {
    std::uint32_t mask = 0;
    int error = 0;
    platform::SerialWaitResult result = platform::WaitSerialEvents(shared->wait, mask, error);
    if (result == platform::SerialWaitResult::kEvents) {
      try {
        Deliver(*shared, MaskToEvents(mask));
      } catch (...) {
        // A failed batch is reported and later events are still delivered.
        if (!shared->stopping) routing::RouteException(shared->port);
      }
      continue;
    }
    if (result == platform::SerialWaitResult::kSkipped) continue;
    if (result != platform::SerialWaitResult::kStopped && !shared->stopping) ReportLineFailure(*shared, error);
    break;
  }
  (void)platform::SetSerialEventMask(shared->device, 0);
  (void)platform::PurgeSerial(shared->device, platform::kSerialPurgeTxClear | platform::kSerialPurgeRxClear);
  shared->finished = true;
  main_thread::WakeWaiters();
}
