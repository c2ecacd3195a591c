// One sick party never holds up the others: a service manager, an event log or a console that
// stops reading, and a process that runs out of descriptors. Each time the healthy peers are
// served and a stop ends the process promptly.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "platform/event_log.h"
#include "relay/log_texts.h"
#include "tests/e2e/linux/notify_service_fixture.h"

namespace {

using e2e::Sync;
using test::Client;

// Generous: what is measured is that the process ends at all, not how fast.
constexpr std::chrono::seconds kStopDeadline{10};

std::string Channel(int device, int server) {
  return std::to_string(device) + ";0;2;" + std::to_string(server) + ";x\r\n";
}

// Fills a datagram socket's queue from outside, so that its reader takes nothing more while
// the test does not read. Answers how many datagrams it took.
int FillDatagramQueue(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  int sent = 0;
  while (::sendto(fd, "filler", 6, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) == 6) ++sent;
  ::close(fd);
  return sent;
}

// Bytes go from a device to a server and back.
bool RoundTrip(Client& device, Client& server, const std::string& bytes) {
  return device.SendAll(bytes) && server.Receive(bytes.size()) == bytes && server.SendAll(bytes) &&
         device.Receive(bytes.size()) == bytes;
}

// The processor time a process has used so far.
std::chrono::milliseconds CpuTime(int pid) {
  const std::string text = test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string field;
  long long ticks = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14 || i == 15) ticks += std::stoll(field);  // user and system time
  }
  return std::chrono::milliseconds(ticks * 1000 / ::sysconf(_SC_CLK_TCK));
}

// The soft limit of open files as /proc shows it ("unlimited" or a number).
std::string SoftDescriptorLimit(int pid) {
  std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
  std::string line;
  while (std::getline(limits, line)) {
    if (line.rfind("Max open files", 0) == 0) {
      std::istringstream fields(line.substr(14));
      std::string soft;
      fields >> soft;
      return soft;
    }
  }
  return "";
}

std::string DescribeDescriptors(int pid) {
  if (::kill(pid, 0) != 0) return "(the process has ended)";
  std::string open;
  for (auto& entry : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code ignored;
    open += entry.path().filename().string() + "->" + std::filesystem::read_symlink(entry.path(), ignored).string() + " ";
  }
  return open;
}

class SickParty : public e2e::NotifyServiceProcess {
 protected:
  // SIGTERM ends the process promptly and cleanly, whoever stopped reading.
  void ExpectPromptStop() {
    child_->Signal(SIGTERM);
    ASSERT_TRUE(child_->Wait(kStopDeadline)) << "the process did not end after SIGTERM";
    EXPECT_TRUE(child_->ExitedNormally());
    EXPECT_EQ(child_->ExitCode(), 0);
  }
  // The next entry from the executable's source whose text starts with `start`.
  std::optional<std::string> EntryStartingWith(const std::string& start) {
    while (auto datagram = log_.Receive()) {
      if (datagram->find("]: " + start) != std::string::npos) return datagram;
    }
    return std::nullopt;
  }
};

// The service manager stops reading its notify socket: the relay goes on, the reports it
// cannot send are replaced by the next ones, and a stop still ends it.
TEST_F(SickParty, ANotifyReaderThatStopsReading) {
  ASSERT_GT(FillDatagramQueue(notify_.path()), 0);
  const int device_port = test::FreePort(), server_port = test::FreePort();
  exe_ = test::CopyExecutable(dir_.path() / "bin");
  std::ofstream(bin_file("cnf_port.cfg"), std::ios::binary) << Channel(device_port, server_port);
  child_ = std::make_unique<test::ChildProcess>(
      exe_, std::vector<std::string>{},
      std::map<std::string, std::string>{{"NOTIFY_SOCKET", notify_.path()}, {"KORVENET_EVENTLOG", log_.path()}});
  Client server, device;
  ASSERT_TRUE(test::WaitUntil([&] { return server.Connect(server_port); })) << "the relay never listened";
  ASSERT_TRUE(device.Connect(device_port));
  ASSERT_TRUE(Sync(device, {&server}));
  ASSERT_TRUE(RoundTrip(device, server, "while the manager does not read"));

  // Reading again, the manager hears the current status with the next report.
  while (auto datagram = notify_.Receive(std::chrono::milliseconds(0))) {
  }
  ASSERT_TRUE(WaitForState("4"));

  ASSERT_GT(FillDatagramQueue(notify_.path()), 0);
  ASSERT_TRUE(RoundTrip(device, server, "again"));
  ExpectPromptStop();
}

