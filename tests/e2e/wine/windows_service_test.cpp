// What only the Windows executable has: its registration with the service manager, the boxes
// of a second install written as text on a desktop nobody sees, and the foreground run stopped
// with Ctrl+C. The installation itself and its removal are checked before the first and after
// the last case (wine_launcher.cpp).

#include <signal.h>

#include <map>

#include "relay/log_texts.h"
#include "tests/e2e/relay_fixture.h"
#include "tests/e2e/wine/wine_launcher.h"

namespace {

using e2e::WineRun;

// The values of the service's registry key: name to value as "reg query" prints them.
std::map<std::string, std::string> ServiceKey() {
  const e2e::HandRun query =
      WineRun::Get().Run({"reg", "query", "HKLM\\System\\CurrentControlSet\\Services\\Rodivo_vedodaraz"});
  std::map<std::string, std::string> values;
  std::istringstream lines(query.out);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const std::size_t type = line.find("    REG_");
    if (line.rfind("    ", 0) != 0 || type == std::string::npos) continue;
    const std::size_t value = line.find("    ", type + 4);
    values[line.substr(4, type - 4)] = value == std::string::npos ? "" : line.substr(value + 4);
  }
  return values;
}

// The executable's path in double quotes, as the service's command line.
std::string QuotedExecutablePath() {
  std::string quoted = "\"";
  quoted += WineRun::WindowsPath(WineRun::Get().exe());
  quoted += '"';
  return quoted;
}

class WindowsService : public e2e::RelayProcess {};

TEST_F(WindowsService, InstallRegistersTheQuotedPathForAnAutomaticStart) {
  auto values = ServiceKey();
  EXPECT_EQ(values["ImagePath"], QuotedExecutablePath());
  EXPECT_EQ(values["DisplayName"], "Korvenet");
  EXPECT_EQ(values["Type"], "0x10");
  EXPECT_EQ(values["Start"], "0x2");
  EXPECT_EQ(values["ErrorControl"], "0x1");
  EXPECT_EQ(values["ObjectName"], "LocalSystem");
}

TEST_F(WindowsService, SecondInstallWritesItsErrorBoxAndFails) {
  const e2e::HandRun again = launcher_->RunByHand({"-Install"});
  ASSERT_TRUE(again.ended) << "a box waited for a click nobody can give";
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_EQ(again.out, "");
  EXPECT_EQ(again.err,
            "Error: Service \"Korvenet\" failed to install with error: \"System Error.  Code: 1073.\r\n"
            "Service exists\"\r\n");
  EXPECT_EQ(ServiceKey()["ImagePath"], QuotedExecutablePath());
}

TEST_F(WindowsService, ForegroundRunRelaysAndStopsOnCtrlC) {
  const int device_port = test::FreePort(), server_port = test::FreePort();
  WriteChannelFile(std::to_string(device_port) + ";0;2;" + std::to_string(server_port) + ";console\r\n");
  WineRun& run = WineRun::Get();
  auto child = run.Spawn({run.exe(), "-console"});
  test::Client server, device;
  ASSERT_TRUE(test::WaitUntil([&] { return server.Connect(server_port) && device.Connect(device_port); },
                              std::chrono::seconds(60)));
  ASSERT_TRUE(e2e::Sync(device, {&server}));
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes += static_cast<char>(i);
  ASSERT_TRUE(device.SendAll(all_bytes));
  EXPECT_EQ(server.Receive(256), all_bytes);
  ASSERT_TRUE(server.SendAll("reply"));
  EXPECT_EQ(device.Receive(5), "reply");

  // Wine hands SIGINT to a console program as a Ctrl+C event.
  const int pid = run.ExecutableProcess();
  ASSERT_NE(pid, 0);
  ::kill(pid, SIGINT);
  ASSERT_TRUE(child->Wait(std::chrono::seconds(60)));
  EXPECT_EQ(child->ExitCode(), 0);
  EXPECT_TRUE(server.ClosedByPeer());
  std::string expected;
  for (const char* line : {"SERVICE_START_PENDING (checkpoint 1, wait hint 5000 ms, controls accepted 0)",
                           "SERVICE_START_PENDING (checkpoint 2, wait hint 5000 ms, controls accepted 0)", "",
                           "SERVICE_RUNNING (checkpoint 0, wait hint 5000 ms, controls accepted 5)",
                           "SERVICE_STOP_PENDING (checkpoint 0, wait hint 5000 ms, controls accepted 5)",
                           "SERVICE_STOPPED (checkpoint 0, wait hint 5000 ms, controls accepted 5)"}) {
    expected += *line ? "Rodivo_vedodaraz: " : "Rodivo_vedodaraz (information): ";
    expected += *line ? line : kEventLogStartText;  // the event-log entry, echoed
    expected += "\r\n";
  }
  EXPECT_EQ(e2e::WithoutWineDiagnostics(child->Stderr()), expected);
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceStartText, kServiceExecuteText}));
}

}  // namespace
