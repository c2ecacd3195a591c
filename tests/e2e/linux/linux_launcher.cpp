#include "tests/e2e/linux/linux_launcher.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>

#include "base/exception.h"

namespace e2e {
namespace {

// "<PRI>Mmm dd hh:mm:ss source[pid]: text" as syslog() sends it; PRI is 3 * 8 + severity.
std::optional<EventEntry> ParseSyslog(const std::string& datagram) {
  const std::size_t close = datagram.find('>');
  if (datagram.empty() || datagram[0] != '<' || close == std::string::npos) return std::nullopt;
  const int severity = std::stoi(datagram.substr(1, close - 1)) % 8;
  const std::string rest = datagram.substr(close + 1 + 16);
  const std::size_t bracket = rest.find('[');
  const std::size_t colon = rest.find("]: ");
  if (bracket == std::string::npos || colon == std::string::npos) return std::nullopt;
  EventEntry entry;
  entry.type = severity == 3 ? 1 : severity == 4 ? 2 : severity == 6 ? 4 : 0;
  entry.source = rest.substr(0, bracket);
  entry.text = rest.substr(colon + 3);
  return entry;
}

class FlockHold : public FileHold {
 public:
  explicit FlockHold(const std::string& path) : held_(path) {}
  bool holding() const override { return held_.locked(); }

 private:
  test::HeldByWriter held_;
};

}  // namespace

std::unique_ptr<Launcher> MakeLauncher() { return std::make_unique<LinuxLauncher>(); }

LinuxLauncher::LinuxLauncher() {
  exe_ = test::CopyExecutable(ProgramDirectory());
  report_reader_ = std::thread([this] { ReadReports(); });
}

LinuxLauncher::~LinuxLauncher() {
  if (child_) child_->Signal(SIGKILL);
  ending_ = true;
  report_reader_.join();
}

// The stamp of the C locale: "mm/dd/yy" and, unless it is midnight, " hh:mm:ss".
std::size_t LinuxLauncher::StampLength(const std::string& line) const {
  return e2e::StampLength(line, "99/99/99", "99:99:99");
}

std::map<std::string, std::string> LinuxLauncher::ServiceEnvironment() const {
  return {{"NOTIFY_SOCKET", notify_.path()}, {"KORVENET_EVENTLOG", log_.path()}, {"LC_ALL", "C"}};
}

bool LinuxLauncher::Start() {
  {
    std::lock_guard<std::mutex> hold(reports_lock_);
    reports_.clear();
  }
  entries_.clear();
  child_ = std::make_unique<test::ChildProcess>(exe_, std::vector<std::string>{}, ServiceEnvironment());
  auto reports = StatusReports(4);
  return !reports.empty() && reports.back().state == 4;
}

bool LinuxLauncher::Stop() {
  if (!child_) return false;
  child_->Signal(SIGTERM);
  auto reports = StatusReports(1);
  const bool stopped = !reports.empty() && reports.back().state == 1;
  return WaitForEnd() && stopped && EndCode() == 0;
}

bool LinuxLauncher::WaitForEnd() { return child_ && child_->Wait() && child_->ExitedNormally(); }

std::uint32_t LinuxLauncher::EndCode() { return static_cast<std::uint32_t>(child_->ExitCode()); }

void LinuxLauncher::ReadReports() {
  while (!ending_) {
    auto datagram = notify_.Receive(std::chrono::milliseconds(50));
    if (!datagram) continue;
    auto fields = test::ParseNotify(*datagram);
    StatusReport report;
    report.state = static_cast<std::uint32_t>(std::stoul(fields["X_STATE"]));
    report.check_point = static_cast<std::uint32_t>(std::stoul(fields["X_CHECKPOINT"]));
    report.controls_accepted = static_cast<std::uint32_t>(std::stoul(fields["X_CONTROLS_ACCEPTED"]));
    report.wait_hint = static_cast<std::uint32_t>(std::stoul(fields["X_WAIT_HINT"]));
    std::lock_guard<std::mutex> hold(reports_lock_);
    reports_.push_back(report);
    reports_changed_.notify_all();
  }
}

std::vector<StatusReport> LinuxLauncher::StatusReports(std::uint32_t until, std::size_t at_least) {
  std::unique_lock<std::mutex> hold(reports_lock_);
  reports_changed_.wait_for(hold, test::kDeadline, [&] {
    return !reports_.empty() && (reports_.back().state == 1 || (reports_.back().state == until && reports_.size() >= at_least));
  });
  return reports_;
}

void LinuxLauncher::TakeEntries(std::chrono::milliseconds timeout) {
  if (auto datagram = log_.Receive(timeout)) {
    if (auto entry = ParseSyslog(*datagram)) entries_.push_back(*entry);
  }
}

std::vector<EventEntry> LinuxLauncher::EventEntries(std::size_t count, std::chrono::milliseconds timeout) {
  const auto end = test::Clock::now() + timeout;
  do {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - test::Clock::now());
    TakeEntries(std::max(left, std::chrono::milliseconds(0)));
  } while (entries_.size() < count && test::Clock::now() < end);
  while (log_.Receive(std::chrono::milliseconds(0)).has_value()) {
    // More than asked for: taken too, so that a case sees every entry.
  }
  return entries_;
}

HandRun LinuxLauncher::RunByHand(const std::vector<std::string>& arguments) {
  entries_.clear();
  test::ChildProcess child(exe_, arguments, {{"NOTIFY_SOCKET", ""}, {"KORVENET_EVENTLOG", log_.path()}});
  HandRun run;
  run.ended = child.Wait();
  run.exit_code = child.ExitedNormally() ? child.ExitCode() : -1;
  run.out = child.Stdout();
  run.err = child.Stderr();
  while (auto datagram = log_.Receive(std::chrono::milliseconds(0))) {
    if (auto entry = ParseSyslog(*datagram)) run.entries.push_back(*entry);
  }
  return run;
}

std::unique_ptr<FileHold> LinuxLauncher::HoldForWriting(const std::string& name) {
  return std::make_unique<FlockHold>((ProgramDirectory() / name).string());
}

std::string LinuxLauncher::FileHeldText() const { return SystemErrorText(EWOULDBLOCK); }

std::string LinuxLauncher::NoManagerText() const {
  return "The service process could not connect to the service controller";
}

std::string LinuxLauncher::PortInUseText() const { return SystemErrorText(EADDRINUSE); }

std::string LinuxLauncher::NoSuchDeviceText(const std::string&) const { return SystemErrorText(ENOENT); }

// A name that is no path stands for a device of /dev (COM1 .. for ttyS0 .., not tried here).
std::string LinuxLauncher::SerialPortNaming(const std::string& name) const {
  const std::string quoted = "\"" + name + "\"";
  return name.rfind('/', 0) == 0 ? quoted : quoted + " (/dev/" + name + ")";
}

}  // namespace e2e
