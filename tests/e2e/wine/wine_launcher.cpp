#include "tests/e2e/wine/wine_launcher.h"

#include <signal.h>

#include <cctype>
#include <cstdlib>
#include <optional>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

namespace e2e {
namespace {

constexpr char kServiceName[] = "Rodivo_vedodaraz";

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void AppendUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// A string as Wine's traces print it, L"..." with \n, \r, \t, \", \\ and \XXXX (a UTF-16 unit
// in hexadecimal) for every other character outside printable ASCII; in UTF-8.
std::string DecodeTraceString(const std::string& quoted) {
  std::string out;
  const std::size_t end = quoted.rfind('"');
  for (std::size_t i = 2; i < end; ++i) {
    if (quoted[i] != '\\') {
      out += quoted[i];
      continue;
    }
    const char c = quoted[++i];
    if (c == 'n') {
      out += '\n';
    } else if (c == 'r') {
      out += '\r';
    } else if (c == 't') {
      out += '\t';
    } else if (c == '"' || c == '\\') {
      out += c;
    } else {
      AppendUtf8(out, static_cast<std::uint32_t>(std::stoul(quoted.substr(i, 4), nullptr, 16)));
      i += 3;
    }
  }
  return out;
}

const std::regex kEntryLine(R"(^[0-9a-f]{4}:(trace|err|warn):eventlog:ReportEventW (L".*")$)");

std::optional<EventEntry> ParseEntryLine(const std::string& line) {
  std::smatch m;
  if (!std::regex_match(line, m, kEntryLine)) return std::nullopt;
  EventEntry entry;
  entry.type = m[1] == "err" ? 1 : m[1] == "warn" ? 2 : 4;
  entry.text = DecodeTraceString(m[2]);
  return entry;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// The command line of every process, by process id.
std::vector<std::pair<int, std::string>> ProcessCommandLines() {
  std::vector<std::pair<int, std::string>> lines;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    // A process may end between the listing and the read: it then has no command line.
    std::ifstream in(entry.path() / "cmdline", std::ios::binary);
    std::string command_line;
    char piece[4096];
    while (in.read(piece, sizeof piece) || in.gcount() > 0) command_line.append(piece, static_cast<std::size_t>(in.gcount()));
    if (!in.bad()) lines.emplace_back(std::stoi(name), std::move(command_line));
  }
  return lines;
}

class WineHold : public FileHold {
 public:
  explicit WineHold(std::unique_ptr<test::ChildProcess> holder) : holder_(std::move(holder)) {
    held_ = test::WaitUntil([&] { return holder_->Stdout().find("held") != std::string::npos; });
  }
  ~WineHold() override { holder_->Signal(SIGKILL); }  // ending it closes its handle
  bool holding() const override { return held_; }

 private:
  std::unique_ptr<test::ChildProcess> holder_;
  bool held_ = false;
};

// Installs the service before the first case and removes it after the last, checking both.
class InstalledService : public ::testing::Environment {
 public:
  void SetUp() override {
    WineRun& run = WineRun::Get();
    HandRun install = run.Run({run.exe(), "-install", "-silent"});
    ASSERT_TRUE(install.ended);
    EXPECT_EQ(install.exit_code, 0);
    EXPECT_EQ(WithoutWineDiagnostics(install.out), "");
    EXPECT_EQ(WithoutWineDiagnostics(install.err), "");
  }
  void TearDown() override {
    WineRun& run = WineRun::Get();
    HandRun uninstall = run.Run({run.exe(), "-uninstall"});
    ASSERT_TRUE(uninstall.ended);
    EXPECT_EQ(uninstall.exit_code, 0);
    EXPECT_EQ(WithoutWineDiagnostics(uninstall.out), "Information: Service uninstalled successfully\r\n");
    EXPECT_EQ(WithoutWineDiagnostics(uninstall.err), "");
    HandRun query = run.Run({"sc", "query", kServiceName});
    EXPECT_EQ(query.out.find("RUNNING"), std::string::npos) << query.out;
    EXPECT_NE(query.exit_code, 0) << "the service is still registered: " << query.out;
  }
};

::testing::Environment* const installed_service = ::testing::AddGlobalTestEnvironment(new InstalledService);

}  // namespace

std::vector<EventEntry> EventEntriesIn(const std::string& traces) {
  std::vector<EventEntry> entries;
  for (const std::string& line : Lines(traces)) {
    if (auto entry = ParseEntryLine(line)) entries.push_back(*entry);
  }
  return entries;
}

std::string WithoutWineDiagnostics(const std::string& text) {
  static const std::regex diagnostic(R"(^[0-9a-f]{4}:(fixme|err|warn|trace):.*)");
  std::string kept;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(start, end - start);
    if (!std::regex_match(line.substr(0, line.find_first_of("\r\n")), diagnostic)) kept += line;
    start = end;
  }
  return kept;
}

