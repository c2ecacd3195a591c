#include "serial/serial_writer.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "base/exception_routing.h"
#include "serial/com_errors.h"
#include "serial/com_port.h"

SerialWriter::SerialWriter(TCustomComPort& port, std::size_t drained_mark, std::function<void()> drained,
                           std::function<void(const EComPort&)> failed)
    : port_(port), drained_mark_(drained_mark), drained_(std::move(drained)), failed_(std::move(failed)) {
  thread_ = std::thread(&SerialWriter::Run, this);
}

SerialWriter::~SerialWriter() { Stop(); }

void SerialWriter::Write(const ByteString& bytes) {
  if (bytes.empty()) return;
  std::exception_ptr failure;
  bool queued = false;
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_) return;
    std::size_t written = 0;
    if (kept_ == 0 && !writing_) {
      // Nothing waits before these bytes, and the writer's thread is idle (it starts a write
      // only under the lock).
      try {
        written = static_cast<std::size_t>(std::max<std::int32_t>(port_.PortWriteNow(bytes, &written), 0));
      } catch (const EComPort&) {
        failure = std::current_exception();  // the line went away: the bytes it did not take are dropped
        dropped_ += bytes.size() - std::min(written, bytes.size());
      }
    }
    if (!failure && written < bytes.size()) {
      if (kept_ == 0) progress_at_ = Clock::now();
      queue_.push_back(KeptPiece{bytes, written});
      kept_ += bytes.size() - written;
      if (kept_ > drained_mark_) above_mark_ = true;
      queued = true;
    }
  }
  if (queued) wake_.notify_one();
  if (failure) ReportFailure(failure);
}

void SerialWriter::ReportFailure(const std::exception_ptr& failure) const {
  if (!failed_) return;
  try {
    std::rethrow_exception(failure);
  } catch (const EComPort& e) {
    failed_(e);
  }
}

std::size_t SerialWriter::KeptBytes() const {
  std::lock_guard<std::mutex> hold(lock_);
  return kept_;
}

bool SerialWriter::IsStalled(Clock::time_point now, Clock::duration limit) const {
  std::lock_guard<std::mutex> hold(lock_);
  return kept_ > 0 && now - progress_at_ > limit;
}

std::size_t SerialWriter::DropKept() {
  std::lock_guard<std::mutex> hold(lock_);
  const std::size_t dropped = kept_;
  dropped_ += kept_;
  queue_.clear();
  kept_ = 0;
  above_mark_ = false;
  ++drops_;
  // Under the lock, so the write ended is the one that carries the dropped bytes (its mark was
  // taken under the lock, before this abort): the writer starts no other before it has taken
  // the lock again.
  if (writing_) port_.AbortWrites();
  return dropped;
}

void SerialWriter::Stop() {
  assert(std::this_thread::get_id() != thread_.get_id() && "a writer cannot wait for itself");
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
    queue_.clear();
    dropped_ += kept_;
    kept_ = 0;
    ++drops_;
    if (writing_) port_.AbortWrites();
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

ByteString SerialWriter::NextPiece() const {
  const std::size_t most = piece_bytes_.load();
  const KeptPiece& front = queue_.front();
  const std::size_t first = front.bytes.size() - front.offset;
  if (first >= most || queue_.size() == 1) {
    // The common case: one handed-over string, written as it is when it fits in a piece.
    if (front.offset == 0 && first <= most) return front.bytes;
    return ByteString(front.bytes.data() + front.offset, std::min(first, most));
  }
  // Several strings wait: they go to the line together.
  ByteString piece = ByteString::Uninitialized(std::min(kept_, most));
  std::size_t filled = 0;
  for (const KeptPiece& kept : queue_) {
    const std::size_t take = std::min(kept.bytes.size() - kept.offset, piece.size() - filled);
    std::memcpy(piece.MutableData() + filled, kept.bytes.data() + kept.offset, take);
    filled += take;
    if (filled == piece.size()) break;
  }
  return piece;
}

void SerialWriter::Consume(std::size_t count) {
  kept_ -= count;
  while (count > 0) {
    KeptPiece& front = queue_.front();
    const std::size_t take = std::min(count, front.bytes.size() - front.offset);
    front.offset += take;
    count -= take;
    if (front.offset == front.bytes.size()) queue_.pop_front();
  }
}

void SerialWriter::Run() {
  std::unique_lock<std::mutex> hold(lock_);
  while (true) {
    wake_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    const ByteString piece = NextPiece();
    const std::uint64_t drops = drops_;
    // Taken under the lock: a drop or a stop from here on aborts this write, even before it
    // has begun.
    const platform::SerialAbortMark abort_mark = port_.WriteAbortMark();
    writing_ = true;
    hold.unlock();
    if (before_write_) before_write_();

    std::size_t written = 0;
    bool failed = false;
    std::exception_ptr failure;
    const Clock::time_point began = Clock::now();
    try {
      written = static_cast<std::size_t>(std::max<std::int32_t>(port_.PortWrite(piece, abort_mark, &written), 0));
    } catch (const EComPort&) {
      failed = true;  // the line went away, or the write was aborted
      failure = std::current_exception();
    } catch (...) {
      failed = true;
      routing::RouteException(&port_);
    }
    // The next piece: what the line took in a second at this piece's pace.
    const auto took = std::max<std::int64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - began).count(), 1);
    const std::uint64_t per_second = static_cast<std::uint64_t>(written) * 1000000u / static_cast<std::uint64_t>(took);
    piece_bytes_ = static_cast<std::size_t>(std::clamp<std::uint64_t>(per_second, kPieceBytes, kLargestPieceBytes));

    hold.lock();
    writing_ = false;
    written = std::min(written, piece.size());
    if (drops != drops_) {
      // Dropped meanwhile: the piece went with the rest, and was counted whole, though the
      // device may have taken some of it.
      dropped_ -= written;
      continue;
    }
    if (written > 0) progress_at_ = Clock::now();
    // What a failed piece did not write is dropped; what a timed-out piece did not write stays
    // first in line.
    if (failed) dropped_ += piece.size() - written;
    Consume(failed ? piece.size() : written);
    if (failure) {
      hold.unlock();
      ReportFailure(failure);
      hold.lock();
    }
    if (above_mark_ && kept_ <= drained_mark_) {
      above_mark_ = false;
      if (drained_) {
        hold.unlock();
        drained_();
        hold.lock();
      }
    }
  }
}
