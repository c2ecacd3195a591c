#include "platform/messages.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/linux/message_queue.h"

namespace platform {
namespace linux_detail {

// A message sent from another thread, waiting for the owning thread to run the procedure.
struct SentMessage {
  Message message;
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  std::intptr_t result = 0;
  std::shared_ptr<MessageQueue> sender_queue;  // woken when done; null: the sender has none
};

class MessageQueue {
 public:
  explicit MessageQueue(ThreadId owner) : owner_(owner) {
    epoll_fd_ = epoll_create1(EPOLL_CLOEXEC);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_fd_ < 0 || wake_fd_ < 0) {
      Release();
      throw std::runtime_error("cannot create a message queue");
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeKey;
    epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_fd_, &event);
  }
  ~MessageQueue() { Release(); }
  MessageQueue(const MessageQueue&) = delete;
  MessageQueue& operator=(const MessageQueue&) = delete;

  ThreadId owner() const { return owner_; }
  int epoll_fd() const { return epoll_fd_; }

  void Wake() {
    std::uint64_t one = 1;
    ssize_t ignored = write(wake_fd_, &one, sizeof one);
    (void)ignored;
  }

  // Owner only: waits up to `timeout_ms` (-1: no limit) for readiness and handles what came:
  // socket readiness becomes messages, a wake-up is consumed.
  void Poll(int timeout_ms) {
    epoll_event events[64];
    int n = epoll_wait(epoll_fd_, events, 64, timeout_ms);
    taken_since_poll_ = 0;
    waited_ = timeout_ms != 0;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.u64 == kWakeKey) {
        // One read takes the whole count of the eventfd and clears it.
        std::uint64_t count;
        ssize_t ignored = read(wake_fd_, &count, sizeof count);
        (void)ignored;
      } else if (events[i].data.u64 == kTimerKey) {
        std::uint64_t count;
        ssize_t ignored = read(timer_fd_, &count, sizeof count);
        (void)ignored;
      } else {
        OnSocketReady(events[i].data.u64, events[i].events);
      }
    }
  }

  // Owner only: how many messages were taken since the last poll.
  int taken_since_poll() const { return taken_since_poll_; }
  void CountTaken() { ++taken_since_poll_; }
  // Owner only: true once after a poll that waited; the next look at an empty queue takes it.
  bool TakeWaited() { return std::exchange(waited_, false); }

  // Owner only: makes the queue's timer wake a wait without a limit at `deadline`. A timer
  // set once serves every wait for the same instant, so those waits arm nothing each time.
  // False when the system gives no timer.
  bool ArmTimer(std::chrono::steady_clock::time_point deadline) {
    if (timer_fd_ < 0) {
      timer_fd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
      if (timer_fd_ < 0) return false;
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = kTimerKey;
      if (epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, timer_fd_, &event) != 0) {
        close(timer_fd_);
        timer_fd_ = -1;
        return false;
      }
    }
    if (timer_armed_ && armed_for_ == deadline) return true;
    // The steady clock is CLOCK_MONOTONIC.
    const auto since = deadline.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(seconds.count());
    when.it_value.tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    if (when.it_value.tv_sec <= 0 && when.it_value.tv_nsec <= 0) when.it_value.tv_nsec = 1;  // 0 would disarm
    timer_armed_ = timerfd_settime(timer_fd_, TFD_TIMER_ABSTIME, &when, nullptr) == 0;
    armed_for_ = deadline;
    return timer_armed_;
  }

  // A posted message; one posted with PostMessageOnce is listed in `waiting_once` until it is
  // taken or dropped.
  struct Posted {
    Message message;
    bool once = false;
  };
  using Key = std::tuple<WindowHandle, std::uint32_t, std::uintptr_t, std::intptr_t>;
  static Key KeyOf(const Message& m) { return {m.window, m.id, m.wparam, m.lparam}; }
  struct KeyHash {
    std::size_t operator()(const Key& k) const {
      std::uint64_t h = std::get<0>(k);
      for (std::uint64_t part : {std::uint64_t{std::get<1>(k)}, std::uint64_t{std::get<2>(k)},
                                 static_cast<std::uint64_t>(std::get<3>(k))}) {
        h = (h ^ part) * 0x9E3779B97F4A7C15ull;
      }
      return static_cast<std::size_t>(h ^ (h >> 29));
    }
  };

  std::mutex lock;
  bool alive = true;  // false once the owning thread ended
  std::deque<Posted> posted;
  std::unordered_set<Key, KeyHash> waiting_once;
  std::deque<std::shared_ptr<SentMessage>> sent;
  // Whether `posted` and `sent` hold anything, set under `lock` with every change (Changed), so
  // that the owner looks without taking the lock: what another thread adds after the look
  // wakes the owner's wait.
  std::atomic<bool> any_posted{false};
  std::atomic<bool> any_sent{false};
  void Changed() {
    any_posted = !posted.empty();
    any_sent = !sent.empty();
  }

 private:
  // Keys of the queue's own descriptors in the epoll set; socket keys are never below 2^32.
  static constexpr std::uint64_t kWakeKey = 0;
  static constexpr std::uint64_t kTimerKey = 1;

  void Release() {
    if (epoll_fd_ >= 0) close(epoll_fd_);
    if (wake_fd_ >= 0) close(wake_fd_);
    if (timer_fd_ >= 0) close(timer_fd_);
    epoll_fd_ = wake_fd_ = timer_fd_ = -1;
  }

  ThreadId owner_;
  int epoll_fd_ = -1;
  int wake_fd_ = -1;
  int taken_since_poll_ = 0;
  bool waited_ = false;
  int timer_fd_ = -1;
  bool timer_armed_ = false;
  std::chrono::steady_clock::time_point armed_for_;
};

