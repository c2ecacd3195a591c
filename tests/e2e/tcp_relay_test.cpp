// Type-2 channels through the real executable: both directions, fan-out, no echo, dropped
// bytes, shared device ports, slow and vanished peers, the start log and the stop.

#include <atomic>
#include <filesystem>
#include <iterator>
#include <thread>

#include "relay/log_texts.h"
#include "tests/e2e/relay_fixture.h"

namespace {

using e2e::Sync;
using test::Client;

std::string Channel(int device, int type, const std::string& partner, const char* label = "x") {
  return std::to_string(device) + ";0;" + std::to_string(type) + ";" + partner + ";" + label + "\r\n";
}
std::string Channel(int device, int server) { return Channel(device, 2, std::to_string(server)); }

class TcpRelay : public e2e::RelayProcess {};

TEST_F(TcpRelay, RelaysBothWaysWithFanOutAndNoEcho) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s1(server_port), s2(server_port), d1(device_port), d2(device_port);
  ASSERT_TRUE(Sync(d1, {&s1, &s2}));
  ASSERT_TRUE(Sync(s1, {&d1, &d2}));

  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes += static_cast<char>(i);
  ASSERT_TRUE(d1.SendAll(all_bytes));
  EXPECT_EQ(s1.Receive(256), all_bytes);
  EXPECT_EQ(s2.Receive(256), all_bytes);
  ASSERT_TRUE(s1.SendAll("reply"));
  EXPECT_EQ(d1.Receive(5), "reply");
  EXPECT_EQ(d2.Receive(5), "reply");

  // What each side receives next is exactly the other side's next message: nothing was echoed
  // to its own side or passed between connections of one side.
  ASSERT_TRUE(d2.SendAll("from d2"));
  EXPECT_EQ(s1.Receive(7), "from d2");
  EXPECT_EQ(s2.Receive(7), "from d2");
  ASSERT_TRUE(s2.SendAll("from s2"));
  EXPECT_EQ(d1.Receive(7), "from s2");
  EXPECT_EQ(d2.Receive(7), "from s2");
  Stop();
}

TEST_F(TcpRelay, BytesWithNoPartnerAreDropped) {
  const int device_port = test::FreePort(), server_port = test::FreePort(), lone_port = test::FreePort();
  Start(Channel(device_port, server_port) + Channel(lone_port, 7, "0"));
  Client d(device_port);
  ASSERT_TRUE(d.SendAll("lost"));
  ASSERT_TRUE(test::WaitUntil([&] { return e2e::RelayUnread(device_port, e2e::LocalPortOf(d)) == 0; }));
  Client lone(lone_port);
  ASSERT_TRUE(lone.SendAll("nowhere"));
  ASSERT_TRUE(test::WaitUntil([&] { return e2e::RelayUnread(lone_port, e2e::LocalPortOf(lone)) == 0; }));

  Client s(server_port);
  ASSERT_TRUE(Sync(d, {&s}));  // fails if "lost" came before the probes
  ASSERT_TRUE(d.SendAll("kept"));
  EXPECT_EQ(s.Receive(4), "kept");
  Stop();
}

TEST_F(TcpRelay, ChannelsSharingADevicePortBothReceive) {
  const int device_port = test::FreePort(), first = test::FreePort(), second = test::FreePort();
  Start(Channel(device_port, first) + Channel(device_port, second));
  Client s1(first), s2(second), d(device_port);
  ASSERT_TRUE(Sync(d, {&s1, &s2}));
  ASSERT_TRUE(d.SendAll("both"));
  EXPECT_EQ(s1.Receive(4), "both");
  EXPECT_EQ(s2.Receive(4), "both");
  Stop();
  // The second channel's device listener could not bind the port the first one holds.
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceStartText,
                                                         kSocketOpenFailedText + std::to_string(device_port),
                                                         kServiceExecuteText}));
}

TEST_F(TcpRelay, SlowReceiverGetsEveryByteInOrder) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s(server_port), d(device_port);
  ASSERT_TRUE(Sync(d, {&s}));

  const std::string payload = e2e::Pattern(48u << 20, 7);
  std::atomic<std::size_t> sent{0};
  std::thread sender([&] {
    for (std::size_t at = 0; at < payload.size(); at += 65536) {
      if (!d.SendAll(payload.substr(at, 65536))) return;
      sent = at + 65536;
    }
  });
  // Let the receiver lag until the sender is held back (or done), so that the relay has to
  // keep bytes and pause its reads; then read everything.
  std::size_t last = 0;
  test::WaitUntil([&] {
    std::size_t now = sent;
    bool still = now == last;
    last = now;
    if (!still) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return still || now == payload.size();
  });
  std::string received = s.Receive(payload.size(), std::chrono::seconds(60));
  sender.join();
  EXPECT_EQ(received.size(), payload.size());
  EXPECT_TRUE(received == payload) << "the stream differs from what was sent";
  Stop();
}

TEST_F(TcpRelay, ResetPeerIsReportedAndReleased) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s1(server_port), d(device_port);
  ASSERT_TRUE(Sync(d, {&s1}));
  s1.Reset();
  // The start entry first, then the reset, routed as an unhandled error of the connection.
  test::ExpectStartEntry(log_.Receive(), child_->pid());
  test::ExpectSyslogEntry(log_.Receive(), 27, "tcp_port_serv", child_->pid(), "Asynchronous socket error 104");

  Client s2(server_port);
  ASSERT_TRUE(Sync(d, {&s2}));
  ASSERT_TRUE(d.SendAll("still here"));
  EXPECT_EQ(s2.Receive(10), "still here");
  Stop();
}

