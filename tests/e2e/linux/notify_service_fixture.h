#pragma once
// The Linux executable as a notify service, driven directly: for the Linux-only cases that
// need its process, its raw notify and syslog datagrams, or a way of starting it of their own
// (limits, standard error on a pipe). The test plays systemd (a notify socket it binds,
// signals it sends) and syslog (a datagram socket it binds). Test thread only.

#include <signal.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/launcher.h"
#include "tests/e2e/relay_fixture.h"
#include "tests/service/service_test_support.h"

namespace e2e {

// The descriptors a process holds open now.
inline long OpenDescriptors(int pid) {
  std::error_code ignored;
  auto entries = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ignored);
  return std::distance(entries, std::filesystem::directory_iterator());
}

class NotifyServiceProcess : public ::testing::Test {
 protected:
  // Writes the channel file, starts the service and waits until it reports running.
  void Start(const std::string& channel_file) {
    Launch(channel_file);
    ASSERT_TRUE(WaitForState("4")) << "the service did not report running";
  }

  // Writes the channel file and starts the service.
  void Launch(const std::string& channel_file) {
    exe_ = test::CopyExecutable(dir_.path() / bin_);
    std::ofstream(bin_file("cnf_port.cfg"), std::ios::binary) << channel_file;
    child_ = std::make_unique<test::ChildProcess>(exe_, std::vector<std::string>{}, Environment());
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

  // Connects `count` clients to `port` a few at a time, each time waiting until the relay holds
  // them: a listener's backlog is 5, and a client that finds it full is connected only by its
  // retry a second later.
  ::testing::AssertionResult ConnectPaced(int port, int count, std::vector<test::Client>& into) {
    const long before = OpenDescriptors(child_->pid());
    for (int i = 1; i <= count; ++i) {
      into.emplace_back(port);
      if (!into.back().connected()) return ::testing::AssertionFailure() << "client " << i << " did not connect";
      if (i % 4 != 0 && i != count) continue;
      if (!test::WaitUntil([&] { return OpenDescriptors(child_->pid()) >= before + i; })) {
        return ::testing::AssertionFailure() << "the relay did not accept client " << i;
      }
    }
    return ::testing::AssertionSuccess();
  }

  std::map<std::string, std::string> Environment() const {
    return {{"NOTIFY_SOCKET", notify_.path()}, {"KORVENET_EVENTLOG", log_.path()}, {"LC_ALL", "C"}};
  }

  std::string bin_file(const std::string& name) const { return (dir_.path() / bin_ / name).string(); }

  // The texts of log_service.txt, each without its stamp of the C locale ("mm/dd/yy" and,
  // unless it is midnight, " hh:mm:ss").
  std::vector<std::string> ServiceLogTexts() const {
    std::vector<std::string> texts;
    const std::string log = test::ReadFile(bin_file("log_service.txt"));
    std::size_t start = 0;
    for (std::size_t end; (end = log.find("\r\n", start)) != std::string::npos; start = end + 2) {
      const std::string line = log.substr(start, end - start);
      const std::size_t stamp = e2e::StampLength(line, "99/99/99", "99:99:99");
      texts.push_back(line.substr(std::min(stamp + 1, line.size())));
    }
    return texts;
  }

  test::TempDir dir_;
  std::string bin_ = "bin";  // the executable's directory in dir_
  std::string exe_;
  test::DatagramListener notify_{dir_.file("notify")};
  test::DatagramListener log_{dir_.file("log")};
  std::unique_ptr<test::ChildProcess> child_;
};

}  // namespace e2e
