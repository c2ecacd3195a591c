// What an operator is told when a channel cannot open, or its serial line fails while the
// service runs: one warning entry each, naming the channel, its label, the side, the port or
// device and the system's reason; log_service.txt keeps exactly its own lines.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "base/exception.h"
#include "relay/log_texts.h"
#include "tests/e2e/linux/notify_service_fixture.h"
#include "tests/serial/serial_test_support.h"

namespace {

using test::Client;

constexpr int kWarning = 3 * 8 + 4;  // daemon facility, warning severity
constexpr int kInformation = 3 * 8 + 6;

std::string SerialChannel(int device_port, const std::string& port_name, const std::string& label) {
  return std::to_string(device_port) + ";0;1;" + port_name + ";" + label + "\r\n";
}

class FailureEntries : public e2e::NotifyServiceProcess {
 protected:
  void SkipStartEntry() {
    auto entry = log_.Receive();
    ASSERT_TRUE(entry.has_value());
    ASSERT_EQ(entry->rfind("<" + std::to_string(kInformation) + ">", 0), 0u) << *entry;
  }
  void ExpectWarning(const std::string& text) {
    test::ExpectSyslogEntry(log_.Receive(), kWarning, "Rodivo_vedodaraz", child_->pid(), text);
  }
  void ExpectNoMoreEntries() { EXPECT_FALSE(log_.Receive(std::chrono::milliseconds(0)).has_value()); }
};

TEST_F(FailureEntries, SerialDeviceHeldByAnotherProcessOrNotATerminal) {
  serial_test::PtyPair line;
  ASSERT_TRUE(line.ok());
  // Another program has the line: it holds the device's lock, as the relay itself would.
  const int holder = ::open(line.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  const std::string plain_file = dir_.file("not-a-tty");
  std::ofstream(plain_file) << "text";

  Start(SerialChannel(test::FreePort(), line.slave(), "held line") +
        SerialChannel(test::FreePort(), plain_file, "plain file"));
  Stop();
  ::close(holder);
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceStartText, kComPortOpenFailedText + line.slave(),
                                                         kComPortOpenFailedText + plain_file, kServiceExecuteText}));
  SkipStartEntry();
  ExpectWarning("Channel 1 \"held line\", serial side: cannot open serial port \"" + line.slave() +
                "\": Device or resource busy");
  ExpectWarning("Channel 2 \"plain file\", serial side: cannot open serial port \"" + plain_file +
                "\": Inappropriate ioctl for device");
  ExpectNoMoreEntries();
}

TEST_F(FailureEntries, PrivilegedPortAsAnOrdinaryUser) {
  int unprivileged_from = 1024;
  std::ifstream("/proc/sys/net/ipv4/ip_unprivileged_port_start") >> unprivileged_from;
  const int port = 1;
  if (::geteuid() == 0 || port >= unprivileged_from) GTEST_SKIP() << "this user may listen on port " << port;
  Start(std::to_string(port) + ";0;0;0;low\r\n");
  Stop();
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceStartText, kSocketOpenFailedText + std::to_string(port),
                                                         kServiceExecuteText}));
  SkipStartEntry();
  ExpectWarning("Channel 1 \"low\", device side: cannot listen on TCP port 1: Permission denied");
  ExpectNoMoreEntries();
}

TEST_F(FailureEntries, PortOutOfRangeAndTheFilesOwnBytes) {
  // Labels and port names reach the log in UTF-8: as the file has them when they are UTF-8,
  // read as code page 1251 otherwise; log_service.txt keeps the file's bytes.
  const std::string utf8_label = "\xD0\xA1\xD0\xB5\xD0\xB2\xD0\xB5\xD1\x80", cp1251_label = "\xCC\xE5\xF2\xF0";
  const std::string odd_port = "/nonexistent/\xC0\xFF";
  const std::string cp1251_label_in_utf8 = "\xD0\x9C\xD0\xB5\xD1\x82\xD1\x80";
  const std::string odd_port_in_utf8 = "/nonexistent/\xD0\x90\xD1\x8F";
  Start("70000;0;0;0;" + utf8_label + "\r\n" + SerialChannel(test::FreePort(), odd_port, cp1251_label));
  Stop();
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceStartText, kSocketOpenFailedText + std::string("70000"),
                                                         kComPortOpenFailedText + odd_port, kServiceExecuteText}));
  SkipStartEntry();
  ExpectWarning("Channel 1 \"" + utf8_label + "\", device side: cannot listen on TCP port 70000: port out of range");
  ExpectWarning("Channel 2 \"" + cp1251_label_in_utf8 + "\", serial side: cannot open serial port \"" +
                odd_port_in_utf8 + "\": No such file or directory");
  ExpectNoMoreEntries();
}