namespace {

struct Window {
  WindowHandle handle = 0;
  ThreadId owner = 0;
  WindowProcedure procedure;
  std::shared_ptr<MessageQueue> queue;
};

// Lock order: registry, then a queue's lock, then a sent message's lock.
struct Registry {
  std::mutex lock;
  std::unordered_map<ThreadId, std::shared_ptr<MessageQueue>> queues;
  std::unordered_map<WindowHandle, std::shared_ptr<Window>> windows;
  WindowHandle next_window = 1;
};

Registry& registry() {
  static Registry* instance = new Registry;  // never destroyed: threads may end after exit
  return *instance;
}

// How many times windows were destroyed, counted under the registry lock: a thread's memory of
// the windows it dispatched to (DispatchMessage) holds only while this has not changed.
std::atomic<std::uint64_t> windows_destroyed{0};

std::atomic<ThreadId> next_thread_id{1};
thread_local ThreadId own_thread_id = 0;
thread_local SentMessage* current_sent = nullptr;

void Finish(SentMessage& sent, std::intptr_t result) {
  std::shared_ptr<MessageQueue> wake;
  {
    std::lock_guard<std::mutex> hold(sent.lock);
    if (sent.done) return;
    sent.done = true;
    sent.result = result;
    wake = sent.sender_queue;
  }
  sent.finished.notify_all();
  if (wake) wake->Wake();
}

// Unregisters a thread's queue and its windows when the thread ends; senders still waiting
// for it are released with 0.
void EndQueue(const std::shared_ptr<MessageQueue>& queue) {
  std::deque<std::shared_ptr<SentMessage>> waiting;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.queues.erase(queue->owner());
    for (auto it = r.windows.begin(); it != r.windows.end();) {
      it = it->second->owner == queue->owner() ? r.windows.erase(it) : std::next(it);
      ++windows_destroyed;
    }
    std::lock_guard<std::mutex> hold_queue(queue->lock);
    queue->alive = false;
    queue->posted.clear();
    queue->waiting_once.clear();
    waiting.swap(queue->sent);
    queue->Changed();
  }
  for (auto& sent : waiting) Finish(*sent, 0);
}

struct QueueHolder {
  std::shared_ptr<MessageQueue> queue;
  ~QueueHolder() {
    if (queue) EndQueue(queue);
  }
};
thread_local QueueHolder own_queue;

MessageQueue& OwnQueue() {
  if (!own_queue.queue) {
    auto queue = std::make_shared<MessageQueue>(CurrentThreadId());
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.queues[queue->owner()] = queue;
    own_queue.queue = queue;
  }
  return *own_queue.queue;
}

std::shared_ptr<Window> FindWindow(WindowHandle window) {
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.windows.find(window);
  return it == r.windows.end() ? nullptr : it->second;
}

// Appends a message to a live queue, unless it is to be there `once` and already waits.
bool PushLocked(MessageQueue& queue, const Message& message, bool once = false) {
  {
    std::lock_guard<std::mutex> hold(queue.lock);
    if (!queue.alive) return false;
    if (once && !queue.waiting_once.insert(MessageQueue::KeyOf(message)).second) return true;
    queue.posted.push_back({message, once});
    queue.Changed();
  }
  if (queue.owner() != CurrentThreadId()) queue.Wake();
  return true;
}

