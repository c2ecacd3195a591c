#pragma once
// Calls that other threads queue for the main thread and wait for. The main thread runs them
// from its message loop (CheckSynchronize); an exception a call raises is carried back and
// raised again in the thread that queued it.

#include <functional>

namespace main_thread {

// Records the calling thread as the main thread. Called once, first thing in the entry.
void SetMainThread();
bool IsMainThread();

// Installs the wake-up that queuing a call performs (the application posts itself an empty
// message). Empty restores "no wake-up".
void SetWakeUp(std::function<void()> wake);

// Runs `call` on the main thread and returns when it has run; on the main thread it runs at
// once. Rethrows what the call raised.
void Synchronize(const std::function<void()>& call);

// Main thread only: runs every queued call in order. Answers true when at least one ran.
// On another thread raises Exception "CheckSynchronize called from thread $%x, which is NOT
// the main thread".
bool CheckSynchronize();

// Waits until `done` answers true. On the main thread the wait keeps running queued calls, so
// a thread that waits for the main thread cannot block it; elsewhere it is a plain wait.
// Whoever makes `done` true must call WakeWaiters() afterwards.
void WaitServingCalls(const std::function<bool()>& done);
void WakeWaiters();

}  // namespace main_thread
