// How the relay treats readers slower than their source, beside fast ones. Not a test: prints
// tables.
//
//  1. Churn: a server reads 40 KB/s; rounds of three devices connect, send 32 KiB each and
//     close, a round every 10 ms or as soon as the relay's listener has room for it in its
//     queue. The relay's resident size every 10 s, and afterwards (the server reading at full
//     speed) whether every device's bytes arrived.
//  2. Bursts: 4 MiB every 3 s and 8 MiB every 5 s to a fast server and one that reads 2 MB/s.
//     Per burst, how long after its start the fast one had all of it; whether a reader was cut;
//     whether both received every byte.
//  3. Steady: a device sends at 10 MiB/s (a pause is not made up for) to a fast server and to
//     one that reads at 100 KB/s, 200 KB/s, 500 KB/s or 2 MB/s. The fast one's share of the source's rate
//     over each second and from second 3 on, when the slow one was cut and why.
//
//   pace_bench <tcp_port_serv> [--earlier <tcp_port_serv>] [--only churn,bursts,steady]
//              [--churn-seconds N]
//
// With an earlier executable, every measure is taken of it too, after this relay's.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

using namespace bench;
using namespace std::chrono_literals;

namespace {

constexpr double kMiB = 1 << 20;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Connections that the relay's listener on `port` holds in its queue, not yet accepted (a
// listening socket's unread count in the kernel's TCP table).
int ListenQueue(int port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (state == "0A" && std::stoi(local.substr(local.find(':') + 1), nullptr, 16) == port) {
      return std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
  }
  return -1;
}

// Reads a connection on a thread of its own, at most `rate` bytes a second (0: as fast as it
// can; a paced reader never takes more than a tenth of a second's worth at once), checks every
// byte against PatternByte, and notes when its total grew.
class Reader {
 public:
  Reader(int fd, double rate) : fd_(fd), rate_(rate), thread_([this] { Run(); }) {}
  ~Reader() {
    stop_ = true;
    thread_.join();
  }
  void FullSpeed() { rate_ = 0; }
  std::size_t count() const { return count_; }
  bool closed() const { return closed_; }
  bool intact() const { return intact_; }
  // Waits until `total` bytes came, the connection closed, or the deadline passed.
  bool WaitFor(std::size_t total, Clock::time_point deadline) {
    while (count_ < total && !closed_ && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
    return count_ >= total;
  }
  // When the total first reached `total` (Clock::time_point::max() if it did not).
  Clock::time_point Reached(std::size_t total) {
    std::lock_guard<std::mutex> hold(lock_);
    for (const auto& [when, count] : arrivals_)
      if (count >= total) return when;
    return Clock::time_point::max();
  }
  // The total at `when`.
  std::size_t CountAt(Clock::time_point when) {
    std::lock_guard<std::mutex> hold(lock_);
    std::size_t total = 0;
    for (const auto& [at, count] : arrivals_) {
      if (at > when) break;
      total = count;
    }
    return total;
  }

 private:
  void Run() {
    std::vector<char> buffer(1 << 16);
    double allowance = 0;
    auto last = Clock::now();
    while (!stop_) {
      std::size_t want = buffer.size();
      if (const double rate = rate_; rate > 0) {
        const auto now = Clock::now();
        allowance = std::min(allowance + rate * Seconds(now - last), std::max(rate / 10, 1024.0));
        last = now;
        if (allowance < 1) {
          std::this_thread::sleep_for(2ms);
          continue;
        }
        want = std::min(want, static_cast<std::size_t>(allowance));
      }
      if (bench::WaitFor(fd_, POLLIN, Clock::now() + 50ms) == 0) continue;
      const ssize_t n = recv(fd_, buffer.data(), want, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        closed_ = true;
        return;
      }
      if (rate_ > 0) allowance -= static_cast<double>(n);
      const std::size_t at = count_;
      for (ssize_t i = 0; i < n && intact_; ++i) intact_ = buffer[i] == PatternByte(at + i);
      std::lock_guard<std::mutex> hold(lock_);
      count_ += static_cast<std::size_t>(n);
      arrivals_.emplace_back(Clock::now(), count_);
    }
  }
  const int fd_;
  std::atomic<double> rate_;
  std::atomic<bool> stop_{false}, closed_{false}, intact_{true};
  std::atomic<std::size_t> count_{0};
  std::mutex lock_;
  std::vector<std::pair<Clock::time_point, std::size_t>> arrivals_;
  std::thread thread_;
};

// Sends the pattern to `fd` on a thread of its own: `size` bytes at once, from offset `from`.
bool SendPattern(int fd, std::size_t from, std::size_t size) {
  std::vector<char> chunk(1 << 16);
  for (std::size_t done = 0; done < size; done += chunk.size()) {
    const std::size_t n = std::min(chunk.size(), size - done);
    for (std::size_t i = 0; i < n; ++i) chunk[i] = PatternByte(from + done + i);
    if (!SendAll(fd, chunk.data(), n)) return false;
  }
  return true;
}

// One relay's channel with a device and `servers` servers joined, the last with a small
// receive buffer when asked. Each server is accepted before the device connects.
struct Channel {
  ConsoleRelay relay;
  int device_port, server_port;
  std::vector<int> servers;
  int device = -1;
  Channel(const std::string& exe, std::pair<int, int> ports)
      : relay(exe, TcpChannelLine(ports.first, ports.second)), device_port(ports.first), server_port(ports.second) {}
  ~Channel() {
    for (int fd : servers) close(fd);
    if (device >= 0) close(device);
  }
  bool Join(int count) {
    for (int i = 0; i < count; ++i) {
      servers.push_back(ConnectWithRetry(server_port, 10s));
      if (servers.back() < 0) return false;
    }
    device = ConnectWithRetry(device_port, 10s);
    return device >= 0 && Probe();
  }
  // A byte from the device reaches every server (which reads it away): all are joined.
  bool Probe() {
    if (!SendAll(device, "p", 1)) return false;
    for (int fd : servers) {
      char c;
      if (WaitFor(fd, POLLIN, Clock::now() + 10s) == 0 || recv(fd, &c, 1, 0) != 1) return false;
    }
    return true;
  }
  // The relay's entries that cut a peer, one per line (empty: none).
  std::string Cuts() const {
    std::istringstream console(relay.Console());
    std::string line, cuts;
    while (std::getline(console, line)) {
      if (line.find("was disconnected") != std::string::npos) cuts += "    " + line.substr(line.find("peer ")) + "\n";
    }
    return cuts;
  }
};

// ---- 1. Churn

void Churn(const std::string& label, const std::string& exe, int seconds) {
  Channel channel(exe, FreePortPair());
  if (!channel.Join(1)) return (void)std::printf("%s: the relay did not join the server\n", label.c_str());
  close(channel.device);
  channel.device = -1;
  Reader reader(channel.servers[0], 40e3);
  constexpr std::size_t kEach = 32 << 10;
  std::vector<char> bytes(kEach);
  for (std::size_t i = 0; i < kEach; ++i) bytes[i] = PatternByte(i);
  std::atomic<int> devices{0};
  std::atomic<bool> churning{true};
  std::thread churn([&] {
    while (churning) {
      const auto round = Clock::now();
      while (churning && ListenQueue(channel.device_port) >= 3) std::this_thread::sleep_for(1ms);
      for (int slot = 0; slot < 3 && churning; ++slot) {
        const int fd = ConnectLoopback(channel.device_port);
        if (fd < 0 || !SendAll(fd, bytes.data(), bytes.size())) {
          if (fd >= 0) close(fd);
          continue;
        }
        close(fd);
        ++devices;
      }
      std::this_thread::sleep_until(round + 10ms);
    }
  });
  const auto start = Clock::now();
  const long first = RssKiB(channel.relay.pid());
  long peak = first, last = first;
  std::printf("%s:\n| s | devices | RSS, KiB |\n|--:|--:|--:|\n| 0 | 0 | %ld |\n", label.c_str(), first);
  for (int s = 1; s <= seconds; ++s) {
    std::this_thread::sleep_until(start + std::chrono::seconds(s));
    last = RssKiB(channel.relay.pid());
    peak = std::max(peak, last);
    if (s % 10 == 0 || s == seconds) std::printf("| %d | %d | %ld |\n", s, devices.load(), last);
  }
  churning = false;
  churn.join();
  // Every device whose connection the relay took in sends all its bytes (the pattern's first
  // 32 KiB, so the server checks them as one stream of repeated pieces: counted, not checked).
  reader.FullSpeed();
  const std::size_t total = kEach * static_cast<std::size_t>(devices);
  const bool all = reader.WaitFor(total, Clock::now() + 120s);
  std::printf("start %ld KiB, peak %ld KiB, end %ld KiB: grew %.1f MiB; %d devices, %.1f MiB; %s\n%s\n", first, peak,
              last, (peak - first) / 1024.0, devices.load(), total / kMiB,
              all ? "the server got every byte" : "BYTES MISSING", channel.Cuts().c_str());
}

// ---- 2. Bursts

void Bursts(const std::string& label, const std::string& exe, std::size_t burst, int spacing_s, int count) {
  Channel channel(exe, FreePortPair());
  if (!channel.Join(2)) return (void)std::printf("%s: the relay did not join the servers\n", label.c_str());
  // The probe's byte is not part of the pattern the readers check: they start after it.
  Reader fast(channel.servers[0], 0), slow(channel.servers[1], 2e6);
  std::vector<Clock::time_point> begun;
  const auto start = Clock::now();
  bool sent = true;
  for (int b = 0; b < count && sent; ++b) {
    std::this_thread::sleep_until(std::max(Clock::now(), start + std::chrono::seconds(spacing_s) * b));
    begun.push_back(Clock::now());
    sent = SendPattern(channel.device, burst * static_cast<std::size_t>(b), burst);
  }
  const std::size_t total = burst * static_cast<std::size_t>(count);
  const auto deadline = Clock::now() + 60s;
  const bool fast_all = fast.WaitFor(total, deadline), slow_all = slow.WaitFor(total, deadline);
  std::printf("%s, %.0f MiB every %d s: the fast one had each burst after", label.c_str(), burst / kMiB, spacing_s);
  double longest = 0;
  for (std::size_t b = 0; b < begun.size(); ++b) {
    const double wait = Seconds(fast.Reached(burst * (b + 1)) - begun[b]);
    longest = std::max(longest, wait);
    std::printf(" %.2f", wait);
  }
  std::printf(" s (longest %.2f s); fast %s, slow %s\n%s", longest,
              fast_all && fast.intact() ? "got every byte" : "LOST OR CHANGED BYTES",
              slow_all && slow.intact() ? "got every byte" : "LOST OR CHANGED BYTES", channel.Cuts().c_str());
}

// ---- 3. Steady

void Steady(const std::string& label, const std::string& exe, double slow_rate, int seconds) {
  constexpr double kRate = 10 * kMiB;
  Channel channel(exe, FreePortPair());
  if (!channel.Join(2)) return (void)std::printf("%s: the relay did not join the servers\n", label.c_str());
  Reader fast(channel.servers[0], 0), slow(channel.servers[1], slow_rate);
  std::atomic<bool> sending{true};
  std::atomic<std::size_t> sent{0};
  const auto start = Clock::now();
  std::thread source([&] {
    auto next = start;
    while (sending && Clock::now() < start + std::chrono::seconds(seconds)) {
      // At most the rate; what a pause held back is not made up for.
      next = std::max(next, Clock::now() - 100ms);
      std::this_thread::sleep_until(next);
      const std::size_t piece = 1 << 16;
      if (!SendPattern(channel.device, sent, piece)) return;
      sent += piece;
      next += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(piece / kRate));
    }
  });
  source.join();
  const bool fast_all = fast.WaitFor(sent, Clock::now() + 30s);
  std::printf("%s, slow one at %.0f KB/s: the fast one's share of %.0f MiB/s by second:", label.c_str(),
              slow_rate / 1e3, kRate / kMiB);
  for (int s = 0; s < seconds; ++s) {
    const auto from = start + std::chrono::seconds(s);
    const double got = static_cast<double>(fast.CountAt(from + 1s) - fast.CountAt(from));
    std::printf(" %.0f%%", 100 * got / kRate);
  }
  const double later = static_cast<double>(fast.CountAt(start + std::chrono::seconds(seconds)) -
                                           fast.CountAt(start + 3s));
  std::printf("\n  from second 3 on %.0f%%; the source sent %.1f MiB in %d s; fast %s; slow read %.1f MiB%s\n%s",
              100 * later / (kRate * (seconds - 3)), sent / kMiB, seconds,
              fast_all && fast.intact() ? "got every byte" : "LOST OR CHANGED BYTES", slow.count() / kMiB,
              slow.intact() ? "" : " (CHANGED)", channel.Cuts().c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::string earlier, only;
  int churn_seconds = 60;
  const std::string exe = ParseBenchArguments(
      argc, argv,
      {.numbers = {{"--churn-seconds", &churn_seconds}}, .texts = {{"--only", &only}}, .earlier = &earlier},
      "[--earlier <tcp_port_serv>] [--only churn,bursts,steady]\n       [--churn-seconds N]");
  std::vector<std::pair<std::string, std::string>> relays{{"korvenet", exe}};
  if (!earlier.empty()) relays.emplace_back("earlier", earlier);
  auto wants = [&](const char* part) { return Selected(only, part); };
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  RaiseFileLimit();
  if (wants("churn")) {
    for (const auto& [label, exe] : relays) Churn(label, exe, churn_seconds);
  }
  if (wants("bursts")) {
    // 4 MiB the kernel's buffers towards the slow one take whole (here); 8 MiB they do not,
    // and every 5 s the slow one keeps up on average.
    for (auto [mib, spacing] : {std::pair{4, 3}, std::pair{8, 5}}) {
      for (const auto& [label, exe] : relays) Bursts(label, exe, static_cast<std::size_t>(mib) << 20, spacing, 5);
    }
    std::printf("\n");
  }
  if (wants("steady")) {
    for (double slow_rate : {100e3, 200e3, 500e3, 2e6}) {
      for (const auto& [label, exe] : relays) Steady(label, exe, slow_rate, 12);
    }
  }
  return 0;
}
