// Scenarios of pace: peers that read more slowly than their sources send, beside peers that keep
// up. Devices that come and go faster than a slow server reads, a lone server under a flood of
// devices that leave with their bytes in flight, a server that reads nothing but sends without
// end, and readers of two paces beside a bursty and beside a steady source. The
// relay's memory stays bounded, no reader is cut while it keeps within its cap, and the fast
// readers are held only briefly.

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <mutex>

#include "tests/matrix/matrix.h"
#include "tests/support/linux/flood.h"

namespace matrix {
namespace {

using std::chrono::duration;
using std::chrono::duration_cast;

// Reads a peer on a thread of its own, at most `rate` bytes a second (0: as fast as it can),
// handing what comes to `sink` (by default kept) and noting when it came.
class Reader {
 public:
  using Sink = std::function<void(const char* bytes, std::size_t size)>;
  explicit Reader(Peer& peer, double rate = 0, Sink sink = nullptr)
      : fd_(peer.fd()), rate_(rate), sink_(std::move(sink)), thread_([this] { Run(); }) {}
  ~Reader() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // From now on as fast as it can.
  void FullSpeed() { rate_ = 0; }
  // Waits until `count` bytes came (false at the timeout, or when the peer closed before).
  bool WaitFor(std::size_t count, milliseconds timeout = kDeadline) {
    return WaitUntil([&] { return count_ >= count || closed_; }, timeout) && count_ >= count;
  }
  // The relay closed the connection (end of stream, reset).
  bool closed() const { return closed_; }
  std::size_t count() const { return count_; }
  // What came, once stopped (when kept).
  const std::string& bytes() const { return bytes_; }
  // The total after each read, with its time.
  std::vector<std::pair<Clock::time_point, std::size_t>> Arrivals() {
    std::lock_guard<std::mutex> hold(lock_);
    return arrivals_;
  }
  // The longest time it received nothing between its first and its last read.
  milliseconds LongestGap() {
    const auto arrivals = Arrivals();
    Clock::duration longest{};
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
      longest = std::max(longest, arrivals[i].first - arrivals[i - 1].first);
    }
    return duration_cast<milliseconds>(longest);
  }

