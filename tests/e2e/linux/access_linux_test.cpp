// Who may connect where, the cases only Linux runs: every kind of options line that cannot be
// read keeps every listener closed, and a flood of refused peers costs the others nothing.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fstream>
#include <thread>

#include "relay/log_texts.h"
#include "tests/e2e/relay_fixture.h"

namespace {

using namespace std::chrono_literals;
using test::Client;

class AccessLinux : public e2e::RelayProcess {
 protected:
  void WriteOptions(const std::string& text) {
    std::ofstream(bin_file("cnf_options.cfg"), std::ios::binary) << text;
  }
};

TEST_F(AccessLinux, EachKindOfBadLineKeepsEveryListenerClosed) {
  const int d1 = test::FreePort(), s1 = test::FreePort(), d2 = test::FreePort(), s2 = test::FreePort();
  const std::string channels = std::to_string(d1) + ";0;2;" + std::to_string(s1) + ";a\r\n" + std::to_string(d2) +
                               ";0;2;" + std::to_string(s2) + ";b\r\n";
  const std::string line = "Options file \"" + launcher_->ServicePath("cnf_options.cfg") + "\", line 2: ";
  const std::string address = line + "bind takes a side (device or server) and one IPv4 address";
  const std::string networks =
      line + "allow takes a side (device or server), or a channel number and a side, then IPv4 addresses or networks";
  const std::string closed = "; no listener opens";
  const std::vector<int> all = {d1, d2, s1, s2};
  // An address that is not on this machine is a failed open like any other, tried again.
  auto elsewhere = [&](const char* channel, int port) {
    return std::string("Channel ") + channel + ", device side: cannot listen on TCP port " + std::to_string(port) +
           " of 192.0.2.1: Cannot assign requested address; tried again every 60 s";
  };
  const struct {
    std::string line;
    std::vector<int> closed;  // in the order of opening: device sides first
    std::vector<std::string> warnings;
  } cases[] = {
      {"bind device 127.0.0.256", all, {address + ", not \"127.0.0.256\"" + closed}},
      {"bind server", all, {address + "; it has no address" + closed}},
      {"allow server 127.0.0.1 10.0.0.0/33", all, {line + "\"10.0.0.0/33\" has a mask over 32" + closed}},
      {"allow 2 device 10.1.2",
       all,
       {line + "\"10.1.2\" is not an IPv4 address (four numbers 0..255 joined by dots)" + closed}},
      {"allow devices 127.0.0.1", all, {networks + ", not \"devices\"" + closed}},
      {"limit server 0",
       all,
       {line + "limit takes a side (device or server) and the most connections at once, a whole number from 1, not "
               "\"0\"" + closed}},
      {"allow 9 server 127.0.0.1", all, {line + "the channel file has no channel 9 (it has 2)" + closed}},
      {"alow server 127.0.0.1", all, {line + "unknown keyword \"alow\"" + closed}},
      {"bind device 192.0.2.1\nretry 60", {d1, d2}, {elsewhere("1 \"a\"", d1), elsewhere("2 \"b\"", d2)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    WriteOptions("# access\n" + c.line + "\n");
    Start(channels);
    for (int port : {d1, d2, s1, s2}) {
      const bool closed = std::find(c.closed.begin(), c.closed.end(), port) != c.closed.end();
      EXPECT_EQ(Client().Connect(port), !closed) << "port " << port;
    }
    Stop();
    std::vector<std::string> log{kServiceStartText};
    for (int port : c.closed) log.push_back(kSocketOpenFailedText + std::to_string(port));
    log.push_back(kServiceExecuteText);
    EXPECT_EQ(ServiceLogTexts(), log);
    std::vector<std::string> warnings;
    for (const e2e::EventEntry& entry : launcher_->EventEntries(c.warnings.size() + 1, 500ms)) {
      if (entry.type != 4) warnings.push_back(entry.text);  // errors and warnings
    }
    EXPECT_EQ(warnings, c.warnings);
    std::filesystem::remove(bin_file("log_service.txt"));
  }
}

TEST_F(AccessLinux, AFloodOfRefusedPeersWritesOneEntryAndCostsTheOthersNothing) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  WriteOptions("allow server 127.0.0.1\n");
  Start(std::to_string(device_port) + ";0;2;" + std::to_string(server_port) + ";plant\r\n");
  Client device(device_port), server(server_port);
  ASSERT_TRUE(e2e::Sync(device, {&server}));

  // Round trips of the healthy pair, the slowest one taken, while `busy` holds.
  auto slowest_round_trip = [&](const std::function<bool()>& busy, int at_least) {
    auto slowest = test::Clock::duration::zero();
    for (int n = 0; n < at_least || busy(); ++n) {
      const auto start = test::Clock::now();
      if (!device.SendAll("ping") || server.Receive(4) != "ping" || !server.SendAll("pong") ||
          device.Receive(4) != "pong") {
        ADD_FAILURE() << "round trip " << n << " failed";
        break;
      }
      slowest = std::max(slowest, test::Clock::now() - start);
    }
    return slowest;
  };
  const auto quiet = slowest_round_trip([] { return false; }, 200);

  constexpr int kFloods = 4, kPerFlood = 250;
  std::atomic<int> refused{0}, running{kFloods};
  std::vector<std::thread> floods;
  for (int f = 0; f < kFloods; ++f) {
    floods.emplace_back([&] {
      for (int i = 0; i < kPerFlood; ++i) {
        Client peer;
        // The reset may come before the connecting thread runs again: then the connect itself
        // fails with it.
        const bool connected = peer.ConnectFrom("127.0.0.2", server_port);
        if (connected ? !peer.ClosedByPeer() : errno != ECONNRESET) break;
        ++refused;
      }
      --running;
    });
  }
  const auto flooded = slowest_round_trip([&] { return running > 0; }, 0);
  for (std::thread& flood : floods) flood.join();
  EXPECT_EQ(refused, kFloods * kPerFlood);
  // The pair never waited on the flood: a round trip is well under a millisecond, and no
  // refusal stands in its way for long (a generous bound for a loaded machine).
  EXPECT_LT(flooded, std::max(20 * quiet, test::Clock::duration(500ms)))
      << std::chrono::duration<double, std::milli>(flooded).count() << " ms against "
      << std::chrono::duration<double, std::milli>(quiet).count() << " ms quiet";
  ASSERT_TRUE(e2e::Sync(server, {&device}));
  Stop();

  const auto entries = launcher_->EventEntries(3, 500ms);
  ASSERT_EQ(entries.size(), 2u) << entries.back().text;
  EXPECT_EQ(entries[1].text, "Channel 1 \"plant\", server side: refused peer 127.0.0.2: not in the allow-list");
}

}  // namespace
