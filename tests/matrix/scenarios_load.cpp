// Scenarios of load: many devices on one server, a flood that never pauses, many connections
// coming and going, many idle connections, every channel the file can hold, and a descriptor
// table that runs full.

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>

#include "relay/log_texts.h"
#include "tests/matrix/matrix.h"
#include "tests/support/linux/flood.h"

namespace matrix {
namespace {

// "T" and six digits and a line end: eight bytes, sent in one piece, so the relay passes each
// on whole.
std::string Token(int i) {
  char text[16];
  std::snprintf(text, sizeof text, "T%06d\n", i);
  return std::string(text);
}

// Reads tokens from a peer on a thread of its own and keeps them in the order they came.
class TokenReader {
 public:
  explicit TokenReader(Peer& peer) : peer_(peer), thread_([this] { Read(); }) {}
  ~TokenReader() {
    stop_ = true;
    thread_.join();
  }
  // Waits until `token` has come.
  bool WaitFor(const std::string& token) {
    std::unique_lock<std::mutex> hold(lock_);
    return came_.wait_for(hold, kDeadline, [&] { return seen_.count(token) > 0; });
  }
  // Every token so far, sorted.
  std::vector<std::string> Received() {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<std::string> sorted = tokens_;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }

 private:
  void Read() {
    std::string pending;
    while (!stop_) {
      pending += peer_.ReceiveSome(milliseconds(50));
      std::lock_guard<std::mutex> hold(lock_);
      for (; pending.size() >= 8; pending.erase(0, 8)) {
        tokens_.push_back(pending.substr(0, 8));
        seen_.insert(tokens_.back());
      }
      came_.notify_all();
    }
  }
  Peer& peer_;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::condition_variable came_;
  std::vector<std::string> tokens_;
  std::set<std::string> seen_;
  std::thread thread_;
};

// Connects `count` devices to a channel whose server is connected already and brings their
// streams to a known point: afterwards the relay has accepted the server and every device.
::testing::AssertionResult ConnectDevices(Matrix& m, int device_port, int count, Peer& server,
                                          std::vector<Peer>& devices) {
  devices.reserve(static_cast<std::size_t>(count));
  if (auto connected = m.ConnectPaced(device_port, count, devices, 1); !connected) return connected;
  std::vector<Peer*> all;
  for (Peer& device : devices) all.push_back(&device);
  if (!Sync(server, all)) return ::testing::AssertionFailure() << "the devices and the server are not in step";
  return ::testing::AssertionSuccess();
}

}  // namespace

void FiftyDevicesFloodOneServer(Matrix& m) {
  constexpr int kDevices = 50;
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer server(server_port);
    std::vector<Peer> devices;
    ASSERT_TRUE(ConnectDevices(m, device_port, kDevices, server, devices));

    // Byte j of device i holds i in its high six bits and j mod 4 in its low two: the server
    // can tell whose every byte is, and whether one went missing, came twice or out of order.
    const std::size_t each = static_cast<std::size_t>(Scaled(256 << 10, 32 << 10));
    std::string got;
    {
      std::vector<std::unique_ptr<Background>> senders;
      for (int i = 0; i < kDevices; ++i) {
        senders.push_back(std::make_unique<Background>([&, i] {
          std::string bytes(each, '\0');
          for (std::size_t j = 0; j < each; ++j) bytes[j] = static_cast<char>((i << 2) | (j & 3));
          EXPECT_TRUE(devices[static_cast<std::size_t>(i)].SendAll(bytes));
        }));
      }
      got = server.Receive(each * kDevices, milliseconds(60000));
    }
    EXPECT_EQ(got.size(), each * kDevices);
    std::vector<std::size_t> count(kDevices, 0);
    std::vector<unsigned> next(kDevices, 0);
    std::size_t strangers = 0, out_of_order = 0;
    for (char c : got) {
      const unsigned byte = static_cast<unsigned char>(c), device = byte >> 2;
      if (device >= kDevices) {
        ++strangers;
        continue;
      }
      if ((byte & 3) != next[device]) ++out_of_order;
      next[device] = (next[device] + 1) & 3;
      ++count[device];
    }
    EXPECT_EQ(strangers, 0u);
    EXPECT_EQ(out_of_order, 0u);
    for (int i = 0; i < kDevices; ++i) EXPECT_EQ(count[i], each) << "device " << i;
  }
  m.Conclude();
}

