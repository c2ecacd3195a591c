#pragma once
// A flood of small pieces, for the end-to-end tests and the fault matrix alike: connected
// sockets that send without pause, each thread of the flood to its share of them, 512 bytes
// whenever one takes them. Header-only; the flood ends when destroyed.

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace test {

class Flood {
 public:
  Flood(const std::vector<int>& sockets, int threads) {
    for (std::size_t t = 0; t < static_cast<std::size_t>(threads); ++t) {
      std::vector<pollfd> share;
      for (std::size_t i = t; i < sockets.size(); i += static_cast<std::size_t>(threads)) {
        share.push_back({sockets[i], POLLOUT, 0});
      }
      threads_.emplace_back([this, share]() mutable { Run(share); });
    }
  }
  ~Flood() { Stop(); }

  // Waits until every thread's sends are done.
  void Stop() {
    stop_ = true;
    for (auto& thread : threads_) thread.join();
    threads_.clear();
  }
  std::size_t Sent() const { return sent_; }

 private:
  void Run(std::vector<pollfd>& share) {
    const std::string piece(512, 'f');
    while (!stop_) {
      if (::poll(share.data(), share.size(), 50) <= 0) continue;
      for (const pollfd& p : share) {
        if (!(p.revents & POLLOUT)) continue;  // full, or closed by the relay
        const ssize_t n = ::send(p.fd, piece.data(), piece.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent_ += static_cast<std::size_t>(n);
      }
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> sent_{0};
  std::vector<std::thread> threads_;
};

}  // namespace test
