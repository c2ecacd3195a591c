// One sick party never holds up the others, through the real executable: a serial line that
// takes nothing, a server that stops reading beside a healthy one, a pause that ends with a
// large backlog, a server that reads slowly, peers that join during a pause, and a flood of
// devices that never lets the relay's queue run empty.

#include <poll.h>
#include <sys/ioctl.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "tests/e2e/linux/notify_service_fixture.h"
#include "tests/serial/serial_test_support.h"
#include "tests/support/linux/flood.h"

namespace {

using namespace std::chrono_literals;
using test::Client;

std::string TcpChannel(int device, int server) {
  return std::to_string(device) + ";0;2;" + std::to_string(server) + ";tcp\r\n";
}
std::string SerialChannel(int device, const std::string& port_name) {
  return std::to_string(device) + ";0;1;" + port_name + ";line\r\n";
}

// A peer that fills up at once when it does not read.
constexpr int kSmallWindow = 16 * 1024;

// Sends `bytes` in the background; gives up at the deadline instead of blocking for ever.
class Sender {
 public:
  Sender(Client& client, std::string bytes, std::chrono::seconds limit = 120s)
      : bytes_(std::move(bytes)), thread_([this, &client, limit] { Run(client.fd(), limit); }) {}
  ~Sender() { thread_.join(); }
  std::size_t sent() const { return sent_; }

 private:
  void Run(int fd, std::chrono::seconds limit) {
    const auto end = test::Clock::now() + limit;
    while (sent_ < bytes_.size() && test::Clock::now() < end) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const std::size_t chunk = std::min<std::size_t>(64 * 1024, bytes_.size() - sent_);
      ssize_t n = ::send(fd, bytes_.data() + sent_, chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent_ += static_cast<std::size_t>(n);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
    }
  }
  const std::string bytes_;
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

class Isolation : public e2e::NotifyServiceProcess {
 protected:
  void TearDown() override { StopReading(); }

  // Starts the relay and reads its status reports in the background from then on (a
  // supervisor that stops reading is a sick party of its own, not the one under test).
  void StartRelay(const std::string& channel_file) {
    Start(channel_file);
    reading_ = true;
    reader_ = std::thread([this] {
      while (reading_) notify_.Receive(50ms);
    });
  }
  void StopReading() {
    reading_ = false;
    if (reader_.joinable()) reader_.join();
  }
  // SIGTERM; the stopped report comes and the process ends, within the test's deadline.
  void StopRelay() {
    StopReading();
    Stop();
  }

  // Reads event-log entries until one holds `text`.
  bool EntryArrives(const std::string& text) {
    for (const auto& entry : entries_)
      if (entry.find(text) != std::string::npos) return true;
    while (auto entry = log_.Receive()) {
      entries_.push_back(*entry);
      if (entry->find(text) != std::string::npos) return true;
    }
    return false;
  }

  // The text of the warning entry that cuts `peer` from side `side` of channel k.
  static std::string CutText(int k, const char* side, const Client& peer) {
    return "Channel " + std::to_string(k) + " \"tcp\", " + side + " side: peer 127.0.0.1:" +
           std::to_string(peer.LocalPort()) + " ";
  }

