// Type-2 channels through the real executable: both directions, fan-out, no echo, dropped
// bytes, shared device ports, large and slow streams, the last bytes before a close, a stalled
// receiver, two receivers reading in parallel, the stop, and what -status tells of a channel.
// Run on Linux and under Wine alike (launcher.h).

#include <atomic>
#include <thread>

#include "relay/flow_control.h"
#include "relay/log_texts.h"
#include "tests/e2e/relay_fixture.h"

namespace {

using e2e::Sync;
using test::Client;

std::string Channel(int device, int type, const std::string& partner, const char* label = "x") {
  return std::to_string(device) + ";0;" + std::to_string(type) + ";" + partner + ";" + label + "\r\n";
}
std::string Channel(int device, int server) { return Channel(device, 2, std::to_string(server)); }

// Sends `bytes` from a thread of its own, in chunks, counting what went out.
class Sender {
 public:
  Sender(Client& client, const std::string& bytes)
      : thread_([this, &client, &bytes] {
          for (std::size_t at = 0; at < bytes.size(); at += 65536) {
            if (!client.SendAll(bytes.substr(at, 65536))) return;
            sent_ = std::min(bytes.size(), at + 65536);
          }
        }) {}
  ~Sender() { thread_.join(); }
  std::size_t sent() const { return sent_; }

 private:
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

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
  ASSERT_TRUE(test::WaitUntil([&] { return test::RelayUnread(device_port, d.LocalPort()) == 0; }));
  Client lone(lone_port);
  ASSERT_TRUE(lone.SendAll("nowhere"));
  ASSERT_TRUE(test::WaitUntil([&] { return test::RelayUnread(lone_port, lone.LocalPort()) == 0; }));

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
  std::string received;
  {
    Sender sender(d, payload);
    // Let the receiver lag until the sender is held back (or done), so that the relay has to
    // keep bytes and pause its reads; then read everything.
    std::size_t last = 0;
    test::WaitUntil([&] {
      std::size_t now = sender.sent();
      bool still = now == last;
      last = now;
      if (!still) std::this_thread::sleep_for(std::chrono::milliseconds(200));
      return still || now == payload.size();
    });
    received = s.Receive(payload.size(), std::chrono::seconds(120));
  }
  EXPECT_EQ(received.size(), payload.size());
  EXPECT_TRUE(received == payload) << "the stream differs from what was sent";
  Stop();
}

TEST_F(TcpRelay, LargeStreamsBothWaysAtOnceArriveIntact) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s(server_port), d(device_port);
  ASSERT_TRUE(Sync(d, {&s}));

  const std::string up = e2e::Pattern(16u << 20, 1), down = e2e::Pattern(16u << 20, 2);
  std::string at_server, at_device;
  {
    Sender to_server(d, up), to_device(s, down);
    std::thread reader([&] { at_device = d.Receive(down.size(), std::chrono::seconds(120)); });
    at_server = s.Receive(up.size(), std::chrono::seconds(120));
    reader.join();
  }
  EXPECT_EQ(at_server.size(), up.size());
  EXPECT_TRUE(at_server == up) << "the device's stream differs at the server";
  EXPECT_EQ(at_device.size(), down.size());
  EXPECT_TRUE(at_device == down) << "the server's stream differs at the device";
  Stop();
}

TEST_F(TcpRelay, TheLastBytesBeforeACloseArrive) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s(server_port);
  for (std::size_t size : {std::size_t{5}, std::size_t{4u << 20}}) {
    Client d(device_port);
    ASSERT_TRUE(Sync(d, {&s}));
    const std::string tail = e2e::Pattern(size, static_cast<unsigned>(size));
    std::string received;
    {
      Sender sender(d, tail);
      received = s.Receive(1);  // the server starts reading once bytes flow
      test::WaitUntil([&] { return sender.sent() == tail.size(); }, std::chrono::seconds(60));
    }
    d.Close();  // at once after the last byte
    received += s.Receive(tail.size() - received.size(), std::chrono::seconds(60));
    EXPECT_EQ(received.size(), tail.size()) << size << " bytes sent";
    EXPECT_TRUE(received == tail) << size << " bytes sent";
  }
  Stop();
}

