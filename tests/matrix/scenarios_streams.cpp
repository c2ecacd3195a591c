// Scenarios of single streams: peers that reset or half-close in the middle of a transfer,
// destinations that come and go, traffic both ways on several channels, a partner that never
// opened, serial lines whose devices or far ends go away.

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>

#include "relay/log_texts.h"
#include "tests/matrix/matrix.h"

namespace matrix {
namespace {

// Ends a stream that the test cuts short, so that what came before it can be read whole.
const std::string kMarker = "#end-of-stream#";

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Reads until what came ends with `marker`, the peer closes, or the deadline passes.
std::string ReceiveUntilMarker(Peer& peer, const std::string& marker) {
  std::string got;
  const auto end = Clock::now() + kDeadline;
  while (!EndsWith(got, marker) && Clock::now() < end) {
    std::string more = peer.ReceiveSome(std::chrono::duration_cast<milliseconds>(end - Clock::now()));
    if (more.empty()) break;
    got += more;
  }
  return got;
}

std::string ReceiveLineUntilMarker(SerialLine& line, const std::string& marker) {
  std::string got;
  const auto end = Clock::now() + kDeadline;
  while (!EndsWith(got, marker) && Clock::now() < end) got += line.ReadSome(milliseconds(100));
  return got;
}

bool SyncFromLine(SerialLine& line, const std::vector<Peer*>& devices) {
  return Sync([&](const std::string& bytes) { return line.Write(bytes); }, devices);
}

}  // namespace

void DeviceResetMidStream(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer s1(server_port), s2(server_port), leaving(device_port), staying(device_port);
    ASSERT_TRUE(Sync(leaving, {&s1, &s2}));
    ASSERT_TRUE(Sync(s1, {&leaving, &staying}));
    const std::string payload = Pattern(static_cast<std::size_t>(Scaled(4 << 20, 1 << 20)), 1);
    std::string got1, got2;
    {
      Background r1([&] { got1 = ReceiveUntilMarker(s1, kMarker); });
      Background r2([&] { got2 = ReceiveUntilMarker(s2, kMarker); });
      EXPECT_TRUE(leaving.SendAll(payload.substr(0, payload.size() / 4)));
      leaving.Reset();
      // Once the relay has let the leaving device go, everything it read from it was passed on.
      EXPECT_TRUE(m.WaitForExtraDescriptors(3));
      EXPECT_TRUE(staying.SendAll(kMarker));
    }
    ASSERT_TRUE(EndsWith(got1, kMarker)) << got1.size() << " bytes and no marker";
    ASSERT_TRUE(EndsWith(got2, kMarker)) << got2.size() << " bytes and no marker";
    got1.resize(got1.size() - kMarker.size());
    got2.resize(got2.size() - kMarker.size());
    EXPECT_TRUE(IsPrefix(got1, payload)) << "the first server's stream is not the device's";
    EXPECT_TRUE(got1 == got2) << got1.size() << " and " << got2.size() << " bytes differ";
    ::testing::Test::RecordProperty("bytes_before_reset", static_cast<int>(got1.size()));
  }
  m.Conclude();
}

void ServerResetMidStream(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer leaving(server_port), staying(server_port), device(device_port);
    ASSERT_TRUE(Sync(device, {&leaving, &staying}));
    const std::string payload = Pattern(static_cast<std::size_t>(Scaled(8 << 20, 2 << 20)), 2);
    std::string left_with;
    std::string got;
    {
      Background sender([&] { EXPECT_TRUE(device.SendAll(payload)); });
      Background leaver([&] {
        left_with = leaving.Receive(payload.size() / 8);
        leaving.Reset();
      });
      got = staying.Receive(payload.size(), milliseconds(60000));
    }
    EXPECT_TRUE(IsPrefix(left_with, payload));
    EXPECT_EQ(got.size(), payload.size());
    EXPECT_TRUE(got == payload) << "the staying server's stream differs from the device's";
  }
  m.Conclude();
}

