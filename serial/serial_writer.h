#pragma once
// The writer of one open port: takes bytes from any thread without waiting for the line and
// writes them on a thread of its own, in order, in pieces, each with PortWrite (so each piece
// has the port's write time-out). A piece is about what the line took in a second lately
// (kPieceBytes to kLargestPieceBytes), so a slow line shows progress every few seconds and a
// fast one is not cut into small writes. What a piece that timed out did not write stays first
// in line; a piece whose write fails (the line went away) is dropped, as a failed write always
// was. Bytes handed over and not yet taken by the device are "kept".
//
// Threads: Write, KeptBytes, Dropped, IsStalled and DropKept may be called from any thread. The writer's
// own thread runs the writes and the `drained` hook. Stop and the destructor may be called
// from any thread but the writer's own (so not from the hook); they end a write that waits for
// the line at once. The port must stay open until the writer has stopped.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "base/byte_string.h"

class TCustomComPort;
class EComPort;

class SerialWriter {
 public:
  using Clock = std::chrono::steady_clock;
  // The smallest piece: about 4 s on a line at 9600 bit/s, well within any stall bound.
  static constexpr std::size_t kPieceBytes = 4096;
  static constexpr std::size_t kLargestPieceBytes = 64 * 1024;

  // Starts the writer's thread. `drained` runs on that thread each time the kept bytes fall to
  // `drained_mark` or below, having been above it. `failed` runs for each write that fails
  // (the line went away; not for a write that a drop or the stop ended), on the writer's
  // thread or on the thread that called Write; neither hook runs under the writer's lock.
  SerialWriter(TCustomComPort& port, std::size_t drained_mark, std::function<void()> drained,
               std::function<void(const EComPort&)> failed = nullptr);
  ~SerialWriter();
  SerialWriter(const SerialWriter&) = delete;
  SerialWriter& operator=(const SerialWriter&) = delete;

  TCustomComPort& Port() const { return port_; }

  // Hands `bytes` over behind everything kept before; returns at once. When nothing is kept,
  // what the device takes at once is written right here (PortWriteNow), so that a line that
  // keeps up costs no switch to the writer's thread. Nothing once stopped.
  void Write(const ByteString& bytes);
  // Bytes handed over and not yet taken by the device, the piece being written included.
  std::size_t KeptBytes() const;
  // Bytes handed over that never reach the device: dropped by DropKept or Stop, or left out by
  // a write that failed. With what the device took, they add up to every byte handed over.
  std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
  // About what the line took in a second lately: the size of the next piece, at least
  // kPieceBytes and at most kLargestPieceBytes.
  std::size_t Pace() const { return piece_bytes_.load(); }
  // True when bytes are kept and the device has taken none of them for longer than `limit`.
  bool IsStalled(Clock::time_point now, Clock::duration limit) const;
  // Drops every kept byte; a write that waits for the line is ended at once. Answers how many
  // bytes were dropped.
  std::size_t DropKept();
  // Drops what is kept, ends a waiting write and joins the thread. Writes are ignored after.
  void Stop();
  // Runs `hook` on the writer's thread each time it has taken a piece and let go of its lock,
  // just before the piece goes to the port: the moment in which a drop or a stop can come
  // between, which a test holds open with it. Set it before the first Write.
  void SetBeforeWriteHook(std::function<void()> hook) { before_write_ = std::move(hook); }

 private:
  struct KeptPiece {
    ByteString bytes;
    std::size_t offset;  // bytes of `bytes` already written
  };
  void Run();
  // Calls `failed_` with the EComPort that `failure` holds.
  void ReportFailure(const std::exception_ptr& failure) const;
  // The next piece: up to piece_bytes_ from the front of the queue. Caller holds lock_.
  ByteString NextPiece() const;
  // Removes `count` written (or dropped) bytes from the front of the queue. Caller holds lock_.
  void Consume(std::size_t count);

  TCustomComPort& port_;
  const std::size_t drained_mark_;
  const std::function<void()> drained_;
  const std::function<void(const EComPort&)> failed_;
  std::function<void()> before_write_;

  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::deque<KeptPiece> queue_;
  std::size_t kept_ = 0;               // bytes in queue_ not yet written
  bool writing_ = false;               // a PortWrite of the front bytes is in progress
  std::uint64_t drops_ = 0;            // raised by every drop: a write that began before is void
  Clock::time_point progress_at_{};    // when the device last took bytes, or they began to wait
  std::atomic<std::size_t> piece_bytes_{kPieceBytes};  // set by the writer's thread
  bool above_mark_ = false;
  std::atomic<std::uint64_t> dropped_{0};  // changed under lock_
  bool stopping_ = false;
  std::thread thread_;
};