// The event log stops reading: entries cost the relay no time (before, each one held the
// service thread up to 100 ms, and every peer's reset writes one), and a stop ends it.
TEST_F(SickParty, AnEventLogThatStopsReading) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  Client server(server_port), device(device_port);
  ASSERT_TRUE(Sync(device, {&server}));
  // 60 peers that the relay has accepted.
  std::vector<Client> peers;
  ASSERT_TRUE(ConnectPaced(device_port, 60, peers));
  ASSERT_GT(FillDatagramQueue(log_.path()), 0);

  for (auto& peer : peers) peer.Reset();  // each reset is an error entry
  const auto start = test::Clock::now();
  ASSERT_TRUE(RoundTrip(device, server, "through"));
  // 60 entries at 100 ms each would hold the relay 6 s; without waiting for the log it is far
  // less.
  EXPECT_LT(test::Clock::now() - start, std::chrono::seconds(3));
  ExpectPromptStop();
}

// Peers' connection errors cannot flood the log: a few of each kind a minute, then a summary
// of how many were left out, written at the latest when the process ends.
TEST_F(SickParty, ResetsOfPeersAreLimitedAndSummedUp) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  Start(Channel(device_port, server_port));
  test::ExpectStartEntry(log_.Receive(), child_->pid());
  Client(device_port).Reset();
  ASSERT_TRUE(EntryStartingWith("Asynchronous socket error 104"));
  const long before = e2e::OpenDescriptors(child_->pid());
  const std::string before_text = DescribeDescriptors(child_->pid());
  constexpr int kResets = 50;
  for (int i = 1; i < kResets; ++i) Client(device_port).Reset();
  ASSERT_TRUE(test::WaitUntil([&] { return e2e::OpenDescriptors(child_->pid()) <= before; }))
      << before_text << "\n" << DescribeDescriptors(child_->pid());  // all were handled
  Stop();
  int entries = 1;
  std::optional<std::string> summary;
  while (auto datagram = log_.Receive(std::chrono::milliseconds(0))) {
    if (datagram->find("]: Asynchronous socket error 104") != std::string::npos) ++entries;
    if (datagram->find("left out") != std::string::npos) summary = datagram;
  }
  EXPECT_EQ(entries, platform::kLimitedEntriesPerMinute);
  // A peer that resets before its connection is registered is found by a failed receive, which
  // the relay handles itself: most resets, not all, are entries.
  ASSERT_TRUE(summary.has_value());
  const std::string text = summary->substr(summary->find("]: ") + 3);
  const int left_out = std::stoi(text);
  EXPECT_GE(left_out, 1);
  EXPECT_LE(left_out, kResets - platform::kLimitedEntriesPerMinute);
  test::ExpectSyslogEntry(summary, 27, "tcp_port_serv", child_->pid(),
                          std::to_string(left_out) +
                              " more entries like this one were left out within a minute: Asynchronous socket error "
                              "104");
}

// -console with standard error on a pipe that nobody reads (and that is full from the start):
// the status lines and entries it cannot take are dropped; the relay runs and stops.
TEST_F(SickParty, AConsoleThatNobodyReads) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  exe_ = test::CopyExecutable(dir_.path() / "bin");
  std::ofstream(bin_file("cnf_port.cfg"), std::ios::binary) << Channel(device_port, server_port);
  int pipe_ends[2];
  ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
  ::fcntl(pipe_ends[1], F_SETFL, O_NONBLOCK);
  const std::string block(4096, 'x');
  while (::write(pipe_ends[1], block.data(), block.size()) > 0) {
  }
  ::fcntl(pipe_ends[1], F_SETFL, 0);  // the relay gets an ordinary, blocking, full pipe

  test::ChildProcess child(exe_, {"-console"}, {{"NOTIFY_SOCKET", ""}, {"KORVENET_EVENTLOG", log_.path()}}, "",
                          pipe_ends[1]);
  ::close(pipe_ends[1]);
  ASSERT_GT(child.pid(), 0);

  Client server, device;
  ASSERT_TRUE(test::WaitUntil([&] { return server.Connect(server_port); })) << "the relay never listened";
  ASSERT_TRUE(device.Connect(device_port));
  ASSERT_TRUE(Sync(device, {&server}));
  for (int i = 0; i < 50; ++i) Client(device_port).Reset();  // entries, each echoed to the console
  ASSERT_TRUE(RoundTrip(device, server, "while nobody reads the console"));

  child.Signal(SIGTERM);
  ASSERT_TRUE(child.Wait(kStopDeadline)) << "the process did not end after SIGTERM";
  EXPECT_TRUE(child.ExitedNormally());
  EXPECT_EQ(child.ExitCode(), 0);
  ::close(pipe_ends[0]);
}