void DevicesFloodWithoutPause(Matrix& m) {
  constexpr int kDevices = 100, kThreads = 4;
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer server(server_port);
    std::vector<Peer> devices;
    ASSERT_TRUE(ConnectDevices(m, device_port, kDevices, server, devices));

    // The server reads without pause while the devices flood it with 512-byte pieces.
    std::atomic<std::size_t> got{0};
    std::jthread reader([&](std::stop_token stop) {
      while (!stop.stop_requested()) got += server.ReceiveSome(milliseconds(50)).size();
    });
    std::vector<int> sockets;
    for (const Peer& device : devices) sockets.push_back(device.fd());
    // While the flood lasts, each running report comes within 3 s of the one before (every
    // 0.8 s when the loop keeps its beat; generous for the sanitizers).
    auto running = [](const std::string& datagram) { return ParseNotify(datagram)["X_STATE"] == "4"; };
    std::size_t next = m.relay().notify().Count();
    milliseconds gap{0};
    test::Flood flood(sockets, kThreads);
    for (auto last = Clock::now(), end = last + milliseconds(Scaled(15000, 5000)); last < end;) {
      const auto report = m.relay().notify().WaitFor(running, next, milliseconds(3000));
      gap = std::max(gap, std::chrono::duration_cast<milliseconds>(Clock::now() - last));
      ASSERT_TRUE(report.has_value()) << "no status report for 3 s during the flood";
      next = *report + 1;
      last = Clock::now();
    }
    flood.Stop();
    ::testing::Test::RecordProperty("longest_report_gap_ms", static_cast<int>(gap.count()));
    ::testing::Test::RecordProperty("flood_mib", static_cast<int>(flood.Sent() >> 20));
    EXPECT_TRUE(WaitUntil([&] { return got == flood.Sent(); }, milliseconds(60000)))
        << got << " of " << flood.Sent() << " bytes arrived";
  }
  m.Conclude();
}

void TenThousandConnectionsComeAndGo(Matrix& m) {
  constexpr int kThreads = 4;
  const int total = Scaled(10000, 1000);
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer server(server_port), device(device_port);
    ASSERT_TRUE(Sync(device, {&server}));
    ASSERT_TRUE(Sync(server, {&device}));
    TokenReader at_server(server), at_device(device);
    // Connection i comes on the device side when i mod 4 is 0 or 1, else on the server side.
    // It says a token of its own, waits until the other side's steady peer has it (so the
    // relay has accepted it, and no more connections wait for the relay than its backlog of 5
    // holds), then leaves: the odd ones with a reset, the even ones with an orderly close.
    std::atomic<int> failed{0};
    const auto started = Clock::now();
    {
      std::vector<std::unique_ptr<Background>> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.push_back(std::make_unique<Background>([&, t] {
          for (int i = t; i < total && failed == 0; i += kThreads) {
            const bool server_side = i % 4 >= 2;
            Peer churner(server_side ? server_port : device_port);
            if (!churner.connected() || !churner.SendAll(Token(i)) ||
                !(server_side ? at_device : at_server).WaitFor(Token(i))) {
              ++failed;
              break;
            }
            if (i % 2) churner.Reset();
          }
        }));
      }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    ::testing::Test::RecordProperty("connections_per_second", static_cast<int>(total / seconds));
    EXPECT_EQ(failed.load(), 0) << "a connection failed, or its token did not arrive";
    EXPECT_TRUE(m.WaitForExtraDescriptors(2)) << "the relay keeps connections that left";
    std::vector<std::string> to_server, to_device;
    for (int i = 0; i < total; ++i) (i % 4 >= 2 ? to_device : to_server).push_back(Token(i));
    EXPECT_TRUE(at_server.Received() == to_server) << "the server's tokens differ from the devices'";
    EXPECT_TRUE(at_device.Received() == to_device) << "the device's tokens differ from the servers'";
  }
  m.Conclude();
}

