#pragma once
// The real executable relaying in a temporary directory, with the test playing systemd (a
// notify socket it binds, signals it sends) and syslog (a datagram socket it binds).

#include <signal.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/service/service_test_support.h"
#include "tests/support/test_support.h"

namespace e2e {

class RelayProcess : public ::testing::Test {
 protected:
  // Writes the channel file, starts the service and waits until it reports running.
  void Start(const std::string& channel_file) {
    exe_ = test::CopyExecutable(dir_.path() / "bin");
    std::ofstream(bin_file("cnf_port.cfg"), std::ios::binary) << channel_file;
    child_ = std::make_unique<test::ChildProcess>(
        exe_, std::vector<std::string>{},
        std::map<std::string, std::string>{{"NOTIFY_SOCKET", notify_.path()}, {"KORVENET_EVENTLOG", log_.path()}});
    ASSERT_TRUE(WaitForState("4")) << "the service did not report running";
  }

  // SIGTERM, then the stopped report and a clean exit. The reports queued so far are read
  // first: the notify socket holds only a few, and the service drops a report that finds it full.
  void Stop() {
    while (notify_.Receive(std::chrono::milliseconds(0))) {
    }
    child_->Signal(SIGTERM);
    EXPECT_TRUE(WaitForState("1")) << "the service did not report stopped";
    ASSERT_TRUE(child_->Wait());
    EXPECT_TRUE(child_->ExitedNormally());
    EXPECT_EQ(child_->ExitCode(), 0);
  }

  bool WaitForState(const std::string& state) {
    while (auto datagram = notify_.Receive()) {
      if (test::ParseNotify(*datagram)["X_STATE"] == state) return true;
    }
    return false;
  }

  std::string bin_file(const std::string& name) const { return (dir_.path() / "bin" / name).string(); }

  // The texts of log_service.txt, each without its time stamp.
  std::vector<std::string> ServiceLogTexts() const {
    std::vector<std::string> texts;
    std::string log = test::ReadFile(bin_file("log_service.txt"));
    std::size_t start = 0;
    for (std::size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
      std::string line = log.substr(start, end - start);
      // The stamp of the C locale: "mm/dd/yy" and, unless it is midnight, " hh:mm:ss".
      std::size_t cut = line.size() > 9 && line[8] == ' ' && line[11] == ':' ? 18 : 9;
      texts.push_back(line.substr(std::min(cut, line.size())));
    }
    return texts;
  }

  test::TempDir dir_;
  std::string exe_;
  test::DatagramListener notify_{dir_.file("notify")};
  test::DatagramListener log_{dir_.file("log")};
  std::unique_ptr<test::ChildProcess> child_;
};

// Sends probes with `send` until each of `to` has received one, then a marker, and reads each
// of `to` up to the marker. Afterwards every connection of `to` has been accepted by the relay
// and their streams are empty. False when anything but probes came before the marker.
inline bool Sync(const std::function<bool(const std::string&)>& send, const std::vector<test::Client*>& to) {
  std::vector<std::string> seen(to.size());
  auto all_reached = [&] {
    for (const auto& s : seen)
      if (s.empty()) return false;
    return true;
  };
  auto end = test::Clock::now() + test::kDeadline;
  while (!all_reached() && test::Clock::now() < end) {
    if (!send("P")) return false;
    for (std::size_t i = 0; i < to.size(); ++i) {
      if (seen[i].empty()) seen[i] += to[i]->Receive(1, std::chrono::milliseconds(20));
    }
  }
  if (!all_reached() || !send("#")) return false;
  for (std::size_t i = 0; i < to.size(); ++i) {
    while (seen[i].find('#') == std::string::npos) {
      std::string got = to[i]->Receive(1);
      if (got.empty()) return false;
      seen[i] += got;
    }
    if (seen[i].find_first_not_of('P') != seen[i].size() - 1) return false;
  }
  return true;
}

inline bool Sync(test::Client& from, const std::vector<test::Client*>& to) {
  return Sync([&](const std::string& bytes) { return from.SendAll(bytes); }, to);
}

// Unread bytes in the relay's own socket of the connection that a client made from
// `client_port` to `relay_port` (-1 when no such connection exists).
inline int RelayUnread(int relay_port, int client_port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    auto port_of = [](const std::string& address) { return std::stoi(address.substr(address.find(':') + 1), nullptr, 16); };
    if (port_of(local) == relay_port && port_of(remote) == client_port) {
      return std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
  }
  return -1;
}

inline int LocalPortOf(const test::Client& client) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(client.fd(), reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// Listens on a port of all local addresses, so that the relay cannot bind it.
class PortHolder {
 public:
  PortHolder() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~PortHolder() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

inline std::string Pattern(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(((i + seed) * 2654435761u) >> 13);
  return bytes;
}

}  // namespace e2e
