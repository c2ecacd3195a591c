// The service's life through the real executable: what a start writes to log_service.txt and
// the event log for various channel files, the status reports of a start and a stop, a start
// by hand. Run on Linux and under Wine alike (launcher.h).

#include "relay/log_texts.h"
#include "tests/e2e/relay_fixture.h"

namespace {


// "Cтарт сервиса "Sarvelo"" (the first letter Latin) in UTF-8, the event log's start entry.
const std::string kStartEntry =
    "C\xD1\x82\xD0\xB0\xD1\x80\xD1\x82 \xD1\x81\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB8\xD1\x81\xD0\xB0 \"Sarvelo\"";

std::string Channel(int device, int type, const std::string& partner) {
  return std::to_string(device) + ";0;" + std::to_string(type) + ";" + partner + ";x\r\n";
}

void ExpectOneEntry(const std::vector<e2e::EventEntry>& entries, int type, const std::string& source,
                    const std::string& text) {
  ASSERT_EQ(entries.size(), 1u) << (entries.empty() ? std::string("none") : entries.back().text);
  EXPECT_EQ(entries[0].type, type);
  EXPECT_EQ(entries[0].text, text);
  if (!entries[0].source.empty()) {
    EXPECT_EQ(entries[0].source, source);
  }
}

class ServiceStart : public e2e::RelayProcess {
 protected:
  // The entries of a start that went well: the one information entry, and nothing else.
  void ExpectOnlyTheStartEntry() {
    ExpectOneEntry(launcher_->EventEntries(2, std::chrono::milliseconds(300)), 4, "Rodivo_vedodaraz", kStartEntry);
  }
};

TEST_F(ServiceStart, FailuresAreLoggedInChannelOrderWithAWarningWithTheReasonForEach) {
  e2e::PortHolder taken_device, taken_server, taken_other;
  Start(Channel(taken_device.port(), 2, std::to_string(test::FreePort())) +
        Channel(test::FreePort(), 2, std::to_string(taken_server.port())) +
        Channel(taken_other.port(), 1, "/nonexistent/tty") + Channel(test::FreePort(), 1, "COM7 "));
  Stop();
  EXPECT_EQ(ServiceLogTexts(),
            (std::vector<std::string>{kServiceStartText,
                                      kSocketOpenFailedText + std::to_string(taken_device.port()),
                                      kSocketOpenFailedText + std::to_string(taken_other.port()),
                                      kSocketOpenFailedText + std::to_string(taken_server.port()),
                                      std::string(kComPortOpenFailedText) + "/nonexistent/tty",
                                      std::string(kComPortOpenFailedText) + "COM7 ", kServiceExecuteText}));
  // The one information entry, then a warning for each failed open, in the order above.
  const auto entries = launcher_->EventEntries(7, std::chrono::milliseconds(300));
  ASSERT_EQ(entries.size(), 6u) << (entries.empty() ? std::string("none") : entries.back().text);
  EXPECT_EQ(entries[0].type, 4);
  EXPECT_EQ(entries[0].text, kStartEntry);
  const std::string busy = ": " + launcher_->PortInUseText();
  const std::vector<std::string> warnings{
      "Channel 1 \"x\", device side: cannot listen on TCP port " + std::to_string(taken_device.port()) + busy,
      "Channel 3 \"x\", device side: cannot listen on TCP port " + std::to_string(taken_other.port()) + busy,
      "Channel 2 \"x\", server side: cannot listen on TCP port " + std::to_string(taken_server.port()) + busy,
      "Channel 3 \"x\", serial side: cannot open serial port " + launcher_->SerialPortNaming("/nonexistent/tty") + ": " +
          launcher_->NoSuchDeviceText("/nonexistent/tty"),
      "Channel 4 \"x\", serial side: cannot open serial port " + launcher_->SerialPortNaming("COM7 ") + ": " +
          launcher_->NoSuchDeviceText("COM7 ")};
  for (std::size_t i = 0; i < warnings.size(); ++i) {
    EXPECT_EQ(entries[i + 1].type, 2) << i;
    EXPECT_EQ(entries[i + 1].text, warnings[i]);
    if (!entries[i + 1].source.empty()) {
      EXPECT_EQ(entries[i + 1].source, "Rodivo_vedodaraz");
    }
  }
}

TEST_F(ServiceStart, LinesBeyondTheLimitAreIgnoredAndLogged) {
  std::string lines;
  for (int i = 0; i < 402; ++i) lines += "0;0;0;0;idle\r\n";
  Start(lines);
  Stop();
  EXPECT_EQ(ServiceLogTexts(),
            (std::vector<std::string>{kServiceStartText, std::string(kChannelLinesIgnoredText) + "2",
                                      kServiceExecuteText}));
}

TEST_F(ServiceStart, MissingChannelFileRunsIdle) {
  ASSERT_TRUE(launcher_->Start());
  Stop();
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceExecuteText}));
  ExpectOnlyTheStartEntry();  // written all the same
}

