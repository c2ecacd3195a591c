// Interim per-thread queues and notification windows (no socket notifier), so that the service
// host can run before the full implementation lands. Replaced by messages.cpp.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/messages.h"

namespace platform {
namespace {

struct Queue {
  std::mutex lock;
  std::condition_variable arrived;
  std::deque<Message> items;
};

struct Window {
  ThreadId owner;
  WindowProcedure procedure;
};

std::mutex registry_lock;
std::map<ThreadId, std::shared_ptr<Queue>> queues;
std::map<WindowHandle, Window> windows;
std::atomic<ThreadId> next_thread{1};
std::atomic<WindowHandle> next_window{1};

struct ThreadQueue {
  ThreadId id = next_thread++;
  std::shared_ptr<Queue> queue;
  ~ThreadQueue() {
    std::lock_guard<std::mutex> hold(registry_lock);
    queues.erase(id);
  }
};
thread_local ThreadQueue self;

std::shared_ptr<Queue> OwnQueue() {
  if (!self.queue) {
    self.queue = std::make_shared<Queue>();
    std::lock_guard<std::mutex> hold(registry_lock);
    queues[self.id] = self.queue;
  }
  return self.queue;
}

bool Post(ThreadId thread, const Message& message) {
  std::shared_ptr<Queue> queue;
  {
    std::lock_guard<std::mutex> hold(registry_lock);
    auto it = queues.find(thread);
    if (it == queues.end()) return false;
    queue = it->second;
  }
  std::lock_guard<std::mutex> hold(queue->lock);
  queue->items.push_back(message);
  queue->arrived.notify_all();
  return true;
}

}  // namespace

ThreadId CurrentThreadId() { return self.id; }

void EnsureMessageQueue() { OwnQueue(); }

WindowHandle CreateNotificationWindow(WindowProcedure procedure) {
  OwnQueue();
  WindowHandle handle = next_window++;
  std::lock_guard<std::mutex> hold(registry_lock);
  windows[handle] = Window{self.id, std::move(procedure)};
  return handle;
}

void DestroyNotificationWindow(WindowHandle window) {
  std::shared_ptr<Queue> queue;
  {
    std::lock_guard<std::mutex> hold(registry_lock);
    auto it = windows.find(window);
    if (it == windows.end()) return;
    auto q = queues.find(it->second.owner);
    if (q != queues.end()) queue = q->second;
    windows.erase(it);
  }
  if (!queue) return;
  std::lock_guard<std::mutex> hold(queue->lock);
  std::erase_if(queue->items, [&](const Message& m) { return m.window == window; });
}

ThreadId WindowThread(WindowHandle window) {
  std::lock_guard<std::mutex> hold(registry_lock);
  auto it = windows.find(window);
  return it == windows.end() ? 0 : it->second.owner;
}

bool PostMessageTo(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  ThreadId owner = WindowThread(window);
  return owner != 0 && Post(owner, Message{window, id, wparam, lparam});
}

bool PostThreadMessageTo(ThreadId thread, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  return Post(thread, Message{0, id, wparam, lparam});
}

std::intptr_t SendMessageTo(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  return DispatchMessage(Message{window, id, wparam, lparam});
}

bool ReplyMessage(std::intptr_t) { return false; }

bool PeekMessage(Message& message) {
  auto queue = OwnQueue();
  std::lock_guard<std::mutex> hold(queue->lock);
  if (queue->items.empty()) return false;
  message = queue->items.front();
  queue->items.pop_front();
  return true;
}

bool GetMessage(Message& message) {
  auto queue = OwnQueue();
  std::unique_lock<std::mutex> hold(queue->lock);
  queue->arrived.wait(hold, [&] { return !queue->items.empty(); });
  message = queue->items.front();
  queue->items.pop_front();
  return message.id != kWmQuit;
}

void WaitMessage() {
  auto queue = OwnQueue();
  std::unique_lock<std::mutex> hold(queue->lock);
  queue->arrived.wait(hold, [&] { return !queue->items.empty(); });
}

std::intptr_t DispatchMessage(const Message& message) {
  WindowProcedure procedure;
  {
    std::lock_guard<std::mutex> hold(registry_lock);
    auto it = windows.find(message.window);
    if (it == windows.end()) return 0;
    procedure = it->second.procedure;
  }
  return procedure(message);
}

}  // namespace platform