 private:
  void Run() {
    // A paced reader takes what its allowance has grown to: up to a tenth of a second's worth,
    // so that a pause does not let it take a large piece at once afterwards.
    double allowance = 0;
    auto last = Clock::now();
    std::vector<char> buffer(65536);
    while (!stop_) {
      std::size_t want = buffer.size();
      if (const double rate = rate_; rate > 0) {
        const auto now = Clock::now();
        allowance = std::min(allowance + rate * duration<double>(now - last).count(), std::max(rate / 10, 1024.0));
        last = now;
        if (allowance < 1) {
          std::this_thread::sleep_for(milliseconds(5));  // the reader's pace
          continue;
        }
        want = std::min(want, static_cast<std::size_t>(allowance));
      }
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::recv(fd_, buffer.data(), want, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (n <= 0) {
        closed_ = true;
        return;
      }
      if (rate_ > 0) allowance -= static_cast<double>(n);
      if (sink_) {
        sink_(buffer.data(), static_cast<std::size_t>(n));
      } else {
        bytes_.append(buffer.data(), static_cast<std::size_t>(n));
      }
      std::lock_guard<std::mutex> hold(lock_);
      count_ += static_cast<std::size_t>(n);
      arrivals_.emplace_back(Clock::now(), count_);
    }
  }

  const int fd_;
  std::atomic<double> rate_;
  Sink sink_;
  std::atomic<bool> stop_{false}, closed_{false};
  std::atomic<std::size_t> count_{0};
  std::string bytes_;
  std::mutex lock_;
  std::vector<std::pair<Clock::time_point, std::size_t>> arrivals_;
  std::thread thread_;
};

// Sends `bytes` from a thread of its own until all went, Stop, or a send fails: at most `rate`
// bytes a second (0: as fast as the relay takes them), in pieces of 64 KiB, and what a pause of
// the relay held back is not made up for afterwards: a steady source, not a catching one.
class Sender {
 public:
  Sender(Peer& peer, const std::string& bytes, double rate = 0)
      : thread_([this, fd = peer.fd(), &bytes, rate] {
          auto next = Clock::now();
          while (!stop_ && sent_ < bytes.size()) {
            const std::size_t end = std::min<std::size_t>(sent_ + (64 << 10), bytes.size());
            if (rate > 0) {
              next = std::max(next, Clock::now() - milliseconds(100));
              std::this_thread::sleep_until(next);  // the source's pace
              next += duration_cast<Clock::duration>(duration<double>((end - sent_) / rate));
            }
            // Never blocked for long, so that Stop ends it whatever the relay does.
            while (!stop_ && sent_ < end) {
              pollfd p{fd, POLLOUT, 0};
              if (::poll(&p, 1, 50) <= 0) continue;
              const ssize_t n = ::send(fd, bytes.data() + sent_, end - sent_, MSG_NOSIGNAL | MSG_DONTWAIT);
              if (n > 0) sent_ += static_cast<std::size_t>(n);
              if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
            }
          }
        }) {}
  ~Sender() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::size_t sent() const { return sent_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

// The largest resident size a process had while it was watched, sampled on a thread of its own.
class PeakRss {
 public:
  explicit PeakRss(pid_t pid)
      : start_(RssKiB(pid)), peak_(start_), thread_([this, pid] {
          while (!stop_) {
            peak_ = std::max(peak_.load(), RssKiB(pid));
            std::this_thread::sleep_for(milliseconds(50));  // the sampling interval
          }
        }) {}
  ~PeakRss() { Stop(); }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // How far it grew above the size at the start, in MiB.
  double GrowthMiB() const { return static_cast<double>(peak_ - start_) / 1024; }

 private:
  const long start_;
  std::atomic<long> peak_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The warning entry that cuts the peer at local port `peer_port` from the scenario's channel
// (channel 2, beside the heartbeat's), with `what` in its text.
bool CutEntryArrives(Matrix& m, int peer_port, const std::string& what, milliseconds timeout = kDeadline) {
  const std::string address = "Channel 2 \"tcp\", server side: peer 127.0.0.1:" + std::to_string(peer_port) + " ";
  return m.relay()
      .event_log()
      .WaitFor(
          [&](const std::string& entry) {
            return entry.rfind("<28>", 0) == 0 && entry.find(address) != std::string::npos &&
                   entry.find(what) != std::string::npos;
          },
          0, timeout)
      .has_value();
}

// Any warning entry that names the scenario's channel.
bool AnyEntryOnTheChannel(Matrix& m) {
  for (const std::string& entry : m.relay().event_log().Datagrams()) {
    if (entry.find("Channel 2 ") != std::string::npos) return true;
  }
  return false;
}

const std::string kOverCap = "fell more than its limit of 16 MiB behind the others";
constexpr std::size_t kMiB = 1 << 20;

// Device n of the churn sends kChurnBytes whose bytes carry n mod 64 in their high six bits and
// in their low two bits a sequence without a short period: the server can tell each device's
// bytes from the others' and whether one of them went missing, came twice or out of order.
// (Devices 64 apart are never in flight together: the relay accepts a few at a time.)
constexpr std::size_t kChurnBytes = 32 << 10;
constexpr int kTags = 64;

unsigned ChurnLowBits(std::size_t at) {
  static const std::string sequence = Pattern(kChurnBytes, 99);
  return static_cast<unsigned char>(sequence[at]) & 3;
}

std::string ChurnBytes(int device) {
  std::string bytes(kChurnBytes, '\0');
  for (std::size_t j = 0; j < kChurnBytes; ++j) bytes[j] = static_cast<char>(((device % kTags) << 2) | ChurnLowBits(j));
  return bytes;
}

// The devices' bytes checked: every tag's share is whole and in order, and nothing else came.
::testing::AssertionResult EveryDeviceWholeAndInOrder(const std::string& got, int devices) {
  std::vector<std::size_t> count(kTags, 0);
  std::size_t out_of_order = 0;
  for (char c : got) {
    const unsigned byte = static_cast<unsigned char>(c), tag = byte >> 2;
    if ((byte & 3) != ChurnLowBits(count[tag] % kChurnBytes)) ++out_of_order;
    ++count[tag];
  }
  for (int tag = 0; tag < kTags; ++tag) {
    const std::size_t want = kChurnBytes * static_cast<std::size_t>(devices / kTags + (tag < devices % kTags));
    if (count[tag] != want) {
      return ::testing::AssertionFailure() << "the devices of tag " << tag << " sent " << want << " bytes, "
                                           << count[tag] << " arrived";
    }
  }
  if (out_of_order > 0) return ::testing::AssertionFailure() << out_of_order << " bytes out of order";
  return ::testing::AssertionSuccess();
}

// What a listener of the relay holds in its accept queue (a listening socket's unread count).
int AcceptQueue(int port) { return test::RelayUnread(port, 0); }

// For a scenario that measures the relay's memory. The address checker keeps freed memory
// aside to find late uses of it, 256 MiB by default, which a relay that moves hundreds of MiB
// fills; with a smaller quarantine the check stays on and the growth is the relay's own.
LaunchOptions MemoryMeasured() {
  LaunchOptions options;
  const char* given = std::getenv("ASAN_OPTIONS");
  const std::string before = given && *given ? std::string(given) + ":" : "";
  options.environment["ASAN_OPTIONS"] = before + "quarantine_size_mb=16";
  return options;
}

}  // namespace

void DeviceChurnAgainstASlowReader(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port), MemoryMeasured()));
  {
    Peer server(server_port);
    Peer first(device_port);
    ASSERT_TRUE(Sync(first, {&server}));
    first.Close();
    Reader reader(server, 40e3);
    PeakRss rss(m.relay().pid());
    // Rounds of three devices that connect, send their bytes and close, a round every 10 ms
    // or as fast as the relay accepts them: a round waits until the listener's queue (5) has
    // room for it, so no device waits for a second try of its connection request.
    int devices = 0;
    const auto end = Clock::now() + milliseconds(Scaled(10000, 3000));
    while (Clock::now() < end) {
      const auto round = Clock::now();
      if (!WaitUntil([&] { return AcceptQueue(device_port) < 3; }, duration_cast<milliseconds>(end - round))) break;
      for (int slot = 0; slot < 3; ++slot) {
        Peer device(device_port);
        ASSERT_TRUE(device.connected() && device.SendAll(ChurnBytes(devices))) << "device " << devices;
        ++devices;
      }
      std::this_thread::sleep_until(round + milliseconds(10));  // the rounds' pace
    }
    rss.Stop();
    ::testing::Test::RecordProperty("devices", devices);
    ::testing::Test::RecordProperty("rss_growth_kib", static_cast<int>(rss.GrowthMiB() * 1024));
    EXPECT_LT(rss.GrowthMiB(), 16) << "the relay's resident size grew by " << rss.GrowthMiB() << " MiB";
    // The devices that are still waiting, in the relay or in its queue, are served once the
    // server reads faster.
    reader.FullSpeed();
    const std::size_t total = kChurnBytes * static_cast<std::size_t>(devices);
    EXPECT_TRUE(reader.WaitFor(total)) << reader.count() << " of " << total << " bytes";
    reader.Stop();
    EXPECT_TRUE(server.NothingWithin(milliseconds(200))) << "more bytes came than the devices sent";
    EXPECT_TRUE(EveryDeviceWholeAndInOrder(reader.bytes(), devices));
  }
  m.Conclude();
}

void LoneReaderUnderADeviceFlood(Matrix& m) {
  constexpr int kDevices = 200, kThreads = 4;
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer server(server_port);
    std::vector<Peer> devices;
    devices.reserve(kDevices);
    ASSERT_TRUE(m.ConnectPaced(device_port, kDevices, devices, 1));
    std::vector<Peer*> all;
    for (Peer& device : devices) all.push_back(&device);
    ASSERT_TRUE(Sync(server, all));
    // The server, the channel's only one, reads as fast as it can; the devices flood it, then
    // leave with what they sent still on its way. Nobody gains by cutting it: it gets it all.
    // It reads more slowly than they send at first (a loaded machine), so the relay's sockets
    // fill with what it has not read yet.
    Reader reader(server, 30e6, [](const char*, std::size_t) {});
    std::vector<int> sockets;
    for (const Peer& device : devices) sockets.push_back(device.fd());
    test::Flood flood(sockets, kThreads);
    EXPECT_TRUE(reader.WaitFor(static_cast<std::size_t>(Scaled(64, 16)) * kMiB, milliseconds(60000)));
    flood.Stop();
    devices.clear();
    reader.FullSpeed();
    EXPECT_TRUE(WaitUntil([&] { return reader.count() == flood.Sent() || reader.closed(); }, milliseconds(60000)))
        << reader.count() << " of " << flood.Sent() << " bytes arrived";
    EXPECT_EQ(reader.count(), flood.Sent());
    EXPECT_FALSE(AnyEntryOnTheChannel(m)) << "a peer of the channel was cut";
    reader.Stop();
    server.Close();
    // The channel relays for a new pair as it did before.
    Peer next_server(server_port), next_device(device_port);
    EXPECT_TRUE(Sync(next_device, {&next_server}));
    EXPECT_TRUE(Sync(next_server, {&next_device}));
  }
  m.Conclude();
}

