#pragma once
// The thread on which a service's callbacks run. Created suspended; Start lets it run.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class TService;

class TServiceThread {
 public:
  explicit TServiceThread(TService& service) : service_(service) {}
  ~TServiceThread();
  TServiceThread(const TServiceThread&) = delete;
  TServiceThread& operator=(const TServiceThread&) = delete;

  // Lets the thread run; raises Exception when it cannot be created.
  void Start();
  // Waits until the thread's body has ended.
  void WaitFor();

  bool StopRequested() const { return stop_requested_; }
  void RequestStop() { stop_requested_ = true; }

  // Called on the thread itself: sleeps until a control code arrives that it has not taken.
  void SuspendUntilNextCode();
  bool Suspended() const;
  // Bookkeeping of control codes, so that a suspended thread wakes for the next one.
  void CodePosted();
  void CodeTaken();

 private:
  TService& service_;
  std::thread thread_;
  std::atomic<bool> stop_requested_{false};
  mutable std::mutex lock_;
  std::condition_variable resumed_;
  bool suspended_ = false;
  std::uint64_t codes_posted_ = 0;
  std::uint64_t codes_taken_ = 0;
};