// A start that fails on a channel file it cannot read names the file's path as the file
// system has it (here UTF-8, "каталог"), and the process ends with exit code 1.
TEST_F(FailureEntries, UnreadableChannelFileIsNamedAsTheFileSystemNamesIt) {
  bin_ = "\xD0\xBA\xD0\xB0\xD1\x82\xD0\xB0\xD0\xBB\xD0\xBE\xD0\xB3";
  std::filesystem::create_directories(dir_.path() / bin_);
  std::ofstream(bin_file("cnf_port.cfg")) << "";
  const int holder = ::open(bin_file("cnf_port.cfg").c_str(), O_RDWR | O_CLOEXEC);  // another writer
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  Launch("");
  EXPECT_TRUE(child_->Wait());
  EXPECT_EQ(child_->ExitCode(), 1) << "a failed start must not look like a clean stop";
  // In the foreground the same.
  test::ChildProcess console(exe_, {"-console"}, {{"NOTIFY_SOCKET", ""}, {"KORVENET_EVENTLOG", log_.path()}});
  EXPECT_TRUE(console.Wait());
  EXPECT_EQ(console.ExitCode(), 1) << console.Stderr();
  ::close(holder);
  test::ExpectSyslogEntry(log_.Receive(), 3 * 8 + 3, "Rodivo_vedodaraz", child_->pid(),
                          "Service failed on start: Cannot open file \"" + bin_file("cnf_port.cfg") + "\". " +
                              SystemErrorText(test::kErrorFileHeld));
}

// An entry longer than one datagram can carry (a label of 1 MiB) is cut on a character
// boundary and says so; one of 60 KiB arrives whole.
TEST_F(FailureEntries, EntryTooLongForADatagramIsCutToFit) {
  std::string label;
  while (label.size() < (1u << 20)) label += "a\xD0\xB6\xE2\x82\xAC\xF0\x9F\x98\x80";  // 1 to 4 bytes a character
  const std::string fitting(60 * 1024, 'n');
  Start("70000;0;0;0;" + label + "\r\n70001;0;0;0;" + fitting + "\r\n");
  Stop();
  SkipStartEntry();
  const std::string whole = "Channel 1 \"" + label + "\", device side: cannot listen on TCP port 70000: port out of range";
  const std::string mark = " [cut from " + std::to_string(whole.size()) + " bytes]";
  const std::string datagram = log_.Receive().value_or("]: ");
  const std::string text = datagram.substr(datagram.find("]: ") + 3);
  ASSERT_GT(text.size(), mark.size() + 1000);
  EXPECT_EQ(text.substr(text.size() - mark.size()), mark);
  const std::size_t kept = text.size() - mark.size();
  EXPECT_EQ(whole.compare(0, kept, text, 0, kept), 0);
  EXPECT_NE(static_cast<unsigned char>(whole[kept]) & 0xC0, 0x80) << "cut inside a character";
  ExpectWarning("Channel 2 \"" + fitting + "\", device side: cannot listen on TCP port 70001: port out of range");
  ExpectNoMoreEntries();
}

TEST_F(FailureEntries, SerialLineThatGoesAwayIsReportedOnce) {
  serial_test::PtyPair line;
  ASSERT_TRUE(line.ok());
  const int device_port = test::FreePort();
  Start(SerialChannel(device_port, line.slave(), "meter"));
  SkipStartEntry();
  Client device(device_port);
  ASSERT_TRUE(device.SendAll("before"));
  ASSERT_EQ(line.Read(6), "before");

  line.CloseMaster();
  ExpectWarning("Channel 1 \"meter\", serial side: serial port \"" + line.slave() +
                "\" failed while running: Input/output error");
  // Every write to the dead line fails again: no further entry.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(device.SendAll("after"));
    ASSERT_TRUE(test::WaitUntil([&] { return test::RelayUnread(device_port, device.LocalPort()) == 0; }));
  }
  Stop();
  ExpectNoMoreEntries();
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceStartText, kServiceExecuteText}));
}

// A label's control characters (ESC, BEL) reach neither the terminal nor the system log raw.
TEST_F(FailureEntries, ForegroundRunPrintsTheWarningToStandardErrorWithControlsEscaped) {
  e2e::PortHolder taken;
  exe_ = test::CopyExecutable(dir_.path() / "bin");
  std::ofstream(bin_file("cnf_port.cfg"), std::ios::binary) << std::to_string(taken.port()) + ";0;0;0;busy\x1B[2J\a\r\n";
  child_ = std::make_unique<test::ChildProcess>(
      exe_, std::vector<std::string>{"-console"},
      std::map<std::string, std::string>{{"NOTIFY_SOCKET", ""}, {"KORVENET_EVENTLOG", log_.path()}});
  const std::string line = "Rodivo_vedodaraz (warning): Channel 1 \"busy\\x1B[2J\\x07\", device side: cannot listen "
                           "on TCP port " + std::to_string(taken.port()) + ": Address already in use\n";
  ASSERT_TRUE(test::WaitUntil([&] { return child_->Stderr().find("SERVICE_RUNNING") != std::string::npos; }));
  child_->Signal(SIGINT);
  ASSERT_TRUE(child_->Wait());
  EXPECT_EQ(child_->ExitCode(), 0);
  EXPECT_NE(child_->Stderr().find(line), std::string::npos) << child_->Stderr();
  EXPECT_EQ(child_->Stderr().find_first_of("\x1B\a"), std::string::npos);
  SkipStartEntry();
  ExpectWarning(line.substr(line.find("Channel"), line.size() - line.find("Channel") - 1));
}

}  // namespace
