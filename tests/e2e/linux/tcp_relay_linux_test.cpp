// Type-2 cases that only Linux can show: a reset reported as one (Wine reports it as an
// orderly close), the relay's open descriptors, and signals that must not end it.

#include <signal.h>

#include <filesystem>
#include <iterator>

#include "tests/e2e/linux/linux_launcher.h"
#include "tests/e2e/relay_fixture.h"

namespace {

using e2e::Sync;
using test::Client;

std::string Channel(int device, int server) {
  return std::to_string(device) + ";0;2;" + std::to_string(server) + ";x\r\n";
}

class TcpRelayOnLinux : public e2e::RelayProcess {
 protected:
  e2e::LinuxLauncher& linux_launcher() { return static_cast<e2e::LinuxLauncher&>(*launcher_); }
};

TEST_F(TcpRelayOnLinux, ResetPeerIsReportedAndReleased) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s1(server_port), d(device_port);
  ASSERT_TRUE(Sync(d, {&s1}));
  s1.Reset();
  // The start entry first, then the reset, routed as an unhandled error of the connection.
  auto& log = linux_launcher().syslog();
  test::ExpectStartEntry(log.Receive(), linux_launcher().child().pid());
  test::ExpectSyslogEntry(log.Receive(), 27, "tcp_port_serv", linux_launcher().child().pid(),
                          "Asynchronous socket error 104");

  Client s2(server_port);
  ASSERT_TRUE(Sync(d, {&s2}));
  ASSERT_TRUE(d.SendAll("still here"));
  EXPECT_EQ(s2.Receive(10), "still here");
  Stop();
}

TEST_F(TcpRelayOnLinux, PeersThatComeAndGoLeaveNoDescriptorBehind) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  auto open_descriptors = [&] {
    std::error_code ignored;
    auto entries = std::filesystem::directory_iterator(
        "/proc/" + std::to_string(linux_launcher().child().pid()) + "/fd", ignored);
    return std::distance(entries, std::filesystem::directory_iterator());
  };
  // One reset first, so that the entry it causes has opened the event log's socket.
  Client(device_port).Reset();
  auto& log = linux_launcher().syslog();
  test::ExpectStartEntry(log.Receive(), linux_launcher().child().pid());
  ASSERT_TRUE(log.Receive().has_value());  // the reset
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

// Signals that ask nothing of the service, a stray SIGPIPE or user signal among them, neither
// end it nor disturb its relaying.
TEST_F(TcpRelayOnLinux, StraySignalsNeitherEndNorDisturbTheService) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client s(server_port), d(device_port);
  ASSERT_TRUE(Sync(d, {&s}));
  const int kinds[] = {SIGPIPE, SIGUSR1, SIGUSR2,  SIGALRM, SIGVTALRM, SIGPROF,
                       SIGIO,   SIGXFSZ, SIGCHLD, SIGWINCH, SIGURG,   SIGCONT};
  for (int i = 0; i < 2000; ++i) linux_launcher().child().Signal(kinds[i % std::size(kinds)]);
  ASSERT_TRUE(d.SendAll("after the signals"));
  EXPECT_EQ(s.Receive(17), "after the signals");
  ASSERT_TRUE(s.SendAll("back"));
  EXPECT_EQ(d.Receive(4), "back");
  Stop();
}

}  // namespace
