// A relay built in the test, with its channel file in a temporary directory and real loopback
// peers and pseudo-terminals. The test thread is the relay's service thread (it starts the
// relay and dispatches the socket notifications) and its main thread (it runs the serial
// deliveries queued for the main thread).

#include "relay/relay.h"

#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "base/exception.h"
#include "net/server_client_win_socket.h"
#include "net/server_win_socket.h"
#include "relay/channel_file.h"
#include "relay/log_texts.h"
#include "tests/net/net_test_support.h"
#include "tests/relay/relay_files_fixture.h"
#include "tests/serial/serial_test_support.h"
#include "tests/support/linux/socket_queue.h"

namespace serial_test {
std::uint32_t OutputRateOf(int fd);  // termios2_probe.cpp
}

namespace {

using namespace std::chrono_literals;

// The log stamp of midnight is the date alone.
constexpr platform::LocalTime kMidnight{2026, 12, 6, 0, 0, 0, 0};

class RelayTest : public test::FilesTest {
 protected:
  RelayTest() {
    for (auto [side, from] : {std::pair{lsDevice, &device_template_}, std::pair{lsServer, &server_template_}}) {
      from->SetOnClientRead(TSocketNotifyEvent::FromFunction(
          [this, side](TObject*, TCustomWinSocket* socket) { relay_->ClientRead(side, socket); }));
      from->SetOnClientWrite(
          TSocketNotifyEvent::FromFunction([this](TObject* sender, TCustomWinSocket*) { relay_->ClientWrite(sender); }));
      from->SetOnClientDisconnect(TSocketNotifyEvent::FromFunction([this, side](TObject*, TCustomWinSocket* socket) {
        Interrupt();
        relay_->ClientDisconnect(side, socket);
      }));
    }
    serial_template_.OnRxChar =
        TRxCharEvent::FromFunction([this](TObject* sender, std::int32_t count) { relay_->SerialRxChar(sender, count); });
  }

  void SetUp() override { main_thread::SetMainThread(); }
  void TearDown() override {
    relay_.reset();
    for (std::size_t i = 0; i < routed_.Count(); ++i) {
      try {
        routed_.Rethrow(i);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "routed: " << e.what();
      }
    }
  }

  std::unique_ptr<Relay> MakeRelay() {
    TRelaySetup setup;
    setup.Directory = directory();
    setup.Templates = {&device_template_, &server_template_, &serial_template_};
    setup.WriteStartEntry = [this](const std::string& text) { start_entries_.push_back(text); };
    setup.WriteWarningEntry = [this](const platform::Text& text) {
      warnings_.push_back(text.Bytes());
      Interrupt();
    };
    setup.WriteErrorEntry = [this](const platform::Text& text) { errors_.push_back(text.Bytes()); };
    setup.WriteInformationEntry = [this](const platform::Text& text) { informations_.push_back(text.Bytes()); };
    setup.LogClock = [] { return kMidnight; };
    return std::make_unique<Relay>(std::move(setup));
  }

  void Start(const std::string& channel_file) {
    test::WriteFile(file(kChannelFileName), channel_file);
    relay_ = MakeRelay();
    relay_->Start();
  }

  // Dispatches the test thread's messages and runs its queued calls until `condition` holds.
  template <typename Condition>
  bool PumpUntil(Condition condition) {
    return test::WaitUntil([&] {
      nettest::Pump();
      main_thread::CheckSynchronize();
      return condition();
    });
  }

  // Reads `count` bytes from a peer while the relay runs.
  std::string Receive(test::Client& peer, std::size_t count) {
    std::string got;
    PumpUntil([&] {
      got += peer.Receive(count - got.size(), 10ms);
      return got.size() >= count;
    });
    return got;
  }

  // True when nothing reaches the peer while the relay runs for a while.
  bool ReceivesNothing(test::Client& peer) {
    for (int i = 0; i < 50; ++i) {
      nettest::Pump();
      if (relay_) relay_->Tick(std::chrono::steady_clock::now());
      main_thread::CheckSynchronize();
      if (!peer.NothingWithin(2ms)) return false;
    }
    return true;
  }

  // Waits until the relay's connection keeps bytes that its peer, which reads nothing, can take
  // no more of: the peer's window is closed and the relay has handed its socket all that fits.
  bool Stalled(TServerClientWinSocket* connection) {
    return PumpUntil([&] {
      const auto since = connection->StalledSince();
      connection->CheckProgress(std::chrono::steady_clock::now());
      return connection->KeptBytes() > 0 && test::PeerWindow(static_cast<int>(connection->SocketHandle())) == 0 &&
             connection->StalledSince() == since;
    });
  }

  // Waits until the listener of channel k on `side` has accepted `count` connections.
  bool Accepted(TListenerSide side, int k, int count) {
    const TChannelTables& tables = relay_->Tables();
    const TSocket_DEV& entry = side == lsDevice ? tables.DeviceListeners[k] : tables.ServerListeners[k];
    return entry.Listener && PumpUntil([&] { return entry.Listener->ListeningSocket()->ConnectionCount() == count; });
  }