void DeviceHalfCloseInFlight(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer server(server_port), device(device_port);
    ASSERT_TRUE(Sync(device, {&server}));
    const std::string payload = Pattern(static_cast<std::size_t>(Scaled(2 << 20, 512 << 10)), 3);
    std::atomic<bool> sent{false};
    Background sender([&] {
      EXPECT_TRUE(device.SendAll(payload));
      device.ShutdownWrite();
      sent = true;
    });
    // The server reads nothing until the device has said its last (or the buffers are full),
    // so its end of stream comes while the relay and the sockets still hold its bytes.
    WaitUntil([&] { return sent.load(); }, milliseconds(2000));
    const std::string got = server.Receive(payload.size());
    EXPECT_EQ(got.size(), payload.size());
    EXPECT_TRUE(got == payload) << "the last bytes were not passed on whole";
    sender.Join();
    EXPECT_TRUE(device.ClosedByPeer()) << "the relay kept the finished device";
  }
  m.Conclude();
}

void ServerHalfCloseInFlight(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer server(server_port), prompt(device_port), late(device_port);
    ASSERT_TRUE(Sync(server, {&prompt, &late}));
    const std::string payload = Pattern(static_cast<std::size_t>(Scaled(2 << 20, 512 << 10)), 4);
    std::atomic<bool> sent{false};
    std::string got_prompt;
    {
      Background sender([&] {
        EXPECT_TRUE(server.SendAll(payload));
        server.Close();
        sent = true;
      });
      Background reader([&] { got_prompt = prompt.Receive(payload.size()); });
      WaitUntil([&] { return sent.load(); }, milliseconds(2000));
    }
    const std::string got_late = late.Receive(payload.size());
    EXPECT_TRUE(got_prompt == payload) << got_prompt.size() << " of " << payload.size() << " bytes";
    EXPECT_TRUE(got_late == payload) << got_late.size() << " of " << payload.size() << " bytes";
  }
  m.Conclude();
}

void ServersComeAndGoDuringAStream(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer stable(server_port), device(device_port);
    ASSERT_TRUE(Sync(device, {&stable}));
    const std::string payload = Pattern(static_cast<std::size_t>(Scaled(4 << 20, 1 << 20)), 5);
    std::atomic<bool> done{false};
    std::atomic<int> joined{0}, wrong{0};
    std::string got;
    {
      Background sender([&] { EXPECT_TRUE(device.SendAll(payload)); });
      Background joiners([&] {
        for (int i = 0; !done; ++i) {
          Peer joiner(server_port);
          if (!joiner.connected()) continue;
          ++joined;
          // A joiner receives the stream from where it joined: a piece of it, in order.
          const std::string piece = joiner.Receive(4096, milliseconds(100));
          if (!piece.empty() && payload.find(piece) == std::string::npos) ++wrong;
          if (i % 2) joiner.Reset();
        }
      });
      got = stable.Receive(payload.size(), milliseconds(60000));
      done = true;
    }
    EXPECT_TRUE(got == payload) << got.size() << " of " << payload.size() << " bytes, or not in order";
    EXPECT_GT(joined.load(), 0);
    EXPECT_EQ(wrong.load(), 0) << "a joiner received bytes that are no piece of the stream";
    ::testing::Test::RecordProperty("servers_joined", joined.load());
  }
  m.Conclude();
}

