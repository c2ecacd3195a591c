#pragma once
// A bounded queue with a writer thread of its own, for output whose reader may stop (standard
// error on a pipe nobody reads, an event log that does not read). The threads that produce the
// items never wait for the reader: they queue and go on. While the queue is full new items are
// dropped and counted, and once the reader takes items again a note with that count is written.
// Used by each platform's console and event-log sinks; only standard C++ here.
//
// Any thread may call Push, Wake, Flush and Stop. The writer thread starts with the first item
// and ends in Stop, which each sink calls when the process exits (flushing for a bounded time).

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace platform::detail {

enum class WriteOutcome {
  kWritten,  // the item is written
  kNotNow,   // the reader takes nothing now; the item stays first in line
  kRefused,  // the item can never be written (the reader is gone); it is dropped
};

template <typename Item>
class QueuedWriter {
 public:
  using Clock = std::chrono::steady_clock;

  struct Sink {
    // Writes one item (or more of it: the item may keep its progress), waiting at most
    // `wait_ms` for the reader. Runs on the writer thread; after Stop, on the pushing thread
    // with a wait of 0.
    std::function<WriteOutcome(Item& item, int wait_ms)> write;
    // The note that `dropped` items were dropped, written after `last`, the item with which
    // the reader came back.
    std::function<Item(std::uint64_t dropped, const Item& last)> dropped_note;
    // Optional: items that become due by time (summaries), and when the next one is due.
    // Called under no lock of the writer; `now` is Clock::time_point::max() when the writer
    // stops and everything pending is due.
    std::function<std::vector<Item>(Clock::time_point now)> take_due;
    std::function<std::optional<Clock::time_point>()> next_due;
  };

  QueuedWriter(std::size_t capacity, Sink sink) : capacity_(capacity), sink_(std::move(sink)) {}
  ~QueuedWriter() { Stop(0); }
  QueuedWriter(const QueuedWriter&) = delete;
  QueuedWriter& operator=(const QueuedWriter&) = delete;

  // Queues an item; false when the queue is full and the item was dropped (and counted).
  bool Push(Item item) {
    std::unique_lock<std::mutex> hold(lock_);
    if (stopped_) {
      hold.unlock();
      WriteNow(item);
      return true;
    }
    if (queue_.size() >= capacity_) {
      ++dropped_;
      return false;
    }
    queue_.push_back(std::move(item));
    ++queued_;
    StartLocked();
    changed_.notify_all();
    return true;
  }

  // The due times may have changed (a summary became pending): the writer looks again.
  void Wake() {
    std::lock_guard<std::mutex> hold(lock_);
    woken_ = true;
    StartLocked();
    changed_.notify_all();
  }

  // Waits until every item queued so far has been written or dropped, at most `timeout_ms`.
  bool Flush(int timeout_ms) {
    std::unique_lock<std::mutex> hold(lock_);
    const std::uint64_t target = queued_;
    return changed_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [&] { return finished_ >= target; });
  }

  // Writes what is queued and due, for at most `timeout_ms`, then ends the writer thread;
  // later items are written at once on the pushing thread without waiting for the reader.
  // A writer thread still held by its reader after the bound is left to the process's end.
  void Stop(int timeout_ms) {
    std::unique_lock<std::mutex> hold(lock_);
    if (stopped_) return;
    stopping_ = true;
    stop_deadline_ = Clock::now() + std::chrono::milliseconds(timeout_ms);
    changed_.notify_all();
    if (thread_.joinable()) {
      // The writer may stay in a write for its slice beyond the deadline.
      const bool ended = changed_.wait_until(hold, stop_deadline_ + std::chrono::milliseconds(2 * kSliceMs),
                                             [&] { return thread_ended_; });
      std::thread thread = std::move(thread_);
      hold.unlock();
      if (ended) {
        thread.join();
      } else {
        thread.detach();
      }
      hold.lock();
    }
    stopped_ = true;
  }

  std::uint64_t Dropped() const {
    std::lock_guard<std::mutex> hold(lock_);
    return dropped_total_ + dropped_;
  }

 private:
  static constexpr int kSliceMs = 100;  // the longest a write waits before the writer looks again

  void StartLocked() {
    if (thread_.joinable() || stopping_ || stopped_) return;
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      // No thread now (the system is short of them): the items wait, the next Push tries again.
    }
  }

  // After the writer has ended: one try, no waiting.
  void WriteNow(Item& item) {
    std::lock_guard<std::mutex> hold(late_lock_);
    (void)sink_.write(item, 0);
  }

  void Run() {
    std::unique_lock<std::mutex> hold(lock_);
    while (true) {
      if (queue_.empty()) {
        const bool stopping = stopping_;
        hold.unlock();
        TakeDue(stopping ? Clock::time_point::max() : Clock::now());
        std::optional<Clock::time_point> due = sink_.next_due ? sink_.next_due() : std::nullopt;
        hold.lock();
        if (!queue_.empty()) continue;
        if (stopping_) {
          if (stopping) break;
          continue;  // asked to stop meanwhile: everything pending is due first
        }
        auto woken = [&] { return !queue_.empty() || stopping_ || woken_; };
        if (due) {
          changed_.wait_until(hold, *due, woken);
        } else {
          changed_.wait(hold, woken);
        }
        woken_ = false;  // woken by Wake() alone: the due times are looked at again above
        continue;
      }
      Item item = std::move(queue_.front());
      queue_.pop_front();
      hold.unlock();
      WriteOutcome outcome = WriteOutcome::kNotNow;
      while (true) {
        outcome = sink_.write(item, kSliceMs);
        if (outcome != WriteOutcome::kNotNow) break;
        std::lock_guard<std::mutex> check(lock_);
        if (stopping_ && Clock::now() >= stop_deadline_) break;
      }
      hold.lock();
      ++finished_;
      if (outcome == WriteOutcome::kNotNow) {
        // Stopping, and the reader still takes nothing: what is left is dropped.
        dropped_total_ += queue_.size() + 1;
        finished_ += queue_.size();
        queue_.clear();
        break;
      }
      if (outcome == WriteOutcome::kWritten && dropped_ > 0) {
        // The reader is back: say how many items it missed, after what was queued meanwhile.
        queue_.push_back(sink_.dropped_note(dropped_, item));
        ++queued_;
        dropped_total_ += dropped_;
        dropped_ = 0;
      }
      changed_.notify_all();
    }
    thread_ended_ = true;
    changed_.notify_all();
  }

  void TakeDue(Clock::time_point now) {
    if (!sink_.take_due) return;
    std::vector<Item> due = sink_.take_due(now);
    if (due.empty()) return;
    std::lock_guard<std::mutex> hold(lock_);
    for (Item& item : due) {
      if (queue_.size() >= capacity_) {
        ++dropped_;
        continue;
      }
      queue_.push_back(std::move(item));
      ++queued_;
    }
  }

  const std::size_t capacity_;
  Sink sink_;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::deque<Item> queue_;
  std::uint64_t queued_ = 0;    // items ever queued
  std::uint64_t finished_ = 0;  // items written or dropped after they were queued
  std::uint64_t dropped_ = 0;   // dropped since the last note
  std::uint64_t dropped_total_ = 0;
  std::thread thread_;
  bool thread_ended_ = false;
  bool woken_ = false;
  bool stopping_ = false;
  bool stopped_ = false;
  Clock::time_point stop_deadline_{};
  std::mutex late_lock_;  // writes after the stop, from any thread, one at a time
};

}  // namespace platform::detail