void StalledServerThatSendsFast(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port), MemoryMeasured()));
  {
    Peer healthy(server_port), stalled(server_port, 16 << 10), device(device_port);
    ASSERT_TRUE(Sync(device, {&healthy, &stalled}));
    ASSERT_TRUE(Sync(stalled, {&device}));
    PeakRss rss(m.relay().pid());
    // The stalled server reads nothing and sends a stream without end (a pattern of an odd
    // period) until the relay closes it; the device checks every byte of it.
    const std::string flood = Pattern((1 << 20) + 7, 41);
    std::atomic<bool> flooding{true};
    std::atomic<std::size_t> flood_changed{0};
    std::size_t at = 0;
    Reader at_device(device, 0, [&](const char* bytes, std::size_t size) {
      for (std::size_t i = 0; i < size; ++i, at = (at + 1) % flood.size()) flood_changed += bytes[i] != flood[at];
    });
    Background flooder([&] {
      while (stalled.SendAll(flood)) {
      }
      flooding = false;
    });
    Reader at_healthy(healthy);
    // The device sends until the stalled server has been cut at its cap: it is released after
    // the hold and falls behind by the cap while the healthy one takes every byte.
    const std::string payload = Pattern(96 * kMiB, 42);
    Sender sender(device, payload);
    EXPECT_TRUE(CutEntryArrives(m, stalled.LocalPort(), kOverCap)) << "no entry cuts the stalled server at its cap";
    sender.Stop();
    // Its close reads what waits in its socket at that moment, not what it goes on sending.
    const auto cut = Clock::now();
    EXPECT_TRUE(WaitUntil([&] { return !flooding; })) << "the cut server's connection still takes bytes";
    const auto closing = duration_cast<milliseconds>(Clock::now() - cut);
    ::testing::Test::RecordProperty("close_after_cut_ms", static_cast<int>(closing.count()));
    if (flooding) ::shutdown(stalled.fd(), SHUT_RDWR);  // ends the flood when the relay did not
    flooder.Join();
    ASSERT_TRUE(device.SendAll("still here"));
    EXPECT_TRUE(at_healthy.WaitFor(sender.sent() + 10)) << at_healthy.count() << " of " << sender.sent() + 10;
    at_healthy.Stop();
    at_device.Stop();
    rss.Stop();
    EXPECT_TRUE(at_healthy.bytes() == payload.substr(0, sender.sent()) + "still here")
        << "the healthy server's stream differs from the device's";
    EXPECT_EQ(flood_changed.load(), 0u) << "bytes of the stalled server's stream changed on the way";
    ::testing::Test::RecordProperty("rss_growth_kib", static_cast<int>(rss.GrowthMiB() * 1024));
    EXPECT_LT(rss.GrowthMiB(), 64) << "the relay's resident size grew by " << rss.GrowthMiB() << " MiB";
  }
  m.Conclude();
}

