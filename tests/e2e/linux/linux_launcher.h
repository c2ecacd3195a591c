#pragma once
// The Linux way of starting the service: the executable copied into a temporary directory and
// started as a notify service, the test playing systemd (the notify socket it binds, signals
// as control codes) and syslog (a datagram socket it binds).

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/launcher.h"
#include "tests/service/service_test_support.h"

namespace e2e {

class LinuxLauncher : public Launcher {
 public:
  LinuxLauncher();
  ~LinuxLauncher() override;

  std::filesystem::path ProgramDirectory() const override { return dir_.path() / "bin"; }
  std::string ServicePath(const std::string& name) const override { return (ProgramDirectory() / name).string(); }
  std::size_t StampLength(const std::string& line) const override;
  bool Start() override;
  bool Stop() override;
  bool WaitForEnd() override;
  std::uint32_t EndCode() override;
  std::vector<StatusReport> StatusReports(std::uint32_t until, std::size_t at_least = 0) override;
  std::vector<EventEntry> EventEntries(std::size_t count, std::chrono::milliseconds timeout) override;
  HandRun RunByHand(const std::vector<std::string>& arguments) override;
  std::unique_ptr<FileHold> HoldForWriting(const std::string& name) override;
  std::string FileHeldText() const override;
  std::string NoManagerText() const override;
  std::string PortInUseText() const override;
  std::string NoSuchDeviceText(const std::string& name) const override;
  std::string SerialPortNaming(const std::string& name) const override;

  // What only the Linux cases look at: the service's process and its raw syslog datagrams.
  test::ChildProcess& child() { return *child_; }
  test::DatagramListener& syslog() { return log_; }

 private:
  std::map<std::string, std::string> ServiceEnvironment() const;
  // Reads the notify socket all the time, as systemd does: a service whose reports nobody
  // reads is held up by the full socket.
  void ReadReports();
  void TakeEntries(std::chrono::milliseconds timeout);

  test::TempDir dir_;
  std::string exe_;
  test::DatagramListener notify_{dir_.file("notify")};
  test::DatagramListener log_{dir_.file("log")};
  std::unique_ptr<test::ChildProcess> child_;
  std::mutex reports_lock_;
  std::condition_variable reports_changed_;
  std::vector<StatusReport> reports_;  // guarded by reports_lock_
  std::atomic<bool> ending_{false};
  std::thread report_reader_;
  std::vector<EventEntry> entries_;
};

}  // namespace e2e