// ---- WineRun ----

WineRun& WineRun::Get() {
  static WineRun* run = new WineRun;  // lives as long as the program: the last case may end late
  return *run;
}

WineRun::WineRun() {
  const char* wine_dir = std::getenv("KORVENET_WINE_DIR");
  services_log_ = std::filesystem::path(wine_dir ? wine_dir : "") / "services.log";
  bin_ = dir_.path() / "Korvenet relay";  // a blank in the path, as under "Program Files"
  std::filesystem::create_directories(bin_);
  std::filesystem::copy_file(KORVENET_WINDOWS_EXE, exe());
}

std::string WineRun::WindowsPath(const std::filesystem::path& path) {
  std::string text = "Z:" + path.string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

std::map<std::string, std::string> WineRun::Environment(const std::string& debug) const {
  return {{"WINEDEBUG", debug}};
}

std::unique_ptr<test::ChildProcess> WineRun::Spawn(const std::vector<std::string>& command, const std::string& debug) {
  const auto scratch = dir_.path() / ("run" + std::to_string(++scratch_count_));
  std::filesystem::create_directories(scratch);
  return std::make_unique<test::ChildProcess>("wine", command, Environment(debug), scratch.string());
}

HandRun WineRun::Run(const std::vector<std::string>& command, const std::string& debug) {
  auto child = Spawn(command, debug);
  HandRun run;
  run.ended = child->Wait(std::chrono::seconds(90));
  run.exit_code = child->ExitedNormally() ? child->ExitCode() : -1;
  run.out = child->Stdout();
  run.err = child->Stderr();
  return run;
}

int WineRun::ExecutableProcess() const {
  const std::string windows_exe = Lower(WindowsPath(exe()));
  for (const auto& [pid, cmdline] : ProcessCommandLines()) {
    const std::string lower = Lower(cmdline);
    if (lower.find(windows_exe) != std::string::npos || lower.find(Lower(exe())) != std::string::npos) return pid;
  }
  return 0;
}

// ---- ServiceTraces ----

ServiceTraces::ServiceTraces(std::filesystem::path log) : log_(std::move(log)) {}

void ServiceTraces::Mark() {
  Take();
  reports_.clear();
  entries_.clear();
}

void ServiceTraces::Take() {
  static const std::regex registration(
      R"(^([0-9a-f]{4}):trace:service:RegisterServiceCtrlHandlerExW L"Rodivo_vedodaraz".*$)");
  static const std::regex status(
      R"(^([0-9a-f]{4}):trace:service:SetServiceStatus (\S+) (\S+) (\S+) (\S+) (\S+) (\S+) (\S+) (\S+)$)");
  std::ifstream in(log_, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset_));
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t complete = text.rfind('\n');
  if (complete == std::string::npos) return;
  text.resize(complete + 1);
  offset_ += text.size();
  auto number = [](const std::string& field) { return static_cast<std::uint32_t>(std::stoul(field, nullptr, 0)); };
  for (const std::string& line : Lines(text)) {
    std::smatch m;
    if (std::regex_match(line, m, registration)) {
      registering_thread_ = m[1];
      status_handle_.clear();
    } else if (std::regex_match(line, m, status)) {
      // The service's first report comes from the thread that registered its handler; its
      // handle marks the later ones, from whichever thread.
      if (status_handle_.empty() && m[1] == registering_thread_ && number(m[3]) == 0x10) status_handle_ = m[2];
      if (m[2] != status_handle_) continue;
      StatusReport report;
      report.state = number(m[4]);
      report.controls_accepted = number(m[5]);
      report.check_point = number(m[8]);
      report.wait_hint = number(m[9]);
      report.exit_code = number(m[6]);
      report.service_exit_code = number(m[7]);
      reports_.push_back(report);
    } else if (auto entry = ParseEntryLine(line)) {
      entries_.push_back(*entry);
    }
  }
}

// ---- WineLauncher ----

std::unique_ptr<Launcher> MakeLauncher() { return std::make_unique<WineLauncher>(); }

