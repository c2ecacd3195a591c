#pragma once
// Application events: components that receive the application's events (exceptions, idle
// time, main-loop messages), and the dispatcher that offers each event to all of them.

#include <vector>

#include "base/event_slot.h"
#include "base/exception.h"
#include "base/tobject.h"
#include "platform/messages.h"
#include "service/application.h"

using TMessageEvent = EventSlot<const platform::Message&, bool&>;  // (message, var Handled)
using TIdleEvent = EventSlot<TObject*, bool&>;                      // (Sender, var Done)

// Joins the process's dispatcher when created and leaves it when destroyed.
class TCustomApplicationEvents : public TObject {
 public:
  TCustomApplicationEvents();
  ~TCustomApplicationEvents() override;

  TExceptionEvent OnException;
  TIdleEvent OnIdle;
  TMessageEvent OnMessage;

  // Moves this component to the end of the list, so that it is offered events first.
  void Activate();
  // Ends the current dispatch after this component.
  void CancelDispatch();
};

class TApplicationEvents : public TCustomApplicationEvents {};

// The dispatcher (one per process, owned by the application object). Offers every event to
// its components from the last to the first. While it exists the application's exception
// handler slot holds DispatchException, unless the run replaces it.
class TMultiCaster : public TObject {
 public:
  explicit TMultiCaster(TApplication& application);
  ~TMultiCaster() override;

  void AddAppEvent(TCustomApplicationEvents* events);
  void RemoveAppEvent(TCustomApplicationEvents* events);
  std::size_t Count() const { return list_.size(); }
  TCustomApplicationEvents* AppEvents(std::size_t index) const { return list_.at(index); }

  void DispatchException(TObject* sender, const Exception& e);
  void DoMessage(const platform::Message& message, bool& handled);
  void DoIdle(bool& done);

  void CancelDispatch() { cancel_ = true; }
  void Activate(TCustomApplicationEvents* events);

 private:
  template <typename Offer>
  void Walk(Offer offer);
  void EndDispatch();

  TApplication& application_;
  std::vector<TCustomApplicationEvents*> list_;
  int depth_ = 0;
  bool cancel_ = false;
  TCustomApplicationEvents* to_move_ = nullptr;
};

// The process's dispatcher; null when there is none.
TMultiCaster* MultiCaster();