// Runs, on the owning thread, every message that other threads sent to it.
void RunSentMessages(MessageQueue& queue) {
  while (queue.any_sent) {
    std::shared_ptr<SentMessage> sent;
    {
      std::lock_guard<std::mutex> hold(queue.lock);
      if (queue.sent.empty()) return;
      sent = queue.sent.front();
      queue.sent.pop_front();
      queue.Changed();
    }
    std::intptr_t result = 0;
    if (auto window = FindWindow(sent->message.window)) {
      SentMessage* outer = current_sent;
      current_sent = sent.get();
      try {
        result = window->procedure(sent->message);
      } catch (...) {
        current_sent = outer;
        Finish(*sent, 0);
        throw;
      }
      current_sent = outer;
    }
    Finish(*sent, result);
  }
}

bool TakePosted(MessageQueue& queue, Message& message) {
  if (!queue.any_posted) return false;
  {
    std::lock_guard<std::mutex> hold(queue.lock);
    if (queue.posted.empty()) return false;
    message = queue.posted.front().message;
    if (queue.posted.front().once) queue.waiting_once.erase(MessageQueue::KeyOf(message));
    queue.posted.pop_front();
    queue.Changed();
  }
  queue.CountTaken();
  return true;
}

bool HasPosted(MessageQueue& queue) { return queue.any_posted; }

// Readiness is collected when the posted messages run out, and also after this many messages
// taken in a row, so that a steady stream of posted messages does not starve the sockets.
constexpr int kTakenBetweenPolls = 32;

// Waits for a message up to `end` (none: no limit), with the queue's timer when `timer` is
// set (else with the wait's own time limit). The epoll set is asked at least once, so that
// readiness is seen even when the time is up already; a time limit that would end within the
// next millisecond is rounded up to it, never down to a spin of zero-time polls.
bool WaitPosted(MessageQueue& queue, const std::chrono::steady_clock::time_point* end, bool timer = false) {
  RunSentMessages(queue);
  if (end && timer && !HasPosted(queue)) timer = queue.ArmTimer(*end);
  bool polled = false;
  while (!HasPosted(queue)) {
    int timeout = -1;
    if (end) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end - std::chrono::steady_clock::now());
      if (left.count() <= 0 && polled) return false;
      if (left.count() <= 0) {
        timeout = 0;
      } else if (!timer) {
        timeout = static_cast<int>(std::min<std::int64_t>(left.count(), INT32_MAX));
      }
    }
    queue.Poll(timeout);
    polled = true;
    RunSentMessages(queue);
  }
  return true;
}

}  // namespace

bool PostMessageOnce(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.windows.find(window);
  if (it == r.windows.end()) return false;
  return PushLocked(*it->second->queue, Message{window, id, wparam, lparam}, true);
}

bool PostMessageOnce(MessageQueue& queue, const Message& message) { return PushLocked(queue, message, true); }

std::shared_ptr<MessageQueue> QueueOfWindow(WindowHandle window) {
  auto found = FindWindow(window);
  return found ? found->queue : nullptr;
}

int EpollDescriptor(const MessageQueue& queue) { return queue.epoll_fd(); }

}  // namespace linux_detail

using namespace linux_detail;

ThreadId CurrentThreadId() {
  if (own_thread_id == 0) own_thread_id = next_thread_id.fetch_add(1);
  return own_thread_id;
}

void EnsureMessageQueue() { OwnQueue(); }

WindowHandle CreateNotificationWindow(WindowProcedure procedure) {
  MessageQueue& queue = OwnQueue();
  auto window = std::make_shared<Window>();
  window->owner = queue.owner();
  window->procedure = std::move(procedure);
  window->queue = own_queue.queue;
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  window->handle = r.next_window++;
  r.windows[window->handle] = window;
  return window->handle;
}

void DestroyNotificationWindow(WindowHandle window) {
  std::deque<std::shared_ptr<SentMessage>> dropped;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    auto it = r.windows.find(window);
    if (it == r.windows.end()) return;
    std::shared_ptr<MessageQueue> queue = it->second->queue;
    r.windows.erase(it);
    ++windows_destroyed;
    std::lock_guard<std::mutex> hold_queue(queue->lock);
    std::erase_if(queue->posted, [&](const MessageQueue::Posted& p) {
      if (p.message.window != window) return false;
      if (p.once) queue->waiting_once.erase(MessageQueue::KeyOf(p.message));
      return true;
    });
    for (auto s = queue->sent.begin(); s != queue->sent.end();) {
      if ((*s)->message.window == window) {
        dropped.push_back(*s);
        s = queue->sent.erase(s);
      } else {
        ++s;
      }
    }
    queue->Changed();
  }
  for (auto& sent : dropped) Finish(*sent, 0);
}

ThreadId WindowThread(WindowHandle window) {
  auto found = FindWindow(window);
  return found ? found->owner : 0;
}

