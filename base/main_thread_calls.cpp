#include "base/main_thread_calls.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

#include "base/exception.h"
#include "platform/messages.h"

namespace main_thread {
namespace {

struct QueuedCall {
  std::function<void()> call;
  std::exception_ptr error;
  bool done = false;
};

// Never destroyed: a thread that ends on its own (a port closed from its own handler) may
// still queue or wake at process exit.
struct State {
  std::mutex queue_lock;
  std::condition_variable queue_changed;  // a call was queued, a call finished, or a waiter woke
  std::deque<std::shared_ptr<QueuedCall>> queue;
  std::function<void()> wake_up;
  std::thread::id main_id;
};
State& state = *new State;
std::mutex& queue_lock = state.queue_lock;
std::condition_variable& queue_changed = state.queue_changed;
std::deque<std::shared_ptr<QueuedCall>>& queue = state.queue;
std::function<void()>& wake_up = state.wake_up;
std::thread::id& main_id = state.main_id;

}  // namespace

void SetMainThread() {
  std::lock_guard<std::mutex> hold(queue_lock);
  main_id = std::this_thread::get_id();
}

bool IsMainThread() {
  std::lock_guard<std::mutex> hold(queue_lock);
  return std::this_thread::get_id() == main_id;
}

void SetWakeUp(std::function<void()> wake) {
  std::lock_guard<std::mutex> hold(queue_lock);
  wake_up = std::move(wake);
}

void Synchronize(const std::function<void()>& call) {
  if (IsMainThread()) {
    call();
    return;
  }
  auto item = std::make_shared<QueuedCall>();
  item->call = call;
  std::unique_lock<std::mutex> hold(queue_lock);
  queue.push_back(item);
  queue_changed.notify_all();
  if (wake_up) wake_up();
  queue_changed.wait(hold, [&] { return item->done; });
  if (item->error) std::rethrow_exception(item->error);
}

bool CheckSynchronize() {
  if (!IsMainThread()) {
    throw Exception(FormatText("CheckSynchronize called from thread $%llx, which is NOT the main thread",
                               static_cast<unsigned long long>(platform::CurrentThreadId())));
  }
  std::unique_lock<std::mutex> hold(queue_lock);
  std::deque<std::shared_ptr<QueuedCall>> taken;
  taken.swap(queue);
  for (auto& item : taken) {
    hold.unlock();
    try {
      item->call();
    } catch (...) {
      item->error = std::current_exception();
    }
    hold.lock();
    item->done = true;
    // The thread that queued the call owns it (and the error it may rethrow) from here, and
    // is woken after the lock is free, so it need not wait for it.
    item.reset();
    hold.unlock();
    queue_changed.notify_all();
    hold.lock();
  }
  return !taken.empty();
}

void WaitServingCalls(const std::function<bool()>& done) {
  const bool serving = IsMainThread();
  std::unique_lock<std::mutex> hold(queue_lock);
  while (true) {
    if (serving && !queue.empty()) {
      hold.unlock();
      CheckSynchronize();
      hold.lock();
      continue;
    }
    // `done` is tested under the lock, so a WakeWaiters() after it changed cannot be missed.
    if (done()) return;
    queue_changed.wait(hold);
  }
}

void WakeWaiters() {
  std::lock_guard<std::mutex> hold(queue_lock);
  queue_changed.notify_all();
}

}  // namespace main_thread
