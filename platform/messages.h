#pragma once
// Per-thread message queues and notification windows.
//
// Every thread may own one message queue, created on first use and removed, with the thread's
// windows, when the thread ends. A notification window belongs to the thread that created it:
// messages posted to it wait in that thread's queue and its procedure runs only when that
// thread dispatches them, one at a time, in arrival order. Window handles are never reused.
// Destroying a window discards the messages still queued for it. Socket notifications
// (sockets.h) arrive in the same queue as posted messages.

#include <chrono>
#include <cstdint>
#include <functional>

namespace platform {

using WindowHandle = std::uint64_t;  // 0: no window
using ThreadId = std::uint64_t;      // 0: no thread

constexpr std::uint32_t kWmNull = 0;
constexpr std::uint32_t kWmEndSession = 22;
constexpr std::uint32_t kWmQuit = 0x12;
constexpr std::uint32_t kWmUser = 0x400;

struct Message {
  WindowHandle window = 0;  // 0 for a thread message
  std::uint32_t id = 0;
  std::uintptr_t wparam = 0;
  std::intptr_t lparam = 0;
};

// A window's procedure; its result is what SendMessage returns.
using WindowProcedure = std::function<std::intptr_t(const Message&)>;

ThreadId CurrentThreadId();

// Makes sure the calling thread has a queue (so that thread messages can be posted to it).
void EnsureMessageQueue();

// Creates a hidden window owned by the calling thread. Never returns 0.
WindowHandle CreateNotificationWindow(WindowProcedure procedure);
// Destroys a window; queued messages for it are dropped. Unknown handles are ignored.
void DestroyNotificationWindow(WindowHandle window);
// The thread that owns a window, 0 when the window does not exist.
ThreadId WindowThread(WindowHandle window);

// Posts to a window's queue from any thread. False when the window does not exist.
bool PostMessageTo(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam);
// Posts a thread message. False when the thread has no queue.
bool PostThreadMessageTo(ThreadId thread, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam);

// Sends to a window and waits until its procedure has run (or replied). From the window's own
// thread the procedure runs at once. Answers the procedure's result, 0 when the window is gone
// or is destroyed (or its thread ends) before the procedure ran. Messages sent from another
// thread are run by the owning thread inside PeekMessage, GetMessage, WaitMessage and its own
// waiting SendMessageTo, before posted messages; so two threads that send to each other do not
// deadlock.
std::intptr_t SendMessageTo(WindowHandle window, std::uint32_t id, std::uintptr_t wparam, std::intptr_t lparam);
// Inside a procedure running for a sent message: releases the sender at once with `result`.
// Answers false when the current message was not sent from another thread.
bool ReplyMessage(std::intptr_t result);

// Takes the next message without waiting; false when the queue is empty.
bool PeekMessage(Message& message);
// Waits for the next message; false when it is the quit message (kWmQuit).
bool GetMessage(Message& message);
// Blocks until the calling thread's queue holds a message.
void WaitMessage();
// Like WaitMessage, but gives up once `timeout_ms` milliseconds have passed, not before (a wait
// is never cut short to a spin). Answers whether a message waits; with 0 it only looks.
bool WaitMessageFor(int timeout_ms);
// Like WaitMessageFor, but up to an instant of the steady clock, not rounded to milliseconds
// where the platform can wait more finely. Made for waits repeated towards one instant, such
// as a run loop's pause that is interrupted by messages.
bool WaitMessageUntil(std::chrono::steady_clock::time_point deadline);
// Runs the procedure of the message's window; thread messages and messages for windows that
// no longer exist are dropped.
std::intptr_t DispatchMessage(const Message& message);

}  // namespace platform
