#include "service/application_events.h"

#include <algorithm>
#include <atomic>

namespace {
std::atomic<TMultiCaster*> the_multi_caster{nullptr};
}  // namespace

TMultiCaster* MultiCaster() { return the_multi_caster; }

TCustomApplicationEvents::TCustomApplicationEvents() {
  if (TMultiCaster* caster = MultiCaster()) caster->AddAppEvent(this);
}

TCustomApplicationEvents::~TCustomApplicationEvents() {
  if (TMultiCaster* caster = MultiCaster()) caster->RemoveAppEvent(this);
}

void TCustomApplicationEvents::Activate() {
  if (TMultiCaster* caster = MultiCaster()) caster->Activate(this);
}

void TCustomApplicationEvents::CancelDispatch() {
  if (TMultiCaster* caster = MultiCaster()) caster->CancelDispatch();
}

TMultiCaster::TMultiCaster(TApplication& application) : application_(application) {
  the_multi_caster = this;
  application_.SetOnException(TExceptionEvent::Bind(this, &TMultiCaster::DispatchException));
}

TMultiCaster::~TMultiCaster() {
  application_.ClearOnExceptionOf(this);
  the_multi_caster = nullptr;
}

void TMultiCaster::AddAppEvent(TCustomApplicationEvents* events) {
  if (std::find(list_.begin(), list_.end(), events) == list_.end()) list_.push_back(events);
}

void TMultiCaster::RemoveAppEvent(TCustomApplicationEvents* events) {
  std::erase(list_, events);
  if (to_move_ == events) to_move_ = nullptr;
}

void TMultiCaster::Activate(TCustomApplicationEvents* events) {
  if (depth_ > 0) {
    to_move_ = events;  // moved when the current dispatch has ended
    return;
  }
  if (std::find(list_.begin(), list_.end(), events) == list_.end() || list_.back() == events) return;
  std::erase(list_, events);
  list_.push_back(events);
}

// Offers an event to the components from the last to the first until one cancels; a
// component destroyed by a handler is skipped.
template <typename Offer>
void TMultiCaster::Walk(Offer offer) {
  ++depth_;
  try {
    for (std::size_t i = list_.size(); i > 0; --i) {
      if (i > list_.size()) continue;
      offer(*list_[i - 1]);
      if (cancel_) break;
    }
  } catch (...) {
    EndDispatch();
    throw;
  }
  EndDispatch();
}

void TMultiCaster::EndDispatch() {
  --depth_;
  cancel_ = false;
  if (depth_ == 0 && to_move_) {
    TCustomApplicationEvents* events = to_move_;
    to_move_ = nullptr;
    Activate(events);
  }
}

void TMultiCaster::DispatchException(TObject* sender, const Exception& e) {
  bool handled = false;
  const bool silent = dynamic_cast<const EAbort*>(&e) != nullptr;
  struct ShowWhenUnhandled {
    TApplication& application;
    const Exception& e;
    const bool& handled;
    bool silent;
    ~ShowWhenUnhandled() {
      if (!handled && !silent) application.ShowErrorBox(e);
    }
  } show{application_, e, handled, silent};
  Walk([&](TCustomApplicationEvents& events) {
    if (!events.OnException) return;
    handled = true;
    if (!silent) events.OnException(sender, e);
  });
}

void TMultiCaster::DoMessage(const platform::Message& message, bool& handled) {
  Walk([&](TCustomApplicationEvents& events) {
    if (events.OnMessage) events.OnMessage(message, handled);
  });
}

void TMultiCaster::DoIdle(bool& done) {
  Walk([&](TCustomApplicationEvents& events) {
    if (events.OnIdle) events.OnIdle(this, done);
  });
}
