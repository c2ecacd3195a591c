#pragma once
// The real executable relaying in its own directory, started and stopped the way the linked
// launcher does it (launcher.h), and the helpers of the end-to-end cases. The test program
// itself always runs on Linux: its clients, port holders and reads of /proc are Linux's, also
// when the relay is the Windows executable under Wine.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/e2e/launcher.h"
#include "tests/support/linux/socket_queue.h"
#include "tests/support/stream_sync.h"
#include "tests/support/test_support.h"

namespace e2e {

class RelayProcess : public ::testing::Test {
 protected:
  void SetUp() override { launcher_ = MakeLauncher(); }
  void TearDown() override { launcher_.reset(); }  // stops a service that is still running

  // Writes the channel file, starts the service and waits until it reports running.
  void Start(const std::string& channel_file) {
    WriteChannelFile(channel_file);
    ASSERT_TRUE(launcher_->Start()) << "the service did not report running";
  }
  void WriteChannelFile(const std::string& bytes) {
    std::ofstream(bin_file("cnf_port.cfg"), std::ios::binary) << bytes;
  }

  // The manager's stop, then the stopped report and the process's end.
  void Stop() { EXPECT_TRUE(launcher_->Stop()) << "the service did not stop cleanly"; }

  std::string bin_file(const std::string& name) const { return (launcher_->ProgramDirectory() / name).string(); }

  // The texts of log_service.txt, each without its time stamp. Every line must be a stamp, a
  // blank, the text and CR LF, with nothing else in the file.
  std::vector<std::string> ServiceLogTexts() const {
    std::vector<std::string> texts;
    const std::string log = test::ReadFile(bin_file("log_service.txt"));
    for (std::size_t at = 0; at < log.size();) {
      const std::size_t end = log.find("\r\n", at);
      const std::string line = log.substr(at, end == std::string::npos ? std::string::npos : end - at);
      const std::size_t stamp = launcher_->StampLength(line);
      if (end == std::string::npos || stamp == 0 || stamp >= line.size() || line[stamp] != ' ' ||
          line.find_first_of("\r\n") != std::string::npos) {
        ADD_FAILURE() << "log_service.txt holds a line that is not a stamp, a text and CR LF at byte " << at << ": "
                      << testing::PrintToString(line.substr(0, 80));
        break;
      }
      texts.push_back(line.substr(stamp + 1));
      at = end + 2;
    }
    return texts;
  }

  std::unique_ptr<Launcher> launcher_;
};

inline bool Sync(const std::function<bool(const std::string&)>& send, const std::vector<test::Client*>& to) {
  return test::SyncStreams(send, to, test::kDeadline);
}

inline bool Sync(test::Client& from, const std::vector<test::Client*>& to) {
  return Sync([&](const std::string& bytes) { return from.SendAll(bytes); }, to);
}


// Listens on a port of all local addresses (one the system picks by default), so that the relay
// cannot bind it, until it is released.
class PortHolder {
 public:
  explicit PortHolder(int port = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd_, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~PortHolder() { Release(); }
  int port() const { return port_; }
  void Release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

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