void TwoThousandIdleConnections(Matrix& m) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  // The test holds one end of each connection and the relay the other.
  const int total = std::min<int>(Scaled(2000, 400), static_cast<int>(limit.rlim_cur) / 2 - 100) & ~1;
  ::testing::Test::RecordProperty("idle_connections", total);
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    std::vector<Peer> devices, servers;
    devices.reserve(total / 2);
    servers.reserve(total / 2);
    ASSERT_TRUE(m.ConnectPaced(device_port, total / 2, devices, 0));
    ASSERT_TRUE(m.ConnectPaced(server_port, total / 2, servers, total / 2));
    // One word from one of them reaches every connection of the other side.
    ASSERT_TRUE(servers[0].SendAll("ping"));
    ASSERT_TRUE(devices[0].SendAll("pong"));
    int heard_ping = 0, heard_pong = 0;
    for (auto& device : devices) heard_ping += device.Receive(4) == "ping";
    for (auto& server : servers) heard_pong += server.Receive(4) == "pong";
    EXPECT_EQ(heard_ping, total / 2);
    EXPECT_EQ(heard_pong, total / 2);
  }
  m.Conclude();
}

void FourHundredChannels(Matrix& m) {
  constexpr int kChannels = 399;  // and the heartbeat's: the 400 the file may hold
  std::vector<int> device_ports, server_ports;
  std::string channels;
  for (int k = 0; k < kChannels; ++k) {
    device_ports.push_back(TakePort());
    server_ports.push_back(TakePort());
    channels += TcpChannel(device_ports.back(), server_ports.back(), "ch" + std::to_string(k));
  }
  ASSERT_NO_FATAL_FAILURE(m.Begin(channels));
  ASSERT_TRUE(EveryChannelOpened(m.installation()));
  {
    std::vector<Peer> devices, servers;
    devices.reserve(kChannels);
    servers.reserve(kChannels);
    for (int k = 0; k < kChannels; ++k) {
      devices.emplace_back(device_ports[k]);
      servers.emplace_back(server_ports[k]);
      ASSERT_TRUE(devices.back().connected() && servers.back().connected()) << "channel " << k;
    }
    ASSERT_TRUE(m.WaitForExtraDescriptors(2 * kChannels));
    // Two rounds of words that name their channel: a word on the wrong channel, or a lost
    // one, shows.
    for (int round = 0; round < 2; ++round) {
      auto word = [&](const char* way, int k) {
        char text[32];
        std::snprintf(text, sizeof text, "%s %d %04d\n", way, round, k);
        return std::string(text);
      };
      for (int k = 0; k < kChannels; ++k) {
        ASSERT_TRUE(devices[k].SendAll(word("up", k)));
        ASSERT_TRUE(servers[k].SendAll(word("dn", k)));
      }
      int wrong = 0;
      for (int k = 0; k < kChannels; ++k) {
        wrong += servers[k].Receive(word("up", k).size()) != word("up", k);
        wrong += devices[k].Receive(word("dn", k).size()) != word("dn", k);
      }
      EXPECT_EQ(wrong, 0) << "round " << round;
    }
  }
  m.Conclude();
}

void DescriptorsRunOut(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  LaunchOptions options;
  options.file_limit = 64;
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port), options));
  {
    Peer server(server_port), device(device_port);
    ASSERT_TRUE(Sync(device, {&server}));
    // Connections until one descriptor is left, then more than the relay can take.
    std::vector<Peer> held;
    held.reserve(64);
    const int free = 64 - ResourcesOf(m.relay().pid()).descriptors;
    ASSERT_TRUE(m.ConnectPaced(device_port, free - 1, held, 2));
    std::vector<int> flood;
    for (int i = 0; i < 20; ++i) {
      int fd = ConnectFromOwnPort(device_port, false);
      if (fd >= 0) flood.push_back(fd);
    }
    // -status, asking meanwhile, waits for the relay instead of saying that none runs.
    RelayRun status(m.installation(), "status", StatusSwitch());
    // It does not spin on a listener it cannot accept from, and the established pair relays.
    const double share = CpuShareOver(m.relay().pid(), milliseconds(1000));
    ::testing::Test::RecordProperty("cpu_percent_while_exhausted", static_cast<int>(100 * share));
    EXPECT_LT(share, 0.25) << "the relay used " << 100 * share << " % of a core with its descriptors used up";
    ASSERT_TRUE(device.SendAll("still relaying"));
    EXPECT_EQ(server.Receive(14), "still relaying");
    for (int fd : flood) ::close(fd);
    held.clear();
    // Once descriptors are free again, a new device is served.
    Peer late(device_port);
    ASSERT_TRUE(late.connected());
    EXPECT_TRUE(Sync(late, {&server}));
    ASSERT_TRUE(status.WaitExit());
    EXPECT_TRUE(status.ExitedCleanly());
  }
  m.Conclude();
}

}  // namespace matrix
