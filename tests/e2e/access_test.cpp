// Who may connect where, through the real executable: allow-lists (side-wide and a channel's
// own), a bound address and a connection limit, with the loopback range as two networks
// (127.0.0.1 and 127.0.0.2). Run on Linux and under Wine alike (launcher.h).

#include <fstream>

#include "tests/e2e/relay_fixture.h"

namespace {

using e2e::Sync;
using test::Client;

std::string Channel(int device_port, int server_port, const char* label) {
  return std::to_string(device_port) + ";0;2;" + std::to_string(server_port) + ";" + label + "\r\n";
}

class Access : public e2e::RelayProcess {
 protected:
  void WriteOptions(const std::string& text) {
    std::ofstream(bin_file("cnf_options.cfg"), std::ios::binary) << text;
  }
  // A peer that the relay refuses: it got in (the system accepts for the relay), sends at once,
  // and is closed. What it sent reaches nobody (the syncs that follow see only their own bytes).
  ::testing::AssertionResult Refused(const std::string& from, int port) {
    Client peer;
    if (!peer.ConnectFrom(from, port)) return ::testing::AssertionFailure() << "the system did not accept";
    peer.SendAll("secret");
    if (!peer.ClosedByPeer()) return ::testing::AssertionFailure() << "it was admitted";
    return ::testing::AssertionSuccess();
  }
  std::vector<std::string> WarningTexts(std::size_t count) {
    std::vector<std::string> texts;
    for (const e2e::EventEntry& entry : launcher_->EventEntries(count + 1, std::chrono::milliseconds(500))) {
      if (entry.type == 2) texts.push_back(entry.text);
    }
    return texts;
  }
};

TEST_F(Access, AllowListsAdmitTheirNetworksAndABoundSideListensOnItsAddressOnly) {
  const int d1 = test::FreePort(), s1 = test::FreePort(), d2 = test::FreePort(), s2 = test::FreePort();
  WriteOptions("bind device 127.0.0.1\r\n"
               "allow server 127.0.0.1     # the local machine's own servers\r\n"
               "allow 2 server 127.0.0.2/32\r\n");
  Start(Channel(d1, s1, "north") + Channel(d2, s2, "south"));

  // The device side listens on 127.0.0.1 only, and admits anyone there; the server side
  // listens on every address.
  EXPECT_FALSE(Client().ConnectFrom("127.0.0.1", d1, "127.0.0.2"));
  Client near_device, far_device, server;
  ASSERT_TRUE(near_device.ConnectFrom("127.0.0.1", d1));
  ASSERT_TRUE(far_device.ConnectFrom("127.0.0.2", d1));
  ASSERT_TRUE(server.ConnectFrom("127.0.0.1", s1, "127.0.0.2"));
  // Channel 1's servers come from 127.0.0.1 only; what a refused one sent reaches nobody.
  EXPECT_TRUE(Refused("127.0.0.2", s1));
  EXPECT_TRUE(Refused("127.0.0.2", s1));
  ASSERT_TRUE(Sync(near_device, {&server}));
  ASSERT_TRUE(Sync(far_device, {&server}));
  ASSERT_TRUE(Sync(server, {&near_device, &far_device}));

  // Channel 2's own list replaces the side's.
  Client device, own_server;
  ASSERT_TRUE(device.ConnectFrom("127.0.0.1", d2));
  ASSERT_TRUE(own_server.ConnectFrom("127.0.0.2", s2));
  EXPECT_TRUE(Refused("127.0.0.1", s2));
  ASSERT_TRUE(Sync(device, {&own_server}));
  ASSERT_TRUE(Sync(own_server, {&device}));
  Stop();

  // One entry per channel side and reason, however many peers it refused.
  EXPECT_EQ(WarningTexts(2), (std::vector<std::string>{
                                 "Channel 1 \"north\", server side: refused peer 127.0.0.2: not in the allow-list",
                                 "Channel 2 \"south\", server side: refused peer 127.0.0.1: not in the allow-list"}));
}

TEST_F(Access, LimitRefusesThePeerBeyondItWhileTheOthersRelay) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  WriteOptions("limit server 2\r\n");
  Start(Channel(device_port, server_port, "north"));
  Client device(device_port), first(server_port), second(server_port);
  ASSERT_TRUE(Sync(device, {&first, &second}));
  EXPECT_TRUE(Refused("127.0.0.1", server_port));
  ASSERT_TRUE(Sync(device, {&first, &second}));
  ASSERT_TRUE(Sync(second, {&device}));

  // Once one has gone, a new one takes its place.
  const int first_port = first.LocalPort();
  first.Close();
  ASSERT_TRUE(test::WaitUntil([&] { return !test::RelayHolds(server_port, first_port); }));
  Client third(server_port);
  ASSERT_TRUE(Sync(device, {&second, &third}));
  Stop();
  EXPECT_EQ(WarningTexts(1), (std::vector<std::string>{"Channel 1 \"north\", server side: refused peer 127.0.0.1: "
                                                       "over the limit of 2 connections"}));
}

}  // namespace