void MixedTrafficBothWays(Matrix& m) {
  constexpr int kTcp = 3, kSerial = 2;
  std::vector<int> devices, servers, serial_devices;
  std::vector<std::unique_ptr<SerialLine>> lines;
  std::string channels;
  for (int i = 0; i < kTcp; ++i) {
    devices.push_back(TakePort());
    servers.push_back(TakePort());
    channels += TcpChannel(devices.back(), servers.back());
  }
  for (int i = 0; i < kSerial; ++i) {
    lines.push_back(std::make_unique<SerialLine>());
    ASSERT_TRUE(lines.back()->ok());
    serial_devices.push_back(TakePort());
    channels += SerialChannel(serial_devices.back(), lines.back()->name());
  }
  ASSERT_NO_FATAL_FAILURE(m.Begin(channels));
  {
    std::vector<std::unique_ptr<Peer>> peers;
    auto peer = [&](int port) {
      peers.push_back(std::make_unique<Peer>(port));
      return peers.back().get();
    };
    const std::size_t tcp_size = static_cast<std::size_t>(Scaled(1 << 20, 256 << 10));
    const std::size_t serial_size = static_cast<std::size_t>(Scaled(128 << 10, 32 << 10));
    struct Transfer {
      std::string sent, got;
    };
    std::vector<Transfer> transfers(2 * (kTcp + kSerial));
    std::vector<std::unique_ptr<Background>> threads;
    for (int i = 0; i < kTcp; ++i) {
      Peer* device = peer(devices[i]);
      Peer* server = peer(servers[i]);
      ASSERT_TRUE(Sync(*device, {server}));
      ASSERT_TRUE(Sync(*server, {device}));
      Transfer& up = transfers[2 * i];
      Transfer& down = transfers[2 * i + 1];
      up.sent = Pattern(tcp_size, 10 + i);
      down.sent = Pattern(tcp_size, 20 + i);
      threads.push_back(std::make_unique<Background>([&up, device] { device->SendAll(up.sent); }));
      threads.push_back(std::make_unique<Background>([&down, server] { server->SendAll(down.sent); }));
      threads.push_back(std::make_unique<Background>([&up, server] { up.got = server->Receive(up.sent.size()); }));
      threads.push_back(
          std::make_unique<Background>([&down, device] { down.got = device->Receive(down.sent.size()); }));
    }
    for (int i = 0; i < kSerial; ++i) {
      Peer* device = peer(serial_devices[i]);
      SerialLine* line = lines[i].get();
      ASSERT_TRUE(SyncFromLine(*line, {device}));
      Transfer& up = transfers[2 * (kTcp + i)];
      Transfer& down = transfers[2 * (kTcp + i) + 1];
      up.sent = Pattern(serial_size, 30 + i);
      down.sent = Pattern(serial_size, 40 + i);
      threads.push_back(std::make_unique<Background>([&up, device] { device->SendAll(up.sent); }));
      threads.push_back(std::make_unique<Background>([&down, line] { line->Write(down.sent); }));
      threads.push_back(std::make_unique<Background>([&up, line] { up.got = line->Read(up.sent.size()); }));
      threads.push_back(
          std::make_unique<Background>([&down, device] { down.got = device->Receive(down.sent.size()); }));
    }
    threads.clear();  // joins every transfer
    for (std::size_t t = 0; t < transfers.size(); ++t) {
      EXPECT_TRUE(transfers[t].got == transfers[t].sent)
          << "transfer " << t << ": " << transfers[t].got.size() << " of " << transfers[t].sent.size() << " bytes";
    }
  }
  m.Conclude();
}

// Listens on a port of all local addresses, so that the relay cannot bind it.
class PortHolder {
 public:
  PortHolder() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    port_ = TakePort();
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(fd_, 8) == 0;
  }
  ~PortHolder() { Release(); }
  bool bound() const { return bound_; }
  int port() const { return port_; }
  int fd() const { return fd_; }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int port_ = 0;
  bool bound_ = false;
};

void BusyServerPortDropsDeviceBytes(Matrix& m) {
  PortHolder held;
  ASSERT_TRUE(held.bound());
  const int device_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, held.port())));
  const auto texts = m.installation().ServiceLogTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), kSocketOpenFailedText + std::to_string(held.port())), texts.end())
      << "no failed-open line for the busy server port";
  {
    // A server that tries the busy port reaches its holder, not the relay.
    Peer server(held.port());
    ASSERT_TRUE(server.connected());
    const int at_holder = ::accept4(held.fd(), nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(at_holder, 0);
    Peer device(device_port);
    ASSERT_TRUE(device.connected()) << "the device side of the channel did not open";
    const std::string bytes = Pattern(64 << 10, 6);
    ASSERT_TRUE(device.SendAll(bytes));
    // The relay reads the device's bytes and drops them: none stay in its socket, none come
    // back, and the device stays connected.
    EXPECT_TRUE(WaitUntil([&] { return test::RelayUnread(device_port, device.LocalPort()) == 0; }))
        << test::RelayUnread(device_port, device.LocalPort()) << " bytes left unread";
    EXPECT_TRUE(device.NothingWithin(milliseconds(200))) << "bytes came back, or the relay closed the device";
    char c;
    EXPECT_EQ(::recv(at_holder, &c, 1, MSG_DONTWAIT), -1) << "the holder's peer received bytes";
    ::close(at_holder);
    server.Close();

    // The relay does not try the port again once it is free.
    held.Release();
    EXPECT_FALSE(Peer().Connect(held.port())) << "the server side opened later";
    ASSERT_TRUE(device.SendAll(bytes));
    EXPECT_TRUE(WaitUntil([&] { return test::RelayUnread(device_port, device.LocalPort()) == 0; }));
  }
  m.Conclude();
}