TEST_F(TcpRelay, IdleRelayKeepsReportingRunningAndRelaysWhenBytesCome) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s(server_port), d(device_port);
  ASSERT_TRUE(Sync(d, {&s}));
  // The run loop's own reports while nothing moves: running, and nothing else.
  for (int i = 0; i < 2; ++i) {
    auto datagram = notify_.Receive();
    ASSERT_TRUE(datagram.has_value()) << "the idle relay stopped reporting";
    EXPECT_EQ(test::ParseNotify(*datagram)["X_STATE"], "4");
  }
  ASSERT_TRUE(d.SendAll("after a quiet while"));
  EXPECT_EQ(s.Receive(19), "after a quiet while");
  Stop();
}

TEST_F(TcpRelay, StopClosesEveryPortAndConnection) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s(server_port), d(device_port);
  ASSERT_TRUE(Sync(d, {&s}));
  Stop();
  EXPECT_TRUE(d.ClosedByPeer());
  EXPECT_TRUE(s.ClosedByPeer());
  EXPECT_FALSE(Client().Connect(device_port));
  EXPECT_FALSE(Client().Connect(server_port));
}

TEST_F(TcpRelay, PeersThatComeAndGoLeaveNoDescriptorBehind) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  auto open_descriptors = [&] {
    std::error_code ignored;
    auto entries = std::filesystem::directory_iterator("/proc/" + std::to_string(child_->pid()) + "/fd", ignored);
    return std::distance(entries, std::filesystem::directory_iterator());
  };
  // One reset first, so that the entry it causes has opened the event log's socket.
  Client(device_port).Reset();
  test::ExpectStartEntry(log_.Receive(), child_->pid());
  ASSERT_TRUE(log_.Receive().has_value());  // the reset
  const auto before = open_descriptors();
  for (int i = 0; i < 40; ++i) {
    Client s(server_port), d(device_port);
    ASSERT_TRUE(d.SendAll("burst"));  // may or may not find the server side yet
    if (i % 2) {
      s.Reset();
      d.Reset();
    }
  }
  Client silent(device_port);  // connects and says nothing
  silent.Close();
  EXPECT_TRUE(test::WaitUntil([&] { return open_descriptors() == before; }))
      << open_descriptors() << " descriptors open, " << before << " before";
  Stop();
}

TEST_F(TcpRelay, StartLogsFailuresInOrderAndAWarningWithTheReasonForEach) {
  e2e::PortHolder taken_device, taken_server, taken_other;
  const int ok_device = test::FreePort();
  Start(Channel(taken_device.port(), test::FreePort()) + Channel(ok_device, taken_server.port()) +
        Channel(taken_other.port(), 1, "/nonexistent/tty") + Channel(test::FreePort(), 1, "COM7 "));
  Stop();
  EXPECT_EQ(ServiceLogTexts(),
            (std::vector<std::string>{kServiceStartText,
                                      kSocketOpenFailedText + std::to_string(taken_device.port()),
                                      kSocketOpenFailedText + std::to_string(taken_other.port()),
                                      kSocketOpenFailedText + std::to_string(taken_server.port()),
                                      std::string(kComPortOpenFailedText) + "/nonexistent/tty",
                                      std::string(kComPortOpenFailedText) + "COM7 ", kServiceExecuteText}));
  test::ExpectStartEntry(log_.Receive(), child_->pid());
  // Then one warning per failed open, in the order of the lines above.
  const std::string busy = ": Address already in use", missing = ": No such file or directory";
  for (const std::string& text :
       {"Channel 1 \"x\", device side: cannot listen on TCP port " + std::to_string(taken_device.port()) + busy,
        "Channel 3 \"x\", device side: cannot listen on TCP port " + std::to_string(taken_other.port()) + busy,
        "Channel 2 \"x\", server side: cannot listen on TCP port " + std::to_string(taken_server.port()) + busy,
        "Channel 3 \"x\", serial side: cannot open serial port \"/nonexistent/tty\"" + missing,
        "Channel 4 \"x\", serial side: cannot open serial port \"COM7 \" (/dev/COM7 )" + missing}) {
    test::ExpectSyslogEntry(log_.Receive(), 28, "Rodivo_vedodaraz", child_->pid(), text);
  }
  EXPECT_FALSE(log_.Receive(std::chrono::milliseconds(0)).has_value());
}

TEST_F(TcpRelay, LinesBeyondTheLimitAreIgnoredAndLogged) {
  std::string lines;
  for (int i = 0; i < 402; ++i) lines += "0;0;0;0;idle\r\n";
  Start(lines);
  Stop();
  EXPECT_EQ(ServiceLogTexts(),
            (std::vector<std::string>{kServiceStartText, std::string(kChannelLinesIgnoredText) + "2",
                                      kServiceExecuteText}));
}

TEST_F(TcpRelay, MissingChannelFileRunsIdle) {
  exe_ = test::CopyExecutable(dir_.path() / "bin");
  child_ = std::make_unique<test::ChildProcess>(
      exe_, std::vector<std::string>{},
      std::map<std::string, std::string>{{"NOTIFY_SOCKET", notify_.path()}, {"KORVENET_EVENTLOG", log_.path()}});
  ASSERT_TRUE(WaitForState("4"));
  Stop();
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceExecuteText}));
  test::ExpectStartEntry(log_.Receive(), child_->pid());  // written all the same
}

}  // namespace