  std::vector<std::string> entries_;
  std::atomic<bool> reading_{false};
  std::thread reader_;
};

TEST_F(Isolation, SerialLineThatTakesNothingHoldsUpNoOtherChannelAndTheStopIsPrompt) {
  serial_test::PtyPair stuck, good;
  const int stuck_port = test::FreePort(), good_port = test::FreePort();
  const int device_port = test::FreePort(), server_port = test::FreePort();
  StartRelay(SerialChannel(stuck_port, stuck.slave()) + SerialChannel(good_port, good.slave()) +
             TcpChannel(device_port, server_port));
  Client to_stuck(stuck_port), to_good(good_port), device(device_port), server(server_port);
  ASSERT_TRUE(e2e::Sync([&](const std::string& b) { return good.Write(b); }, {&to_good}));
  ASSERT_TRUE(e2e::Sync(device, {&server}));

  // Nobody reads the stuck line: it takes a few KiB, then nothing. What its device sends
  // beyond that waits in the relay's socket (its listener is paused).
  Sender flood(to_stuck, std::string(512 * 1024, 's'));
  ASSERT_TRUE(test::WaitUntil([&] {
    int on_line = 0;
    ::ioctl(stuck.master(), FIONREAD, &on_line);
    return on_line > 0 && test::RelayUnread(stuck_port, to_stuck.LocalPort()) > 0;
  }));

  // The other channels keep relaying both ways.
  for (int i = 0; i < 20; ++i) {
    const std::string ping = "ping" + std::to_string(i), pong = "pong" + std::to_string(i);
    ASSERT_TRUE(to_good.SendAll(ping));
    ASSERT_EQ(good.Read(ping.size()), ping);
    ASSERT_TRUE(good.Write(pong));
    ASSERT_EQ(to_good.Receive(pong.size()), pong);
    ASSERT_TRUE(device.SendAll(ping));
    ASSERT_EQ(server.Receive(ping.size()), ping);
    ASSERT_TRUE(server.SendAll(pong));
    ASSERT_EQ(device.Receive(pong.size()), pong);
  }
  // The stop ends the write that waits for the stuck line.
  StopRelay();
  to_stuck.Close();
}

TEST_F(Isolation, ServerThatStopsReadingHoldsTheHealthyOneOnlyBriefly) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  StartRelay(TcpChannel(device_port, server_port));
  Client healthy(server_port), stopped(server_port, kSmallWindow), device(device_port);
  ASSERT_TRUE(e2e::Sync(device, {&healthy, &stopped}));

  const std::string payload = e2e::Pattern(24u << 20, 3);
  Sender sender(device, payload);
  // Held no longer than the hold limit: well within the deadline, where waiting for the
  // stopped server's stall limit would not be.
  const std::string received = healthy.Receive(payload.size());
  EXPECT_EQ(received.size(), payload.size());
  EXPECT_TRUE(received == payload) << "the healthy server's stream differs from what was sent";
  EXPECT_TRUE(EntryArrives(CutText(1, "server", stopped) + "fell more than its limit of 16 MiB behind"));
  EXPECT_TRUE(stopped.ClosedByPeer());
  EXPECT_TRUE(healthy.SendAll("still here"));
  EXPECT_EQ(device.Receive(10), "still here");
  StopRelay();
}

TEST_F(Isolation, PauseThatEndsWithALargeBacklogCutsNoHealthyPeer) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  StartRelay(TcpChannel(device_port, server_port));
  Client server(server_port, 256 * 1024), device(device_port);
  ASSERT_TRUE(e2e::Sync(device, {&server}));

  const std::string payload = e2e::Pattern(64u << 20, 5);
  Sender sender(device, payload);
  // A fast start lets the relay's receive buffer grow; then the server pauses, and the relay
  // with it, until the relay's socket holds a backlog of many slices (a read notification's
  // worth), or all that its buffer takes: how far that buffer grew is the kernel's choice.
  std::string received = server.Receive(8u << 20);
  ASSERT_EQ(received.size(), 8u << 20);
  constexpr int kManySlices = 1 << 20;
  int backlog = 0;
  ASSERT_TRUE(test::WaitUntil([&] {
    backlog = test::RelayUnread(device_port, device.LocalPort());
    return backlog > kManySlices || (backlog > 0 && test::PeerWindow(static_cast<int>(device.fd())) == 0);
  })) << "the relay's socket never filled; its backlog was " << backlog << " bytes";
  received += server.Receive(payload.size() - received.size(), 60s);
  EXPECT_EQ(received.size(), payload.size());
  EXPECT_TRUE(received == payload) << "the stream differs from what was sent";
  EXPECT_TRUE(server.SendAll("still here"));
  EXPECT_EQ(device.Receive(10), "still here");
  StopRelay();
  if (backlog < 4 * 64 * 1024) {
    GTEST_SKIP() << "the kernel kept the relay's receive buffer at " << backlog
                 << " bytes: no backlog of several slices could wait in it";
  }
}

