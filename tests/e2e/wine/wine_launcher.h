#pragma once
// The Windows way of starting the service, under Wine: the Windows executable, installed once
// per test program (-install -silent) into the service manager of the run's Wine prefix
// (scripts/wine-prefix.sh), started with "net start" and stopped with "net stop" for each case,
// and removed at the end (-uninstall). Its status reports and event-log entries are read from
// Wine's traces, which the prefix's services write to the run's services.log. The prefix
// boots once and is shared by the whole run: cases run one at a time.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/launcher.h"
#include "tests/service/service_test_support.h"

namespace e2e {

// What the Wine cases share: the prefix, the installed executable, Wine's commands.
class WineRun {
 public:
  static WineRun& Get();

  const std::filesystem::path& bin() const { return bin_; }
  std::string exe() const { return (bin_ / "tcp_port_serv.exe").string(); }
  const std::filesystem::path& services_log() const { return services_log_; }
  // A Linux path as Wine's programs see it (the Z: drive is the root).
  static std::string WindowsPath(const std::filesystem::path& path);

  // Runs a Windows program ("net", "sc", a path) under Wine to its end.
  HandRun Run(const std::vector<std::string>& command, const std::string& debug = "-all");
  // Starts one without waiting; its output goes to files of a fresh scratch directory.
  std::unique_ptr<test::ChildProcess> Spawn(const std::vector<std::string>& command, const std::string& debug = "-all");
  // The process id of a running process of the installed executable, 0 when none runs.
  int ExecutableProcess() const;

 private:
  WineRun();
  std::map<std::string, std::string> Environment(const std::string& debug) const;

  test::TempDir dir_;
  std::filesystem::path bin_;
  std::filesystem::path services_log_;
  int scratch_count_ = 0;
};

// Wine's traces of the services: status reports and event-log entries, read from an offset.
class ServiceTraces {
 public:
  explicit ServiceTraces(std::filesystem::path log);
  // Forgets what came before: later reads see only what is written from now on.
  void Mark();
  // Reads what was written since the last read.
  void Take();
  const std::vector<StatusReport>& reports() const { return reports_; }
  const std::vector<EventEntry>& entries() const { return entries_; }

 private:
  std::filesystem::path log_;
  std::uintmax_t offset_ = 0;
  std::string status_handle_;  // the service's status handle as the traces print it
  std::string registering_thread_;
  std::vector<StatusReport> reports_;
  std::vector<EventEntry> entries_;
};

// Event-log entries in Wine's traces (the lines of ReportEventW), from any text.
std::vector<EventEntry> EventEntriesIn(const std::string& traces);
// A text without Wine's own diagnostic lines.
std::string WithoutWineDiagnostics(const std::string& text);

class WineLauncher : public Launcher {
 public:
  WineLauncher();
  ~WineLauncher() override;

  std::filesystem::path ProgramDirectory() const override { return WineRun::Get().bin(); }
  std::string ServicePath(const std::string& name) const override;
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

 private:
  bool running_ = false;
  ServiceTraces traces_;
};

}  // namespace e2e