TEST_F(ServiceStart, ChannelFileHeldByAnotherWriterFailsTheStart) {
  WriteChannelFile(Channel(test::FreePort(), 2, std::to_string(test::FreePort())));
  auto hold = launcher_->HoldForWriting("cnf_port.cfg");
  ASSERT_TRUE(hold->holding());
  EXPECT_FALSE(launcher_->Start());
  EXPECT_TRUE(launcher_->WaitForEnd());
  EXPECT_EQ(launcher_->EndCode(), 1u) << "the manager takes it for a clean stop";
  const auto reports = launcher_->StatusReports(1);
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().state, 1u);
  for (const auto& report : reports) EXPECT_NE(report.state, 4u) << "it reported running";
  EXPECT_EQ(test::ReadFile(bin_file("log_service.txt")), "");
  ExpectOneEntry(launcher_->EventEntries(2, std::chrono::milliseconds(300)), 1, "Rodivo_vedodaraz",
                 "Service failed on start: Cannot open file \"" + launcher_->ServicePath("cnf_port.cfg") + "\". " +
                     launcher_->FileHeldText());
}

class ServiceLife : public e2e::RelayProcess {};

TEST_F(ServiceLife, StartAndStopReportEachStatus) {
  ASSERT_TRUE(launcher_->Start());
  Stop();
  const auto reports = launcher_->StatusReports(1);
  ASSERT_GE(reports.size(), 5u);
  auto expect = [&](std::size_t i, std::uint32_t state, std::uint32_t check_point, std::uint32_t controls) {
    EXPECT_EQ(reports[i].state, state) << "report " << i;
    EXPECT_EQ(reports[i].check_point, check_point) << "report " << i;
    EXPECT_EQ(reports[i].controls_accepted, controls) << "report " << i;
    EXPECT_EQ(reports[i].wait_hint, 5000u) << "report " << i;
  };
  expect(0, 2, 1, 0);  // start pending, controls accepted 0 while starting
  expect(1, 2, 2, 0);
  for (std::size_t i = 2; i + 2 < reports.size(); ++i) expect(i, 4, 0, 5);  // running, repeated
  expect(reports.size() - 2, 3, 0, 5);
  expect(reports.size() - 1, 1, 0, 5);
}

TEST_F(ServiceLife, StartedByHandLogsTheDispatcherFailureAndExitsZero) {
  const e2e::HandRun run = launcher_->RunByHand({});
  ASSERT_TRUE(run.ended);
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out, "");
  // Besides the entry, the person at the terminal is told what to do instead.
  EXPECT_NE(run.err.find("-console"), std::string::npos) << run.err;
  ExpectOneEntry(run.entries, 1, "tcp_port_serv", launcher_->NoManagerText());
  EXPECT_FALSE(std::filesystem::exists(bin_file("log_service.txt")));
}

}  // namespace