// Descriptors run out (a hard limit just above what the service holds): the service does not
// spin, established peers keep relaying, refused peers are told, one warning says why, status
// reports go on, and new peers are served as soon as descriptors are free again.
TEST_F(SickParty, DescriptorsRunOut) {
#ifdef KORVENET_TYPE_CHECKS_NEED_DESCRIPTORS
  GTEST_SKIP() << "the sanitizer's type checks need descriptors that this case takes away";
#endif
  const int device_port = test::FreePort(), server_port = test::FreePort();
  // Started with a low soft limit, the service raises it to the hard one. Low, but above what
  // this test program holds itself (a claim for every port it took), which it needs to start it.
  rlimit own{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
  rlimit low{static_cast<rlim_t>(e2e::OpenDescriptors(::getpid())) + 64, own.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  Start(Channel(device_port, server_port));
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
  EXPECT_EQ(SoftDescriptorLimit(child_->pid()), std::to_string(own.rlim_max));

  Client server(server_port), device(device_port);
  ASSERT_TRUE(Sync(device, {&server}));
  // Room for eight more connections, then the table is full.
  const rlim_t room = static_cast<rlim_t>(e2e::OpenDescriptors(child_->pid())) + 8;
  rlimit limit{room, room};
  ASSERT_EQ(::prlimit(child_->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);

  std::vector<std::unique_ptr<Client>> idle;
  for (int i = 0; i < 20; ++i) {
    idle.push_back(std::make_unique<Client>());
    idle.back()->Connect(device_port);
  }
  int refused = 0;
  for (auto& client : idle) {
    if (client->connected() && client->ClosedByPeer(std::chrono::milliseconds(50))) ++refused;
  }
  EXPECT_GT(refused, 0) << "no peer was told that it is refused";

  const auto warning = EntryStartingWith("Connections to port " + std::to_string(device_port) + " are refused");
  test::ExpectSyslogEntry(warning, 28, "tcp_port_serv", child_->pid(),
                          "Connections to port " + std::to_string(device_port) +
                              " are refused while the system is short of descriptors or buffers: Too many open files "
                              "(24)");
  ASSERT_TRUE(RoundTrip(device, server, "established peers go on"));

  // No spin: over two status reports the service uses little of a processor.
  while (notify_.Receive(std::chrono::milliseconds(0))) {
  }
  const auto cpu_before = CpuTime(child_->pid());
  const auto wall_before = test::Clock::now();
  ASSERT_TRUE(WaitForState("4"));
  ASSERT_TRUE(WaitForState("4"));
  const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(test::Clock::now() - wall_before);
  EXPECT_LT((CpuTime(child_->pid()) - cpu_before).count(), wall.count() / 2)
      << "the service spun while it could not accept";

  idle.clear();  // descriptors are free again
  Client late;
  const bool served = test::WaitUntil([&] {
    late = Client(device_port);
    return late.connected() && !late.ClosedByPeer(std::chrono::milliseconds(100));
  });
  if (!served) {
    FAIL() << "a new peer was not served; open: " << DescribeDescriptors(child_->pid()) << "\nstandard error: "
           << child_->Stderr();
  }
  ASSERT_TRUE(Sync(late, {&server})) << "open: " << DescribeDescriptors(child_->pid()) << "\nlate peer "
                                      << late.LocalPort() << ", unread at the relay "
                                      << test::RelayUnread(device_port, late.LocalPort())
                                      << "\nstandard error: " << child_->Stderr();
  // Idle peers that closed with relayed bytes unread were reset: those are error entries. A
  // second warning is not.
  while (auto more = log_.Receive(std::chrono::milliseconds(0))) {
    EXPECT_EQ(more->find("are refused"), std::string::npos) << "a second warning: " << *more;
  }
  ExpectPromptStop();
}

// A port number outside 0..65535 fails to open with the failed-open line, and nothing
// listens on its low 16 bits.
TEST_F(SickParty, APortOutsideTheTcpRangeFailsToOpen) {
  const int low = test::FreePort(), server_port = test::FreePort();
  Start(Channel(low + 65536, server_port));
  EXPECT_FALSE(Client().Connect(low));
  Stop();
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceStartText,
                                                         kSocketOpenFailedText + std::to_string(low + 65536),
                                                         kServiceExecuteText}));
}

}  // namespace
