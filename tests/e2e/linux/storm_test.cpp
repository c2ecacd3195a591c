// A reconnect storm through the real executable: without an options file each listener's queue
// holds 5 connections, as the system reports it; with backlog 1024, 500 devices that connect at
// once all relay their first bytes.

#include <cstdio>
#include <fstream>
#include <set>

#include "tests/e2e/relay_fixture.h"

namespace {

using test::Client;

// The listen backlog the system reports for a port of all local addresses (ss shows it as the
// send queue of a listening socket); -1 when no such listener is found.
int ListenBacklog(int port) {
  const std::string command = "ss -ltnH 'sport = :" + std::to_string(port) + "' 2>/dev/null";
  FILE* out = ::popen(command.c_str(), "r");
  if (!out) return -1;
  char state[32] = "";
  int waiting = 0, backlog = -1;
  if (std::fscanf(out, "%31s %d %d", state, &waiting, &backlog) != 3) backlog = -1;
  ::pclose(out);
  return backlog;
}

int SystemLargestBacklog() {
  int largest = 0;
  std::ifstream("/proc/sys/net/core/somaxconn") >> largest;
  return largest;
}

class Storm : public e2e::RelayProcess {};

TEST_F(Storm, ListenersHoldFiveUnlessTheOptionsRaiseItAndFiveHundredDevicesAtOnceAllRelay) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  const std::string channel = std::to_string(device_port) + ";0;2;" + std::to_string(server_port) + ";plant\r\n";
  Start(channel);
  EXPECT_EQ(ListenBacklog(device_port), 5);
  EXPECT_EQ(ListenBacklog(server_port), 5);
  Stop();

  std::ofstream(bin_file("cnf_options.cfg"), std::ios::binary) << "backlog 1024\n";
  Start(channel);
  EXPECT_EQ(ListenBacklog(device_port), std::min(1024, SystemLargestBacklog()));
  Client server(server_port);
  {
    Client first(device_port);
    ASSERT_TRUE(e2e::Sync(first, {&server}));
  }
  // All connect before any sends, then each sends its tag: the relay finds them all waiting.
  constexpr int kDevices = 500;
  std::vector<Client> devices(kDevices);
  for (Client& device : devices) ASSERT_TRUE(device.Connect(device_port));
  std::string expected;
  for (int i = 0; i < kDevices; ++i) {
    char tag[16];
    std::snprintf(tag, sizeof tag, "d%03d\n", i);
    ASSERT_TRUE(devices[static_cast<std::size_t>(i)].SendAll(tag));
    expected += tag;
  }
  const std::string received = server.Receive(expected.size());
  std::multiset<std::string> tags;
  for (std::size_t at = 0; at + 5 <= received.size(); at += 5) tags.insert(received.substr(at, 5));
  std::multiset<std::string> sent;
  for (std::size_t at = 0; at < expected.size(); at += 5) sent.insert(expected.substr(at, 5));
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(tags == sent) << "the lines that reached the server differ from the devices' lines";
  Stop();
}

}  // namespace