void BurstySourceToReadersOfTwoPaces(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer fast(server_port), slow(server_port), device(device_port);
    ASSERT_TRUE(Sync(device, {&fast, &slow}));
    // Bursts larger than the kernel's buffers take (here some 4 MiB towards a slow reader), so
    // that the relay keeps bytes for the slow one; at about the slow one's pace on average.
    const std::size_t burst = static_cast<std::size_t>(Scaled(6 << 20, 1 << 20));
    const int bursts = Scaled(3, 2);
    const std::string payload = Pattern(burst * static_cast<std::size_t>(bursts), 43);
    Reader at_fast(fast), at_slow(slow, 2e6);
    milliseconds longest_delivery{0};
    const auto start = Clock::now();
    for (int b = 0; b < bursts; ++b) {
      const auto begun = std::max(Clock::now(), start + milliseconds(3000) * b);
      std::this_thread::sleep_until(begun);  // the source's pace
      ASSERT_TRUE(device.SendAll(payload.substr(burst * static_cast<std::size_t>(b), burst)));
      EXPECT_TRUE(at_fast.WaitFor(burst * static_cast<std::size_t>(b + 1)));
      longest_delivery = std::max(longest_delivery, duration_cast<milliseconds>(Clock::now() - begun));
    }
    EXPECT_TRUE(at_slow.WaitFor(payload.size())) << at_slow.count() << " of " << payload.size();
    at_fast.Stop();
    at_slow.Stop();
    EXPECT_TRUE(at_fast.bytes() == payload) << "the fast server's stream differs from the device's";
    EXPECT_TRUE(at_slow.bytes() == payload) << "the slow server's stream differs from the device's";
    EXPECT_FALSE(at_fast.closed() || at_slow.closed() || AnyEntryOnTheChannel(m)) << "a reader was cut";
    // The fast one waits for the slow one at most for the hold on each burst (a generous bound:
    // the machine is small and noisy).
    ::testing::Test::RecordProperty("longest_burst_to_fast_ms", static_cast<int>(longest_delivery.count()));
    EXPECT_LT(longest_delivery, milliseconds(5000)) << "a burst took that long to reach the fast server";
  }
  m.Conclude();
}