  std::vector<std::string> ServiceLog() const {
    std::vector<std::string> texts;
    const std::string stamp = FormatLogStamp(kMidnight);
    const std::string log = test::ReadFile(file(kServiceLogFileName));
    for (std::size_t start = 0, end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
      texts.push_back(log.substr(start, end - start).substr(stamp.size() + 1));
    }
    return texts;
  }

  TServerSocket device_template_, server_template_;
  TComPort serial_template_;
  serial_test::RoutedExceptions routed_;
  // A serial line; it outlives the relay, whose port would otherwise see it vanish.
  serial_test::PtyPair line_;
  std::vector<std::string> start_entries_;
  std::vector<std::string> warnings_;
  std::vector<std::string> errors_;
  std::vector<std::string> informations_;
  // Asked at every disconnect and warning until it answers true: what a test does in the
  // middle of the relay's work.
  std::function<bool()> interrupt_;
  void Interrupt() {
    if (interrupt_ && interrupt_()) interrupt_ = nullptr;
  }
  std::unique_ptr<Relay> relay_;
};

// Sends `bytes` from a peer on a thread of its own, never blocking for longer than the deadline.
class Flood {
 public:
  Flood(test::Client& peer, const std::string& bytes)
      : thread_([this, fd = static_cast<int>(peer.fd()), &bytes] {
          const auto end = test::Clock::now() + test::kDeadline;
          while (sent_ < bytes.size() && test::Clock::now() < end) {
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            ssize_t n = ::send(fd, bytes.data() + sent_, std::min<std::size_t>(65536, bytes.size() - sent_),
                               MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent_ += static_cast<std::size_t>(n);
            if (n == 0 || (n < 0 && errno != EAGAIN)) return;
          }
        }) {}
  ~Flood() { thread_.join(); }
  std::size_t sent() const { return sent_; }

 private:
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(((i + seed) * 2654435761u) >> 13);
  return bytes;
}

int LocalPortOf(const test::Client& client) { return client.LocalPort(); }

int Waiting(TCustomWinSocket* connection) {
  int count = 0;
  platform::BytesWaiting(connection->SocketHandle(), count);
  return count;
}

std::string Line(int device_port, int type, const std::string& field4) {
  return std::to_string(device_port) + ";0;" + std::to_string(type) + ";" + field4 + ";x\r\n";
}

std::string Line(int device_port, int type, int server_port) {
  return Line(device_port, type, std::to_string(server_port));
}

// Every channel whose device port is the connection's port gets its bytes, whatever listener
// accepted it; a channel without a partner, or whose partner failed to open, drops them.
TEST_F(RelayTest, EveryChannelOfADevicePortReceives) {
  const int device = test::FreePort(), server1 = test::FreePort(), server2 = test::FreePort();
  Start(Line(device, 2, server1) + Line(device, 2, server2) + Line(device, 0, 0) + Line(device, 1, "/nonexistent/tty"));
  EXPECT_EQ(ServiceLog(), (std::vector<std::string>{kServiceStartText,
                                                    kSocketOpenFailedText + std::to_string(device),
                                                    kSocketOpenFailedText + std::to_string(device),
                                                    kSocketOpenFailedText + std::to_string(device),
                                                    std::string(kComPortOpenFailedText) + "/nonexistent/tty"}));
  EXPECT_EQ(start_entries_, std::vector<std::string>{kEventLogStartText});

  test::Client peer1(server1), peer2(server2), dev(device);
  ASSERT_TRUE(Accepted(lsServer, 1, 1));
  ASSERT_TRUE(Accepted(lsServer, 2, 1));
  ASSERT_TRUE(Accepted(lsDevice, 1, 1));
  ASSERT_TRUE(dev.SendAll("abc"));
  EXPECT_EQ(Receive(peer1, 3), "abc");
  EXPECT_EQ(Receive(peer2, 3), "abc");
  // The channels whose listener could not open on the port the first one has share it.
  const RelayStatus status = relay_->Status(false);
  for (int k : {2, 3, 4}) {
    EXPECT_EQ(status.channels[k - 1].device.side.state, SideState::kShared) << "channel " << k;
    EXPECT_EQ(status.channels[k - 1].device.side.shared_with, 1);
  }

  // Back from the second channel's server: its device listener never opened, so nobody hears.
  ASSERT_TRUE(peer2.SendAll("back"));
  EXPECT_TRUE(ReceivesNothing(dev));
  ASSERT_TRUE(peer1.SendAll("back"));
  EXPECT_EQ(Receive(dev, 4), "back");
}

// Likewise every TCP channel of a server port; a channel of another type whose fourth field
// happens to be that port is no TCP channel and hears nothing.
TEST_F(RelayTest, EveryTcpChannelOfAServerPortReceives) {
  const int device1 = test::FreePort(), device2 = test::FreePort(), device3 = test::FreePort();
  const int server = test::FreePort();
  Start(Line(device1, 2, server) + Line(device2, 2, server) + Line(device3, 7, server));

  test::Client dev1(device1), dev2(device2), dev3(device3), peer(server);
  ASSERT_TRUE(Accepted(lsDevice, 1, 1));
  ASSERT_TRUE(Accepted(lsDevice, 2, 1));
  ASSERT_TRUE(Accepted(lsDevice, 3, 1));
  ASSERT_TRUE(Accepted(lsServer, 1, 1));
  ASSERT_TRUE(peer.SendAll("news"));
  EXPECT_EQ(Receive(dev1, 4), "news");
  EXPECT_EQ(Receive(dev2, 4), "news");
  EXPECT_TRUE(ReceivesNothing(dev3));
}

TEST_F(RelayTest, SerialChannelRelaysBothWays) {
  ASSERT_TRUE(line_.ok());
  const int device = test::FreePort();
  Start(Line(device, 1, line_.slave()));
  ASSERT_TRUE(relay_->Tables().SerialPorts[1]->Connected());

  test::Client dev1(device), dev2(device);
  ASSERT_TRUE(Accepted(lsDevice, 1, 2));
  ASSERT_TRUE(line_.Write("from the line"));
  EXPECT_EQ(Receive(dev1, 13), "from the line");
  EXPECT_EQ(Receive(dev2, 13), "from the line");

  ASSERT_TRUE(dev2.SendAll("to the line"));
  std::string written;
  ASSERT_TRUE(PumpUntil([&] {
    written += line_.Read(11 - written.size(), 10ms);
    return written.size() == 11;
  }));
  EXPECT_EQ(written, "to the line");
}

// With retry, a serial line that fails for any reason (here a write refused, not a device gone)
// is closed and opened again, instead of being left failed with its port open.
TEST_F(RelayTest, SerialLineThatFailsIsClosedAndRetriedUnderRetry) {
  ASSERT_TRUE(line_.ok());
  const int device = test::FreePort();
  test::WriteFile(file(kOptionsFileName), "retry 1\n");
  Start(Line(device, 1, line_.slave()));
  TComPort* port = relay_->Tables().SerialPorts[1].get();
  port->OnLineFailure(port, EComPort(CError_WriteFailed, EPERM));
  ASSERT_TRUE(PumpUntil([&] { return !relay_->Tables().SerialPorts[1]; })) << "the failed port stays open";
  EXPECT_EQ(relay_->Health(1).serial.state, TSideState::ssWaiting);
  ASSERT_FALSE(warnings_.empty());
  EXPECT_TRUE(warnings_.back().ends_with("; tried again every 1 s")) << warnings_.back();
  relay_->Tick(std::chrono::steady_clock::now() + 2s);
  ASSERT_TRUE(relay_->Tables().SerialPorts[1] && relay_->Tables().SerialPorts[1]->Connected());
  EXPECT_EQ(relay_->Health(1).serial.state, TSideState::ssOpen);
}

// Serial lines open at the options file's settings, a channel's own line over the side-wide one,
// also when a retry opens them; a frame the line does not take fails the open, naming it.
TEST_F(RelayTest, SerialLinesOpenAtTheirSettings) {
  serial_test::PtyPair own, refusing, later;
  ASSERT_TRUE(line_.ok() && own.ok() && refusing.ok() && later.ok());
  const std::string link = file("later-tty");  // nothing there until the retry
  test::WriteFile(file(kOptionsFileName),
                  "retry 1\nserial 57600 8N2 rtscts\nserial 2 12345 8N1 xonxoff\nserial 3 9600 7E1\n");
  const int device = test::FreePort();
  Start(Line(test::FreePort(), 1, line_.slave()) + Line(device, 1, own.slave()) +
        Line(test::FreePort(), 1, refusing.slave()) + Line(test::FreePort(), 1, link));
  termios t = line_.Settings();
  EXPECT_EQ(cfgetospeed(&t), B57600);
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(CSTOPB | CRTSCTS));
  t = own.Settings();
  EXPECT_EQ(serial_test::OutputRateOf(own.master()), 12345u);
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
  // This kernel keeps a pseudo-terminal at 8 data bits without parity.
  EXPECT_EQ(relay_->Health(3).serial.state, TSideState::ssWaiting);
  EXPECT_EQ(relay_->Health(3).serial.reason.Bytes(), "the line does not take 9600 7E1: Invalid argument");
  const std::optional<SerialStatus> told = relay_->Status(false).channels[1].serial;
  ASSERT_TRUE(told && told->configured);
  EXPECT_EQ(std::tie(told->baud, told->frame, told->flow), std::make_tuple(12345, "8N1", "xonxoff"));