TEST_F(Isolation, ServerThatReadsSlowlyIsNeverTakenForStalled) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  StartRelay(TcpChannel(device_port, server_port));
  Client server(server_port), device(device_port);
  ASSERT_TRUE(e2e::Sync(device, {&server}));

  const std::string payload = e2e::Pattern(16u << 20, 9);
  Sender sender(device, payload);
  // Slower than the relay's send buffer empties by a third in the stall limit, so the server
  // gives no write notification in that time; for longer than the stall limit.
  std::string received;
  const auto slow_until = test::Clock::now() + std::chrono::seconds(35);
  while (test::Clock::now() < slow_until) {
    received += server.Receive(8 * 1024, 1s);
    std::this_thread::sleep_for(250ms);  // the pace of a slow reader
  }
  received += server.Receive(payload.size() - received.size(), 60s);
  EXPECT_EQ(received.size(), payload.size()) << "the slow server was cut";
  EXPECT_TRUE(received == payload) << "the stream differs from what was sent";
  StopRelay();
}

TEST_F(Isolation, PeersJoiningDuringAPauseDoNotProlongIt) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  StartRelay(TcpChannel(device_port, server_port));
  Client healthy(server_port), stopped(server_port, kSmallWindow), device(device_port);
  ASSERT_TRUE(e2e::Sync(device, {&healthy, &stopped}));

  const std::string payload = e2e::Pattern(32u << 20, 11);
  std::string received;
  std::thread reader([&] { received = healthy.Receive(payload.size()); });
  Sender sender(device, payload);
  // Once the device's bytes wait in the relay (the pause), three more servers join, one after
  // another, and read nothing either.
  ASSERT_TRUE(test::WaitUntil([&] { return test::RelayUnread(device_port, device.LocalPort()) > 0; }));
  std::vector<std::unique_ptr<Client>> joined;
  for (int i = 0; i < 3; ++i) joined.push_back(std::make_unique<Client>(server_port, kSmallWindow));
  reader.join();
  EXPECT_EQ(received.size(), payload.size()) << "the healthy server was held too long";
  EXPECT_TRUE(received == payload) << "the healthy server's stream differs from what was sent";
  EXPECT_TRUE(EntryArrives(CutText(1, "server", stopped)));
  for (const auto& peer : joined) EXPECT_TRUE(EntryArrives(CutText(1, "server", *peer)));
  StopRelay();
}

TEST_F(Isolation, FloodThatNeverLetsTheQueueRunEmptyKeepsTheStatusReportsGoing) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(TcpChannel(device_port, server_port));
  Client server(server_port);
  // The server reads without pause, 16 KiB at a time: slower than the flood comes, so the
  // relay also keeps pausing and resuming its devices.
  std::atomic<std::size_t> received{0};
  std::jthread reader([&](std::stop_token stop) {
    while (!stop.stop_requested()) received += server.Receive(16 << 10, 50ms).size();
  });
  std::vector<Client> devices;
  ASSERT_TRUE(ConnectPaced(device_port, 200, devices));
  {
    std::vector<int> sockets;
    for (const Client& device : devices) sockets.push_back(static_cast<int>(device.fd()));
    test::Flood flood(sockets, 4);
    ASSERT_TRUE(test::WaitUntil([&] { return received > (1u << 20); })) << "the flood does not reach the server";
    // The longest time without a running report in 6 s of flood.
    while (notify_.Receive(0ms)) {
    }
    auto last = test::Clock::now();
    const auto end = last + 6s;
    std::chrono::milliseconds gap{0};
    for (auto now = last; now < end; now = test::Clock::now()) {
      auto datagram = notify_.Receive(100ms);
      if (datagram && test::ParseNotify(*datagram)["X_STATE"] != "4") continue;
      gap = std::max(gap, std::chrono::duration_cast<std::chrono::milliseconds>(test::Clock::now() - last));
      if (datagram) last = test::Clock::now();
    }
    RecordProperty("longest_report_gap_ms", static_cast<int>(gap.count()));
    // Every 0.8 s when the loop keeps its beat; generous for a noisy machine.
    EXPECT_LT(gap, 3s) << "no status report for " << gap.count() << " ms under the flood";
  }
  StopRelay();
}

}  // namespace