void SerialDeviceHalfClose(Matrix& m) {
  SerialLine line;
  ASSERT_TRUE(line.ok());
  const int device_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(SerialChannel(device_port, line.name())));
  {
    Peer device(device_port);
    ASSERT_TRUE(SyncFromLine(line, {&device}));
    const std::string payload = Pattern(static_cast<std::size_t>(Scaled(256 << 10, 64 << 10)), 7);
    Background sender([&] {
      EXPECT_TRUE(device.SendAll(payload));
      device.ShutdownWrite();
    });
    const std::string got = line.Read(payload.size());
    EXPECT_TRUE(got == payload) << got.size() << " of " << payload.size() << " bytes, or not in order";
    sender.Join();
    EXPECT_TRUE(device.ClosedByPeer());
  }
  m.Conclude();
}

void SerialDeviceResetDuringWrite(Matrix& m) {
  SerialLine line;
  ASSERT_TRUE(line.ok());
  const int device_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(SerialChannel(device_port, line.name())));
  {
    Peer staying(device_port), leaving(device_port);
    ASSERT_TRUE(SyncFromLine(line, {&staying, &leaving}));
    const std::string payload = Pattern(static_cast<std::size_t>(Scaled(256 << 10, 64 << 10)), 8);
    std::string got;
    {
      Background reader([&] { got = ReceiveLineUntilMarker(line, kMarker); });
      EXPECT_TRUE(leaving.SendAll(payload.substr(0, payload.size() / 2)));
      leaving.Reset();
      EXPECT_TRUE(m.WaitForExtraDescriptors(1));
      EXPECT_TRUE(staying.SendAll(kMarker));
    }
    ASSERT_TRUE(EndsWith(got, kMarker)) << got.size() << " bytes and no marker";
    got.resize(got.size() - kMarker.size());
    EXPECT_TRUE(IsPrefix(got, payload)) << "the line's bytes are not the device's";
  }
  m.Conclude();
}

void SerialFarEndClosesMidStream(Matrix& m) {
  SerialLine closing, healthy;
  ASSERT_TRUE(closing.ok() && healthy.ok());
  const int closing_port = TakePort(), healthy_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(SerialChannel(closing_port, closing.name(), "closing") +
                                  SerialChannel(healthy_port, healthy.name(), "healthy")));
  Peer a1(closing_port), a2(closing_port), b(healthy_port);
  ASSERT_TRUE(SyncFromLine(closing, {&a1, &a2}));
  ASSERT_TRUE(SyncFromLine(healthy, {&b}));
  const std::string first = Pattern(static_cast<std::size_t>(Scaled(256 << 10, 64 << 10)), 9);
  const std::string second = Pattern(64 << 10, 10);
  // What the far end sent before it went away arrives whole at both devices.
  ASSERT_TRUE(closing.Write(first));
  std::string got1 = a1.Receive(first.size()), got2 = a2.Receive(first.size());
  EXPECT_TRUE(got1 == first && got2 == first) << got1.size() << " and " << got2.size() << " of " << first.size();
  // Then it goes away in the middle of more.
  closing.Write(second, milliseconds(100));
  closing.CloseFarEnd();

  // The other line is served both ways, the devices of the dead one can still send (their
  // bytes go nowhere), and the relay does not spin on the dead line.
  ASSERT_TRUE(healthy.Write("to the device"));
  EXPECT_EQ(b.Receive(13), "to the device");
  ASSERT_TRUE(b.SendAll("to the line"));
  EXPECT_EQ(healthy.Read(11), "to the line");
  EXPECT_TRUE(a1.SendAll("into the void"));
  const double share = CpuShareOver(m.relay().pid(), milliseconds(1000));
  EXPECT_LT(share, 0.5) << "the relay used " << 100 * share << " % of a core beside a dead line";
  ::testing::Test::RecordProperty("cpu_percent_beside_dead_line", static_cast<int>(100 * share));
  ASSERT_TRUE(healthy.Write("still here"));
  EXPECT_EQ(b.Receive(10), "still here");

  // The three device connections are still the relay's; the stop closes them, and what they
  // received after the first part is a piece of the second, in order.
  EXPECT_TRUE(m.WaitForExtraDescriptors(3));
  m.heartbeat().End();
  EXPECT_TRUE(m.heartbeat().Healthy(0));
  EXPECT_TRUE(m.relay().StopCleanly());
  bool closed1 = false, closed2 = false;
  const std::string rest1 = a1.ReceiveUntilClosed(closed1), rest2 = a2.ReceiveUntilClosed(closed2);
  EXPECT_TRUE(closed1 && closed2);
  EXPECT_TRUE(IsPrefix(rest1, second) && IsPrefix(rest2, second));
}