  test::Client peer(device);
  ASSERT_TRUE(Accepted(lsDevice, 2, 1));
  ASSERT_TRUE(own.Write("up"));
  EXPECT_EQ(Receive(peer, 2), "up");
  ASSERT_TRUE(peer.SendAll("down"));
  std::string written;
  ASSERT_TRUE(PumpUntil([&] { return (written += own.Read(4 - written.size(), 10ms)).size() == 4; }));
  EXPECT_EQ(written, "down");

  ASSERT_EQ(::symlink(later.slave().c_str(), link.c_str()), 0);
  relay_->Tick(std::chrono::steady_clock::now() + 2s);
  ASSERT_EQ(relay_->Health(4).serial.state, TSideState::ssOpen);
  t = later.Settings();
  EXPECT_EQ(cfgetospeed(&t), B57600);
  EXPECT_EQ(t.c_cflag & (CSTOPB | CRTSCTS), tcflag_t(CSTOPB | CRTSCTS));
}

TEST_F(RelayTest, StopAndDestructionCloseEverything) {
  ASSERT_TRUE(line_.ok());
  const int device1 = test::FreePort(), server1 = test::FreePort(), device2 = test::FreePort();
  Start(Line(device1, 2, server1) + Line(device2, 1, line_.slave()));
  test::Client dev(device1);
  ASSERT_TRUE(Accepted(lsDevice, 1, 1));

  relay_->Stop();
  const TChannelTables& tables = relay_->Tables();
  for (int k = 1; k <= 2; ++k) {
    EXPECT_FALSE(tables.DeviceListeners[k].Listener);
    EXPECT_FALSE(tables.ServerListeners[k].Listener);
    EXPECT_FALSE(tables.SerialPorts[k]);
  }
  EXPECT_TRUE(dev.ClosedByPeer());
  EXPECT_FALSE(test::Client().Connect(device1));
  EXPECT_FALSE(test::Client().Connect(server1));

  // A shutdown destroys the relay without a stop: that closes everything too.
  relay_->Start();
  ASSERT_TRUE(relay_->Tables().SerialPorts[2]->Connected());
  EXPECT_TRUE(test::Client().Connect(device2));
  relay_.reset();
  EXPECT_FALSE(test::Client().Connect(device1));
  EXPECT_FALSE(test::Client().Connect(device2));
  TComPort again;
  again.SetPort(line_.slave());
  EXPECT_NO_THROW(again.SetConnected(true)) << "the line is free again";
}

// A source is read in slices, with the flow control asked between them: a backlog larger
// than a destination may keep reaches it whole once it reads again.
TEST_F(RelayTest, BacklogOfAResumedSourceNeverPushesAPeerOverItsCap) {
  const int device = test::FreePort(), server = test::FreePort();
  Start(Line(device, 2, server));
  test::Client peer(server, 64 * 1024), dev(device);
  ASSERT_TRUE(Accepted(lsServer, 1, 1));
  ASSERT_TRUE(Accepted(lsDevice, 1, 1));
  TServerClientWinSocket* to_peer = relay_->Tables().ServerListeners[1].Listener->ListeningSocket()->ConnectionAt(0);
  TServerClientWinSocket* from_dev = relay_->Tables().DeviceListeners[1].Listener->ListeningSocket()->ConnectionAt(0);
  // Above what a paused source lets a destination keep (high water and one slice), below the
  // backlog.
  constexpr std::size_t kCap = 512 * 1024;
  to_peer->SetKeptBytesLimit(kCap);

  // A receive buffer as large as the system allows, as one that grew with a fast sender would be.
  const int large = 4 << 20;
  ASSERT_EQ(::setsockopt(static_cast<int>(from_dev->SocketHandle()), SOL_SOCKET, SO_RCVBUF, &large, sizeof large), 0);

  const std::string payload = Pattern(24u << 20, 1);
  Flood flood(dev, payload);
  // The peer reads nothing until a backlog far above the cap waits unread in the relay's socket.
  std::string got;
  ASSERT_TRUE(PumpUntil([&] { return Waiting(from_dev) > static_cast<int>(4 * kCap); }));
  ASSERT_TRUE(PumpUntil([&] {
    relay_->Tick(std::chrono::steady_clock::now());
    got += peer.Receive(payload.size() - got.size(), 10ms);
    return got.size() == payload.size() || !to_peer->Connected();
  }));
  EXPECT_TRUE(to_peer->Connected());
  EXPECT_TRUE(got == payload) << got.size() << " of " << payload.size() << " bytes, or changed";
  EXPECT_TRUE(warnings_.empty());
}

// A device that closes while its listener is paused leaves its bytes in its own socket, not
// in the relay, and a device that connects meanwhile waits to be accepted; once the server
// reads, every byte follows in order and the waiting device is served. Within a limit of two
// devices: a device that left while paused no longer counts.
TEST_F(RelayTest, ConnectionClosingWhilePausedKeepsItsBytesInItsSocket) {
  const int device = test::FreePort(), server = test::FreePort();
  test::WriteFile(file(kOptionsFileName), "limit device 2\n");
  Start(Line(device, 2, server));
  test::Client peer(server, 64 * 1024), dev(device), leaving(device);
  ASSERT_TRUE(Accepted(lsServer, 1, 1));
  ASSERT_TRUE(Accepted(lsDevice, 1, 2));
  TServerWinSocket* devices = relay_->Tables().DeviceListeners[1].Listener->ListeningSocket();
  TServerClientWinSocket* from_dev = devices->ConnectionAt(0);
  ASSERT_TRUE(test::FixSendBuffer(relay_->Tables().ServerListeners[1].Listener->ListeningSocket()->ConnectionAt(0)->SocketHandle()));

  // The device sends while the peer reads nothing, until its listener is paused and the way to
  // the relay takes no more; then it leaves.
  const std::string payload = Pattern(16u << 20, 2);
  std::size_t sent = 0;
  ASSERT_TRUE(PumpUntil([&] {
    ssize_t n = ::send(dev.fd(), payload.data() + sent, std::min<std::size_t>(65536, payload.size() - sent),
                       MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent += static_cast<std::size_t>(n);
    return n < 0 && errno == EAGAIN && devices->Paused();
  }));
  dev.Close();
  leaving.Close();
  test::Client late(device);
  EXPECT_TRUE(ReceivesNothing(late));
  ASSERT_EQ(devices->ConnectionCount(), 2) << "the late device was accepted, or a closed one released";
  ASSERT_EQ(devices->ConnectionAt(0), from_dev);
  EXPECT_GT(Waiting(from_dev), 0);
  EXPECT_LE(TServerClientWinSocket::AllKeptBytes(), FlowControl::kHighWater + 64 * 1024);

  std::string got;
  ASSERT_TRUE(PumpUntil([&] {
    relay_->Tick(std::chrono::steady_clock::now());
    got += peer.Receive(sent - got.size(), 10ms);
    return got.size() == sent;
  }));
  EXPECT_TRUE(got == payload.substr(0, sent)) << "the stream differs from what was sent";
  ASSERT_TRUE(Accepted(lsDevice, 1, 1));
  ASSERT_TRUE(late.SendAll("late"));
  EXPECT_EQ(Receive(peer, 4), "late");
  EXPECT_EQ(relay_->RefusedPeers(lsDevice, 1, rfOverLimit), 0u);
}

// A close the relay makes reads what waits at that moment and no more: bytes that a server
// cut as stalled sends while its close passes on its last bytes stay unread.
TEST_F(RelayTest, CloseOfAPeerReadsOnlyWhatWaitedWhenItBegan) {
  const int device = test::FreePort(), server = test::FreePort();
  Start(Line(device, 2, server));
  test::Client srv(server, 16 * 1024), dev(device, 16 * 1024), reader(device);
  ASSERT_TRUE(Accepted(lsServer, 1, 1));
  ASSERT_TRUE(Accepted(lsDevice, 1, 2));
  TServerWinSocket* servers = relay_->Tables().ServerListeners[1].Listener->ListeningSocket();
  TServerClientWinSocket* to_srv = servers->ConnectionAt(0);
  TServerClientWinSocket* to_dev = relay_->Tables().DeviceListeners[1].Listener->ListeningSocket()->ConnectionAt(0);
  ASSERT_TRUE(test::FixSendBuffer(to_srv->SocketHandle()) && test::FixSendBuffer(to_dev->SocketHandle()));
  // The device's bytes fill the way to the server, until the relay keeps some for it.
  const std::string chunk = Pattern(64 * 1024, 7);
  ASSERT_TRUE(PumpUntil([&] {
    ::send(dev.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return to_srv->KeptBytes() > 0;
  }));
  ASSERT_TRUE(Stalled(to_srv));
  // The server's bytes fill the way to the device that does not read, until its listener is
  // paused; then its last bytes wait unread.
  std::string sent;
  ASSERT_TRUE(PumpUntil([&] {
    const ssize_t n = ::send(srv.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent += chunk.substr(0, static_cast<std::size_t>(n));
    return to_dev->KeptBytes() > FlowControl::kHighWater;
  }));
  const std::string last = Pattern(16 * 1024, 8);
  ASSERT_TRUE(srv.SendAll(last));
  sent += last;
  ASSERT_TRUE(PumpUntil([&] {
    int unsent = 0;
    return ::ioctl(static_cast<int>(srv.fd()), SIOCOUTQ, &unsent) == 0 && unsent == 0;
  }));
  ASSERT_TRUE(Stalled(to_dev));
  // In the middle of passing them on, the device that does not read is cut, and the server
  // sends more.
  to_dev->SetKeptBytesLimit(to_dev->KeptBytes() + 8 * 1024);
  interrupt_ = [&] {
    if (to_dev->Connected()) return false;
    const int before = Waiting(to_srv);
    EXPECT_TRUE(srv.SendAll("after"));
    EXPECT_TRUE(test::WaitUntil([&] { return Waiting(to_srv) == before + 5; }));
    return true;
  };
  // The server has kept bytes waiting for longer than the device: a moment when only the
  // server has stalled.
  const auto server_since = to_srv->StalledSince(), device_since = to_dev->StalledSince();
  ASSERT_LT(server_since, device_since);
  relay_->Tick(server_since + FlowControl::kStallLimit + (device_since - server_since) / 2);
  ASSERT_TRUE(PumpUntil([&] {
    relay_->Tick(std::chrono::steady_clock::now());
    return servers->ConnectionCount() == 0;
  }));
  EXPECT_FALSE(interrupt_) << "the device was not cut";
  EXPECT_TRUE(Receive(reader, sent.size()) == sent);
  EXPECT_TRUE(ReceivesNothing(reader)) << "what the server sent during its close was read";
}

// A device that sends its last command and leaves, while the serial side's send to it fails
// (on the main thread, before the service thread read it): the command still reaches the line.
TEST_F(RelayTest, DeviceThatLeavesWhileTheLineSendsToItHasItsCommandWritten) {
  ASSERT_TRUE(line_.ok());
  const int device = test::FreePort();
  Start(Line(device, 1, line_.slave()));
  test::Client dev(device);
  ASSERT_TRUE(Accepted(lsDevice, 1, 1));
  TServerClientWinSocket* from_dev = relay_->Tables().DeviceListeners[1].Listener->ListeningSocket()->ConnectionAt(0);
  ASSERT_TRUE(dev.SendAll("command"));
  dev.Close();
  // A main thread of its own runs the serial side while the service thread (this one) waits:
  // the line's bytes go to the device, whose system answers the first with a reset, so the
  // second send fails.
  bool failed = false;
  std::thread([&] {
    main_thread::SetMainThread();
    const auto deliver = [&](const std::string& bytes, const std::function<bool()>& then) {
      return line_.Write(bytes) && test::WaitUntil([&] {
               main_thread::CheckSynchronize();
               return then();
             });
    };
    failed = deliver("1", [&] { return test::SocketSeesReset(from_dev->SocketHandle(), 1ms); }) &&
             deliver("2", [&] { return !from_dev->Connected(); });
  }).join();
  main_thread::SetMainThread();
  ASSERT_TRUE(failed);
  std::string written;
  PumpUntil([&] {
    written += line_.Read(7 - written.size(), 1ms);
    return written.size() == 7;
  });
  EXPECT_EQ(written, "command");
}

// A send that fails in the middle of a fan-out never lets another stream overtake the bytes
// being delivered: the device's second piece reaches the other server after its first, also
// when the close of the failed server passes its last bytes to that very device, whose send
// fails too.
TEST_F(RelayTest, CloseDuringAFanOutKeepsEveryStreamInOrder) {
  const int device = test::FreePort(), server = test::FreePort();
  Start(Line(device, 2, server));
  test::Client x0(server), x1(server), c(device);
  ASSERT_TRUE(Accepted(lsServer, 1, 2));
  ASSERT_TRUE(Accepted(lsDevice, 1, 1));
  TServerWinSocket* servers = relay_->Tables().ServerListeners[1].Listener->ListeningSocket();
  TServerClientWinSocket* from_x0 = servers->ConnectionAt(0);
  TServerClientWinSocket* from_c = relay_->Tables().DeviceListeners[1].Listener->ListeningSocket()->ConnectionAt(0);
  // x0 leaves its last bytes and resets; c leaves a first piece of exactly one slice and a
  // second, and resets. Nothing is read until the relay reads c.
  const std::string first = Pattern(64 * 1024, 5), second = "second";
  ASSERT_TRUE(x0.SendAll("last of x0"));
  ASSERT_TRUE(c.SendAll(first + second));
  ASSERT_TRUE(test::WaitUntil([&] { return Waiting(from_x0) == 10 && Waiting(from_c) == 64 * 1024 + 6; }));
  x0.Reset();
  c.Reset();
  ASSERT_TRUE(test::SocketSeesReset(from_x0->SocketHandle()));
  ASSERT_TRUE(test::SocketSeesReset(from_c->SocketHandle()));

  relay_->ClientRead(lsDevice, from_c);
  EXPECT_TRUE(Receive(x1, first.size() + second.size()) == first + second) << "the second piece came first";
}

// Cuts are warning entries that name the channel, the side and the peer, or the serial port:
// a server that stops reading is released after the hold and cut once its backlog would pass
// its cap, while the healthy one gets every byte; a line that takes nothing has its bytes
// dropped after the stall limit.
TEST_F(RelayTest, CutsAreWarnedWithTheChannelTheSideAndThePeer) {
  ASSERT_TRUE(line_.ok());
  const int device = test::FreePort(), server = test::FreePort(), serial_device = test::FreePort();
  Start(Line(device, 2, server) + Line(serial_device, 1, line_.slave()));
  test::Client healthy(server), stopped(server, 16 * 1024), dev(device), to_line(serial_device);
  ASSERT_TRUE(Accepted(lsServer, 1, 2));
  ASSERT_TRUE(Accepted(lsDevice, 1, 1));
  ASSERT_TRUE(Accepted(lsDevice, 2, 1));
  relay_->Tables().ServerListeners[1].Listener->ListeningSocket()->ConnectionAt(1)->SetKeptBytesLimit(1u << 20);

  // The line's far end reads nothing; the stopped server neither.
  const std::string payload = Pattern(8u << 20, 4), to_serial(256 * 1024, 'l');
  Flood flood(dev, payload), serial_flood(to_line, to_serial);
  std::string got;
  ASSERT_TRUE(PumpUntil([&] {
    got += healthy.Receive(payload.size(), 10ms);
    int on_line = 0;
    ::ioctl(line_.master(), FIONREAD, &on_line);
    return relay_->HasWork() && got.size() >= 64 * 1024 && on_line > 0;
  }));
  // The healthy server is held for the hold limit at most, then gets every byte; the stopped
  // one is cut at its cap on the way.
  const auto now = std::chrono::steady_clock::now();
  ASSERT_TRUE(PumpUntil([&] {
    relay_->Tick(now);
    relay_->Tick(now + FlowControl::kHoldLimit + std::chrono::milliseconds(500));
    got += healthy.Receive(payload.size() - got.size(), 10ms);
    return got.size() == payload.size();
  }));
  EXPECT_TRUE(got == payload);
  ASSERT_TRUE(PumpUntil([&] {
    relay_->Tick(now + FlowControl::kStallLimit + std::chrono::seconds(1));
    return warnings_.size() >= 2;
  }));
  ASSERT_EQ(warnings_.size(), 2u);
  const std::string stopped_port = std::to_string(LocalPortOf(stopped));
  EXPECT_EQ(warnings_[0], "Channel 1 \"x\", server side: peer 127.0.0.1:" + stopped_port +
                              " fell more than its limit of 1 MiB behind the others and was disconnected");
  const std::string prefix = "Channel 2 \"x\", serial side: serial port \"" + line_.slave() + "\" took nothing for 30 s; ";
  EXPECT_EQ(warnings_[1].substr(0, prefix.size()), prefix);
  EXPECT_EQ(warnings_[1].substr(prefix.size() + warnings_[1].find_first_not_of("0123456789", prefix.size()) - prefix.size()),
            " bytes waiting for it were dropped")
      << warnings_[1];
  EXPECT_TRUE(stopped.ClosedByPeer());
}

// Who may connect: channels that share a device port answer to every list of the port (what a
// peer sends there reaches all of them); refused peers are counted by reason and told at once,
// then once a minute.
TEST_F(RelayTest, AccessRulesOfSharedPortsAndRefusalCounts) {
  const int device = test::FreePort(), server = test::FreePort(), lone = test::FreePort();
  test::WriteFile(file(kOptionsFileName), "allow 2 device 127.0.0.2\nlimit server 1\n");
  Start(Line(device, 2, server) + Line(device, 0, 0) + Line(lone, 7, 0));

  // Channel 1 admits anyone, channel 2 only 127.0.0.2, and both hear port `device`.
  test::Client near1, near2, far;
  ASSERT_TRUE(near1.ConnectFrom("127.0.0.1", device));
  ASSERT_TRUE(near2.ConnectFrom("127.0.0.1", device));
  ASSERT_TRUE(PumpUntil([&] { return relay_->RefusedPeers(lsDevice, 1, rfNotAllowed) == 2; }));
  ASSERT_TRUE(far.ConnectFrom("127.0.0.2", device));
  ASSERT_TRUE(Accepted(lsDevice, 1, 1));
  test::Client first(server), second(server);
  ASSERT_TRUE(PumpUntil([&] { return relay_->RefusedPeers(lsServer, 1, rfOverLimit) == 1; }));
  ASSERT_TRUE(Accepted(lsServer, 1, 1));
  ASSERT_TRUE(far.SendAll("in"));
  EXPECT_EQ(Receive(first, 2), "in");
  EXPECT_EQ(relay_->RefusedPeers(lsDevice, 1, rfOverLimit), 0u);

  const std::string head = "Channel 1 \"x\", ";
  EXPECT_EQ(warnings_, (std::vector<std::string>{
                           "Channel 2 \"x\", device side: cannot listen on TCP port " + std::to_string(device) +
                               ": Address already in use",
                           head + "device side: refused peer 127.0.0.1: not in the allow-list",
                           head + "server side: refused peer 127.0.0.1: over the limit of 1 connection"}));
  // The second refusal of the device side is told a minute after the first.
  relay_->Tick(std::chrono::steady_clock::now() + 30s);
  EXPECT_EQ(warnings_.size(), 3u);
  relay_->Tick(std::chrono::steady_clock::now() + 61s);
  ASSERT_EQ(warnings_.size(), 4u);
  EXPECT_EQ(warnings_.back(), head + "device side: refused peer 127.0.0.1: not in the allow-list");
}

// An options file that cannot be read opens nothing and says why on every side; it is read
// again a few times in the first seconds (a writer may hold it for a moment), then, with retry,
// at every retry, and the channels open once it can be read.
TEST_F(RelayTest, AnOptionsFileThatCannotBeReadIsReadAgainUntilItCan) {
  const int device = test::FreePort(), server = test::FreePort();
  const std::string options = file(kOptionsFileName);
  test::WriteFile(options, "limit server 1\n");
  const int held = ::open(options.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  Start(Line(device, 2, server) + Line(test::FreePort(), 1, line_.slave()));
  ::close(held);
  const std::string locked = "options file cannot be read: " + SystemErrorText(EWOULDBLOCK);
  for (const TSideHealth* side : {&relay_->Health(1).device, &relay_->Health(1).server, &relay_->Health(2).serial}) {
    EXPECT_EQ(side->state, TSideState::ssWaiting);
    EXPECT_EQ(side->reason.Bytes(), locked);
  }
  EXPECT_FALSE(test::Client().Connect(device));
  EXPECT_EQ(errors_, (std::vector<std::string>{"Options file \"" + options + "\" cannot be read: " +
                                               SystemErrorText(EWOULDBLOCK) + "; no listener opens"}));
  const auto t0 = std::chrono::steady_clock::now();
  relay_->Tick(t0 + 1100ms);
  EXPECT_EQ(relay_->Health(1).device.state, TSideState::ssOpen);
  EXPECT_EQ(relay_->Health(2).serial.state, TSideState::ssOpen);
  EXPECT_EQ(informations_, (std::vector<std::string>{"Options file \"" + options + "\" can be read now: the channels open"}));
  EXPECT_EQ(relay_->Options().Access.Sides[lsServer].Limit.value, 1);
  test::Client client;
  EXPECT_TRUE(client.Connect(device));

  // A line that cannot be read, without retry: read again three times, told once, then left.
  for (const char* retry : {"", "retry 60\n"}) {
    SCOPED_TRACE(retry);
    relay_->Stop();
    errors_.clear();
    test::WriteFile(options, std::string(retry) + "alow server 127.0.0.1\n");
    relay_->Start();
    const auto start = std::chrono::steady_clock::now();
    for (int seconds : {1, 3, 7}) relay_->Tick(start + std::chrono::seconds(seconds) + 100ms);
    EXPECT_EQ(errors_.size(), 1u);
    const std::string reason = std::string("options file line ") + (*retry ? "2" : "1") + ": unknown keyword \"alow\"";
    EXPECT_EQ(relay_->Health(1).server.reason.Bytes(), reason);
    EXPECT_EQ(relay_->Health(1).server.state, *retry ? TSideState::ssWaiting : TSideState::ssFailed);
    test::WriteFile(options, retry);
    relay_->Tick(start + 68s);
    EXPECT_EQ(relay_->Health(1).server.state, *retry ? TSideState::ssOpen : TSideState::ssFailed);
  }
}

TEST_F(RelayTest, ASecondStartBeginsFromEmptyRecords) {
  Start("1;0;1;COM3;x\r\n");
  relay_->Stop();
  test::WriteFile(file(kChannelFileName), "1;0;2;5\r\n");
  relay_->Start();
  EXPECT_EQ(relay_->Tables().ChannelCount, 1);
  EXPECT_EQ(relay_->Tables().ChannelTable[1].ComPortName, "");
  EXPECT_EQ(relay_->Tables().ChannelTable[1].ServerPort, 5);
}

#ifdef NDEBUG
constexpr bool kAssertions = false;
#else
constexpr bool kAssertions = true;
#endif

// Debug builds check that the service-thread and main-thread entry points run where they
// belong.
TEST_F(RelayTest, EntryPointsOnTheWrongThreadAreCaught) {
  if (!kAssertions) GTEST_SKIP() << "assertions are off in this build";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  relay_ = MakeRelay();
  std::thread([&] { relay_->Start(); }).join();  // no channel file: nothing opens
  EXPECT_DEATH(relay_->Tick(std::chrono::steady_clock::now()), "service thread");
  EXPECT_DEATH(relay_->Stop(), "service thread");
  EXPECT_DEATH(std::thread([&] { relay_->SerialRxChar(nullptr, 0); }).join(), "main thread");
}

}  // namespace