void SteadySourceToReadersOfTwoPaces(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer fast(server_port), slow(server_port), device(device_port);
    ASSERT_TRUE(Sync(device, {&fast, &slow}));
    constexpr double kRate = 10.0 * kMiB;
    const std::string payload = Pattern(96 * kMiB, 44);
    Reader at_fast(fast), at_slow(slow, 500e3);
    std::size_t sent = 0;
    const auto start = Clock::now();
    {
      // Until the slow one has been cut at its cap (released after the hold, it falls behind
      // by the cap within seconds), and 10 MiB more.
      Sender sender(device, payload, kRate);
      ASSERT_TRUE(CutEntryArrives(m, slow.LocalPort(), kOverCap))
          << "no entry cuts the slow server at its cap; the fast one got " << at_fast.count() << " of "
          << sender.sent() << " bytes sent in " << duration<double>(Clock::now() - start).count() << " s";
      const std::size_t at_cut = sender.sent();
      WaitUntil([&] { return sender.sent() >= std::min(payload.size(), at_cut + 10 * kMiB); });
      sender.Stop();
      sent = sender.sent();
    }
    const double seconds = duration<double>(Clock::now() - start).count();
    EXPECT_TRUE(at_fast.WaitFor(sent)) << at_fast.count() << " of " << sent;
    // What the kernel still held for the slow one comes before the close.
    at_slow.FullSpeed();
    EXPECT_TRUE(WaitUntil([&] { return at_slow.closed(); })) << "the slow server was not closed";
    at_fast.Stop();
    at_slow.Stop();
    EXPECT_TRUE(at_fast.bytes() == payload.substr(0, sent)) << "the fast server's stream differs from the device's";
    EXPECT_TRUE(IsPrefix(at_slow.bytes(), payload)) << "the slow server's stream is no start of the device's";
    // The fast one was held only for the hold, then went at the source's pace (generous bounds:
    // the machine is small and noisy).
    const milliseconds gap = at_fast.LongestGap();
    ::testing::Test::RecordProperty("longest_gap_at_fast_ms", static_cast<int>(gap.count()));
    ::testing::Test::RecordProperty("source_ms_behind_its_pace", static_cast<int>(1000 * (seconds - sent / kRate)));
    EXPECT_LT(gap, milliseconds(5000)) << "the fast server received nothing for " << gap.count() << " ms";
    EXPECT_LT(seconds, sent / kRate + 5) << "the source sent " << sent << " bytes in " << seconds << " s";
  }
  m.Conclude();
}

}  // namespace matrix