void StalledReaderBesideHealthy(Matrix& m) {
  const int device_port = TakePort(), server_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(TcpChannel(device_port, server_port)));
  {
    Peer healthy(server_port), stalled(server_port, 16 * 1024), device(device_port);
    ASSERT_TRUE(Sync(device, {&healthy, &stalled}));
    // More than the stalled one's cap (16 MiB) and the kernel's buffers take, whatever the scale.
    const std::string payload = Pattern(24 << 20, 11);
    std::string got;
    {
      Background sender([&] { EXPECT_TRUE(device.SendAll(payload)); });
      // The healthy server is held for the hold at most, not for the stalled one's stall limit.
      got = healthy.Receive(payload.size());
    }
    EXPECT_TRUE(got == payload) << got.size() << " of " << payload.size() << " bytes, or not in order";
    // The one that stopped reading was released after the hold and cut at its cap, with a
    // warning that names its channel and address, and what it had taken is the start of the
    // stream.
    bool closed = false;
    const std::string left_with = stalled.ReceiveUntilClosed(closed);
    EXPECT_TRUE(closed) << "the stalled server was not cut";
    EXPECT_TRUE(IsPrefix(left_with, payload));
    const std::string address = "127.0.0.1:" + std::to_string(stalled.LocalPort());
    EXPECT_TRUE(m.relay()
                    .event_log()
                    .WaitFor([&](const std::string& entry) {
                      return entry.rfind("<28>", 0) == 0 && entry.find("Channel 2") != std::string::npos &&
                             entry.find(address) != std::string::npos;
                    })
                    .has_value())
        << "no warning entry names channel 2 and " << address;
    ASSERT_TRUE(healthy.SendAll("still here"));
    EXPECT_EQ(device.Receive(10), "still here");
  }
  m.Conclude();
}

void StuckSerialLine(Matrix& m) {
  SerialLine stuck, good;
  ASSERT_TRUE(stuck.ok() && good.ok());
  const int stuck_port = TakePort(), good_port = TakePort();
  ASSERT_NO_FATAL_FAILURE(m.Begin(SerialChannel(stuck_port, stuck.name(), "stuck") +
                                  SerialChannel(good_port, good.name(), "good")));
  {
    Peer to_stuck(stuck_port), to_good(good_port);
    ASSERT_TRUE(SyncFromLine(good, {&to_good}));
    // Nobody reads the stuck line: it takes a few KiB, then nothing.
    Background flood([&] { to_stuck.SendAll(std::string(512 << 10, 's')); });
    EXPECT_TRUE(WaitUntil([&] { return test::RelayUnread(stuck_port, to_stuck.LocalPort()) > 0; }))
        << "the stuck line's bytes never backed up";
    // The other channels go on both ways.
    for (int i = 0; i < 20; ++i) {
      const std::string ping = "ping " + std::to_string(i), pong = "pong " + std::to_string(i);
      ASSERT_TRUE(to_good.SendAll(ping));
      ASSERT_EQ(good.Read(ping.size()), ping);
      ASSERT_TRUE(good.Write(pong));
      ASSERT_EQ(to_good.Receive(pong.size()), pong);
    }
    EXPECT_TRUE(m.heartbeat().Healthy()) << "the stuck line held up the TCP channel";
    to_good.Close();
    // The device gives up; its send that waits for the relay ends with the shutdown.
    ::shutdown(to_stuck.fd(), SHUT_RDWR);
    flood.Join();
    to_stuck.Reset();
    // Its listener stays paused while the line takes nothing, and keeps the device's close back
    // with its last bytes: the relay holds the connection until the line's stall limit drops
    // what waits for it (30 s), or, as here, the stop.
    EXPECT_TRUE(m.WaitForExtraDescriptors(1));
  }
  // The stop ends the write that waits for the line at once (the stop has a deadline).
  m.heartbeat().End();
  EXPECT_TRUE(m.heartbeat().Healthy(0));
  EXPECT_TRUE(m.relay().StopCleanly());
}

}  // namespace matrix