TEST_F(TcpRelay, StalledReceiverIsCutWhileTheOthersGoOn) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client stalled(server_port), reading(server_port), d(device_port);
  ASSERT_TRUE(Sync(d, {&stalled, &reading}));

  // More than the stalled receiver's socket buffers and the relay's high-water mark take: the
  // relay keeps bytes for it and holds the device back, then cuts the stalled receiver, which
  // lags beside one that keeps up, and the reading one gets every byte.
  const std::string payload = e2e::Pattern(24u << 20, 3);
  std::string received;
  {
    Sender sender(d, payload);
    received = reading.Receive(payload.size(), FlowControl::kStallLimit + std::chrono::seconds(90));
  }
  EXPECT_EQ(received.size(), payload.size());
  EXPECT_TRUE(received == payload) << "the reading receiver lost or mixed bytes";
  EXPECT_TRUE(stalled.ClosedByPeer(std::chrono::seconds(30)));

  ASSERT_TRUE(d.SendAll("still relaying"));
  EXPECT_EQ(reading.Receive(14), "still relaying");
  Stop();
}

TEST_F(TcpRelay, TwoServersReadingInParallelBothGetTheWholeStreamAndNoneIsCut) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s1(server_port), s2(server_port), d(device_port);
  ASSERT_TRUE(Sync(d, {&s1, &s2}));

  // Both read at a few MB/s, slower than the device sends: the relay keeps bytes for both, and
  // now one, now the other is the one behind. A reader that is still reading is never cut.
  const std::string payload = e2e::Pattern(12u << 20, 5);
  std::string at_s1, at_s2;
  auto read_paced = [&](Client& server, std::string& into) {
    while (into.size() < payload.size()) {
      const std::string piece = server.Receive(std::min<std::size_t>(64 << 10, payload.size() - into.size()));
      if (piece.empty()) return;
      into += piece;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the reader's pace
    }
  };
  {
    Sender sender(d, payload);
    std::thread second([&] { read_paced(s2, at_s2); });
    read_paced(s1, at_s1);
    second.join();
  }
  EXPECT_TRUE(at_s1 == payload) << at_s1.size() << " of " << payload.size() << " bytes, or changed, at the first";
  EXPECT_TRUE(at_s2 == payload) << at_s2.size() << " of " << payload.size() << " bytes, or changed, at the second";
  Stop();
  for (const auto& entry : launcher_->EventEntries(0, std::chrono::milliseconds(0))) {
    EXPECT_EQ(entry.text.find("was disconnected"), std::string::npos) << entry.text;
  }
}

TEST_F(TcpRelay, IdleRelayKeepsReportingRunningAndRelaysWhenBytesCome) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s(server_port), d(device_port);
  ASSERT_TRUE(Sync(d, {&s}));
  // The run loop's own reports while nothing moves: running, and nothing else.
  const std::size_t before = launcher_->StatusReports(4).size();
  const auto reports = launcher_->StatusReports(4, before + 2);
  ASSERT_GE(reports.size(), before + 2) << "the idle relay stopped reporting";
  for (std::size_t i = before; i < reports.size(); ++i) EXPECT_EQ(reports[i].state, 4u) << "report " << i;
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

TEST_F(TcpRelay, StatusTellsTheChannelItsPeersAndItsBytesWhileTheServiceRuns) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s(server_port), d(device_port);
  std::size_t sent = 0;
  ASSERT_TRUE(Sync([&](const std::string& bytes) { return sent += bytes.size(), d.SendAll(bytes); }, {&s}));
  ASSERT_TRUE(s.SendAll("reply"));
  EXPECT_EQ(d.Receive(5), "reply");
  e2e::HandRun run = launcher_->RunByHand({"-status"});
  EXPECT_EQ(run.exit_code, 0) << run.err;
  const std::string line = "channel 1 \"x\": device port " + std::to_string(device_port) +
                           " listening, 1 device; server port " + std::to_string(server_port) +
                           " listening, 1 server; " + std::to_string(sent) + " bytes from devices, 5 bytes to devices";
  EXPECT_NE(run.out.find(line), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("Korvenet "), 0u) << run.out;
  Stop();
  run = launcher_->RunByHand({"-status"});
  EXPECT_EQ(run.exit_code, 3) << "no service answers";
  EXPECT_EQ(run.out, "");
}

}  // namespace
