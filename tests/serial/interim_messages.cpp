// INTERIM: a small stand-in for platform/messages.h so that the serial tests link and can run
// smWindowSync before the real Linux implementation lands on main. Delete this file when
// merging main brings platform/linux/messages.cpp (the linker reports duplicate symbols).
//
// Sent messages are run by the receiving thread inside PeekMessage/GetMessage; destroying a
// window releases senders still waiting on it with 0.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

#include "platform/messages.h"

namespace platform {
namespace {

struct SentState {
  bool done = false;
  std::intptr_t result = 0;
};

struct Item {
  Message message;
  std::shared_ptr<SentState> sent;  // null for posted messages
};

std::mutex lock;
std::condition_variable changed;
std::map<ThreadId, std::deque<Item>> queues;
std::map<WindowHandle, std::pair<ThreadId, WindowProcedure>> windows;
WindowHandle next_window = 1;
std::atomic<ThreadId> next_thread{1};
thread_local ThreadId this_thread_id = 0;
thread_local std::shared_ptr<SentState> current_sent;

void Finish(const std::shared_ptr<SentState>& sent, std::intptr_t result) {
  if (sent->done) return;
  sent->done = true;
  sent->result = result;
  changed.notify_all();
}

// Runs sent items for this thread; answers a posted message when one is queued.
bool Take(std::unique_lock<std::mutex>& hold, Message& out) {
  auto& q = queues[CurrentThreadId()];
  while (!q.empty()) {
    Item item = q.front();
    q.pop_front();
    if (!item.sent) {
      out = item.message;
      return true;
    }
    auto it = windows.find(item.message.window);
    if (it == windows.end()) {
      Finish(item.sent, 0);
      continue;
    }
    WindowProcedure proc = it->second.second;
    hold.unlock();
    auto saved = current_sent;
    current_sent = item.sent;
    std::intptr_t result = proc(item.message);
    current_sent = saved;
    hold.lock();
    Finish(item.sent, result);
  }
  return false;
}

}  // namespace

ThreadId CurrentThreadId() {
  if (this_thread_id == 0) this_thread_id = next_thread++;
  return this_thread_id;
}

void EnsureMessageQueue() {
  std::lock_guard<std::mutex> hold(lock);
  queues[CurrentThreadId()];
}

WindowHandle CreateNotificationWindow(WindowProcedure procedure) {
  std::lock_guard<std::mutex> hold(lock);
  queues[CurrentThreadId()];
  WindowHandle w = next_window++;
  windows[w] = {CurrentThreadId(), std::move(procedure)};
  return w;
}

void DestroyNotificationWindow(WindowHandle window) {
  std::lock_guard<std::mutex> hold(lock);
  auto it = windows.find(window);
  if (it == windows.end()) return;
  auto& q = queues[it->second.first];
  for (auto i = q.begin(); i != q.end();) {
    if (i->message.window != window) {
      ++i;
      continue;
    }
    if (i->sent) Finish(i->sent, 0);
    i = q.erase(i);
  }
  windows.erase(it);
}

ThreadId WindowThread(WindowHandle window) {
  std::lock_guard<std::mutex> hold(lock);
  auto it = windows.find(window);
  return it == windows.end() ? 0 : it->second.first;
}

bool PostMessageTo(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  std::lock_guard<std::mutex> hold(lock);
  auto it = windows.find(window);
  if (it == windows.end()) return false;
  queues[it->second.first].push_back({{window, id, wparam, lparam}, nullptr});
  changed.notify_all();
  return true;
}

bool PostThreadMessageTo(ThreadId thread, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  std::lock_guard<std::mutex> hold(lock);
  auto it = queues.find(thread);
  if (it == queues.end()) return false;
  it->second.push_back({{0, id, wparam, lparam}, nullptr});
  changed.notify_all();
  return true;
}

std::intptr_t SendMessageTo(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam) {
  std::unique_lock<std::mutex> hold(lock);
  auto it = windows.find(window);
  if (it == windows.end()) return 0;
  if (it->second.first == CurrentThreadId()) {
    WindowProcedure proc = it->second.second;
    hold.unlock();
    return proc({window, id, wparam, lparam});
  }
  auto sent = std::make_shared<SentState>();
  queues[it->second.first].push_back({{window, id, wparam, lparam}, sent});
  changed.notify_all();
  changed.wait(hold, [&] { return sent->done; });
  return sent->result;
}

bool ReplyMessage(std::intptr_t result) {
  std::lock_guard<std::mutex> hold(lock);
  if (!current_sent || current_sent->done) return false;
  Finish(current_sent, result);
  return true;
}

bool PeekMessage(Message& message) {
  std::unique_lock<std::mutex> hold(lock);
  return Take(hold, message);
}

bool GetMessage(Message& message) {
  std::unique_lock<std::mutex> hold(lock);
  while (!Take(hold, message)) changed.wait(hold);
  return message.id != kWmQuit;
}

void WaitMessage() {
  std::unique_lock<std::mutex> hold(lock);
  changed.wait(hold, [] { return !queues[CurrentThreadId()].empty(); });
}

std::intptr_t DispatchMessage(const Message& message) {
  std::unique_lock<std::mutex> hold(lock);
  auto it = windows.find(message.window);
  if (it == windows.end()) return 0;
  WindowProcedure proc = it->second.second;
  hold.unlock();
  return proc(message);
}

}  // namespace platform
