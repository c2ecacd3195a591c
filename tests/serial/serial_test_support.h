#pragma once
// Pseudo-terminal pairs as serial lines (the slave is the port, the test holds the master as
// the far device), a main-thread loop for tests, and a router that records routed exceptions.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <string>
#include <vector>

#include "base/exception_routing.h"
#include "base/main_thread_calls.h"
#include "serial/com_errors.h"
#include "tests/support/test_support.h"

namespace serial_test {

class PtyPair {
 public:
  PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    char name[128];
    if (::ptsname_r(master_, name, sizeof name) == 0) slave_ = name;
  }
  ~PtyPair() { CloseMaster(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool ok() const { return master_ >= 0 && !slave_.empty(); }
  int master() const { return master_; }
  const std::string& slave() const { return slave_; }

  // False when the line did not take every byte within the timeout.
  bool Write(const std::string& bytes, std::chrono::milliseconds timeout = test::kDeadline) {
    std::size_t done = 0;
    auto end = test::Clock::now() + timeout;
    while (done < bytes.size()) {
      ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (test::Clock::now() > end) return false;
      pollfd p{master_, POLLOUT, 0};
      ::poll(&p, 1, 50);
    }
    return true;
  }

  // Reads until `count` bytes came or the deadline passed.
  std::string Read(std::size_t count, std::chrono::milliseconds timeout = test::kDeadline) {
    std::string out;
    auto end = test::Clock::now() + timeout;
    while (out.size() < count && test::Clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      char buffer[4096];
      ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - out.size()));
      if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

  // The line settings of the pair as the slave sees them.
  termios Settings() const {
    termios t{};
    ::tcgetattr(master_, &t);
    return t;
  }

  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

// Runs calls queued for the main thread (the test thread) until `condition` holds or the
// deadline passes.
inline bool ServeMainThreadUntil(const std::function<bool()>& condition,
                                 std::chrono::milliseconds timeout = test::kDeadline) {
  return test::WaitUntil(
      [&] {
        main_thread::CheckSynchronize();
        return condition();
      },
      timeout);
}

// Records what reaches the exception routing while it lives.
class RoutedExceptions {
 public:
  RoutedExceptions() {
    routing::SetRouter([this](TObject* sender, std::exception_ptr error) {
      std::lock_guard<std::mutex> hold(lock_);
      senders_.push_back(sender);
      errors_.push_back(error);
    });
  }
  ~RoutedExceptions() { routing::SetRouter(nullptr); }

  std::size_t Count() {
    std::lock_guard<std::mutex> hold(lock_);
    return errors_.size();
  }
  TObject* Sender(std::size_t i) {
    std::lock_guard<std::mutex> hold(lock_);
    return senders_.at(i);
  }
  // Rethrows the i-th error (for EXPECT_THROW-style inspection).
  void Rethrow(std::size_t i) {
    std::exception_ptr e;
    {
      std::lock_guard<std::mutex> hold(lock_);
      e = errors_.at(i);
    }
    std::rethrow_exception(e);
  }

 private:
  std::mutex lock_;
  std::vector<TObject*> senders_;
  std::vector<std::exception_ptr> errors_;
};

// The ComErrorCode and WinErrorCode of what `action` raised (0, 0 when it raised nothing).
template <typename F>
std::pair<int, int> ComErrorOf(F&& action) {
  try {
    action();
  } catch (const EComPort& e) {
    return {e.ComErrorCode(), e.WinErrorCode()};
  }
  return {0, 0};
}

}  // namespace serial_test