WineLauncher::WineLauncher() : traces_(WineRun::Get().services_log()) {
  WineRun& run = WineRun::Get();
  if (run.ExecutableProcess() != 0) {
    run.Run({"net", "stop", kServiceName});
    test::WaitUntil([&] { return run.ExecutableProcess() == 0; });
  }
  for (const char* name : {"cnf_port.cfg", "cnf_options.cfg", "log_service.txt", "error_s.log"}) {
    std::error_code ignored;
    std::filesystem::remove(run.bin() / name, ignored);
  }
}

WineLauncher::~WineLauncher() {
  if (running_) Stop();
}

std::string WineLauncher::ServicePath(const std::string& name) const {
  return WineRun::WindowsPath(ProgramDirectory() / name);
}

// The stamp of the locale that Wine makes of LC_ALL=C, English (United States): "M/d/yyyy"
// and, unless it is midnight, " h:mm:ss AM" or PM.
std::size_t WineLauncher::StampLength(const std::string& line) const {
  return e2e::StampLength(line, "#/#/9999", "#:99:99 AM");
}

bool WineLauncher::Start() {
  traces_.Mark();
  running_ = true;
  HandRun start = WineRun::Get().Run({"net", "start", kServiceName});
  EXPECT_EQ(start.exit_code, 0) << start.out << start.err;
  // "net start" returns before the service reports running.
  auto reports = StatusReports(4);
  return !reports.empty() && reports.back().state == 4;
}

bool WineLauncher::Stop() {
  HandRun stop = WineRun::Get().Run({"net", "stop", kServiceName});
  EXPECT_EQ(stop.exit_code, 0) << stop.out << stop.err;
  return WaitForEnd() && EndCode() == 0;
}

bool WineLauncher::WaitForEnd() {
  auto reports = StatusReports(1);
  const bool stopped = !reports.empty() && reports.back().state == 1;
  const bool ended = test::WaitUntil([] { return WineRun::Get().ExecutableProcess() == 0; });
  running_ = !ended;
  return stopped && ended;
}

// ERROR_SERVICE_SPECIFIC_ERROR (1066) hands over the service's own code.
std::uint32_t WineLauncher::EndCode() {
  const auto& reports = traces_.reports();
  if (reports.empty()) return 0;
  return reports.back().exit_code == 1066 ? reports.back().service_exit_code : reports.back().exit_code;
}

std::vector<StatusReport> WineLauncher::StatusReports(std::uint32_t until, std::size_t at_least) {
  test::WaitUntil([&] {
    traces_.Take();
    const auto& reports = traces_.reports();
    return !reports.empty() &&
           (reports.back().state == 1 || (reports.back().state == until && reports.size() >= at_least));
  });
  return traces_.reports();
}

std::vector<EventEntry> WineLauncher::EventEntries(std::size_t count, std::chrono::milliseconds timeout) {
  test::WaitUntil(
      [&] {
        traces_.Take();
        return traces_.entries().size() >= count;
      },
      timeout);
  return traces_.entries();
}

HandRun WineLauncher::RunByHand(const std::vector<std::string>& arguments) {
  WineRun& run = WineRun::Get();
  std::vector<std::string> command{run.exe()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  HandRun result = run.Run(command, "+eventlog");
  result.entries = EventEntriesIn(result.err);
  result.err = WithoutWineDiagnostics(result.err);
  return result;
}

std::unique_ptr<FileHold> WineLauncher::HoldForWriting(const std::string& name) {
  return std::make_unique<WineHold>(
      WineRun::Get().Spawn({KORVENET_HOLD_FILE_EXE, WineRun::WindowsPath(ProgramDirectory() / name)}));
}

// Wine's texts for error codes 32 and 1063, as the service cuts them.
std::string WineLauncher::FileHeldText() const { return "Sharing violation"; }

std::string WineLauncher::NoManagerText() const { return "Service controller connect failed"; }

// Wine has no text for the socket error codes (Windows has), so the service writes the number.
std::string WineLauncher::PortInUseText() const { return "error 10048"; }

// Wine's texts for error codes 3 (a name with a folder) and 2.
std::string WineLauncher::NoSuchDeviceText(const std::string& name) const {
  return name.find_first_of("/\\") != std::string::npos ? "Path not found" : "File not found";
}

// Every name stands for a device of the "\\.\" name space.
std::string WineLauncher::SerialPortNaming(const std::string& name) const {
  return "\"" + name + "\" (\\\\.\\" + name + ")";
}

}  // namespace e2e