bool PostMessageTo(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.windows.find(window);
  if (it == r.windows.end()) return false;
  return PushLocked(*it->second->queue, Message{window, id, wparam, lparam});
}

bool PostThreadMessageTo(ThreadId thread, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  Registry& r = registry();
  std::lock_guard<std::mutex> hold(r.lock);
  auto it = r.queues.find(thread);
  if (it == r.queues.end()) return false;
  return PushLocked(*it->second, Message{0, id, wparam, lparam});
}

std::intptr_t SendMessageTo(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  const Message message{window, id, wparam, lparam};
  auto sent = std::make_shared<SentMessage>();
  sent->message = message;
  sent->sender_queue = own_queue.queue;
  {
    Registry& r = registry();
    std::unique_lock<std::mutex> hold(r.lock);
    auto it = r.windows.find(window);
    if (it == r.windows.end()) return 0;
    std::shared_ptr<Window> target = it->second;
    if (target->owner == CurrentThreadId()) {
      hold.unlock();
      SentMessage* outer = current_sent;
      current_sent = nullptr;  // ReplyMessage answers false for a message from the own thread
      std::intptr_t result;
      try {
        result = target->procedure(message);
      } catch (...) {
        current_sent = outer;
        throw;
      }
      current_sent = outer;
      return result;
    }
    std::lock_guard<std::mutex> hold_queue(target->queue->lock);
    if (!target->queue->alive) return 0;
    target->queue->sent.push_back(sent);
    target->queue->Changed();
    target->queue->Wake();
  }
  if (sent->sender_queue) {
    // While waiting, messages sent to this thread are still served, so two threads that send
    // to each other cannot deadlock.
    MessageQueue& queue = *sent->sender_queue;
    while (true) {
      RunSentMessages(queue);
      {
        std::lock_guard<std::mutex> hold(sent->lock);
        if (sent->done) return sent->result;
      }
      queue.Poll(-1);
    }
  }
  std::unique_lock<std::mutex> hold(sent->lock);
  sent->finished.wait(hold, [&] { return sent->done; });
  return sent->result;
}

bool ReplyMessage(std::intptr_t result) {
  if (!current_sent) return false;
  {
    std::lock_guard<std::mutex> hold(current_sent->lock);
    if (current_sent->done) return false;
  }
  Finish(*current_sent, result);
  return true;
}

// Readiness that the last poll reported is turned into messages first: the queue is polled
// again only once the posted messages ran out (or after many in a row). And not even then
// right after a wait: a thread that waits, handles what came and finds the queue empty
// goes back to waiting, and that wait sees what came meanwhile; so only the next look polls.
bool PeekMessage(Message& message) {
  MessageQueue& queue = OwnQueue();
  if (queue.taken_since_poll() >= kTakenBetweenPolls) queue.Poll(0);
  RunSentMessages(queue);
  if (TakePosted(queue, message)) return true;
  if (queue.TakeWaited()) return false;
  queue.Poll(0);
  RunSentMessages(queue);
  return TakePosted(queue, message);
}

bool GetMessage(Message& message) {
  MessageQueue& queue = OwnQueue();
  if (queue.taken_since_poll() >= kTakenBetweenPolls) queue.Poll(0);
  while (true) {
    RunSentMessages(queue);
    if (TakePosted(queue, message)) break;
    WaitPosted(queue, nullptr);
  }
  return message.id != kWmQuit;
}

void WaitMessage() { WaitPosted(OwnQueue(), nullptr); }

bool WaitMessageFor(int timeout_ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  return WaitPosted(OwnQueue(), &end);
}

bool WaitMessageUntil(std::chrono::steady_clock::time_point deadline) {
  return WaitPosted(OwnQueue(), &deadline, true);
}

std::intptr_t DispatchMessage(const Message& message) {
  if (message.window == 0) return 0;
  // The windows this thread dispatched to lately, so that a dispatch does not look each one up
  // under the registry's lock; an entry counts while no window was destroyed since it was made.
  struct Remembered {
    WindowHandle handle = 0;
    std::uint64_t destroyed = 0;
    std::shared_ptr<Window> window;
  };
  thread_local std::array<Remembered, 16> remembered;
  const std::uint64_t destroyed = windows_destroyed.load();
  Remembered& entry = remembered[message.window % remembered.size()];
  if (entry.handle != message.window || entry.destroyed != destroyed) {
    entry = Remembered{message.window, destroyed, FindWindow(message.window)};
  }
  // The reference keeps the procedure alive while it runs, even if it destroys its window.
  const std::shared_ptr<Window> window = entry.window;
  if (!window) return 0;
  return window->procedure(message);
}

}  // namespace platform
