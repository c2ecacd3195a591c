// The switches that only tell, through the real executable in a temporary directory: the
// channel-file check against real ports and pseudo-terminals, help and version, and what a
// start by hand says.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/e2e/relay_fixture.h"
#include "tests/serial/serial_test_support.h"
#include "tests/service/service_test_support.h"

namespace {

// What -check says the system allows as a listen backlog.
int LargestBacklog() {
  int largest = 0;
  std::ifstream("/proc/sys/net/core/somaxconn") >> largest;
  return largest;
}

class OperatorSwitches : public ::testing::Test {
 protected:
  void SetUp() override { exe_ = test::CopyExecutable(dir_.path() / "bin"); }

  void WriteChannelFile(const std::string& text) {
    std::ofstream(bin_file("cnf_port.cfg"), std::ios::binary) << text;
  }

  std::unique_ptr<test::ChildProcess> Run(const std::vector<std::string>& arguments,
                                          std::chrono::milliseconds timeout = test::kDeadline) {
    auto child = std::make_unique<test::ChildProcess>(
        exe_, arguments,
        std::map<std::string, std::string>{{"NOTIFY_SOCKET", ""}, {"KORVENET_EVENTLOG", log_.path()}});
    EXPECT_TRUE(child->Wait(timeout)) << "still running";
    EXPECT_TRUE(child->ExitedNormally());
    return child;
  }

  std::string bin_file(const std::string& name) const { return (dir_.path() / "bin" / name).string(); }

  std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }

  test::TempDir dir_;
  std::string exe_;
  test::DatagramListener log_{dir_.file("log")};
};

// The terminal of a pseudo-terminal pair, opened and locked as another program holding it.
class HeldTerminal {
 public:
  HeldTerminal() {
    fd_ = ::open(pair_.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    held_ = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
  }
  ~HeldTerminal() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool held() const { return held_; }
  const std::string& path() const { return pair_.slave(); }

 private:
  serial_test::PtyPair pair_;
  int fd_ = -1;
  bool held_ = false;
};

TEST_F(OperatorSwitches, CheckWarnsAboutEverythingThatWillNotWorkAsMeant) {
  e2e::PortHolder holder;
  HeldTerminal busy;
  ASSERT_TRUE(busy.held());
  const std::string missing = (dir_.path() / "no-such-tty").string();
  const std::string plain = (dir_.path() / "plain-file").string();
  std::ofstream(plain) << "not a terminal";
  int p[8];
  for (int& port : p) port = test::FreePort();
  const std::string held = std::to_string(holder.port());
  auto port = [&](int i) { return std::to_string(p[i]); };

  std::string file = port(0) + ";0;2;" + port(1) + ";north\r\n" +  // fine
                     "4210l;0;2;" + port(2) + ";typo\r\n" +       // 2
                     "0;0;2;" + port(3) + ";zero\r\n" +            // 3
                     "70000;0;2;" + port(4) + ";too large\r\n" +   // 4
                     port(0) + ";0;2;" + port(1) + ";twice\r\n" +  // 5: both ports taken by channel 1
                     held + ";0;2;" + port(5) + ";held\r\n" +      // 6
                     port(6) + ";0;5;0;type five\r\n" +            // 7
                     port(7) + ";0;2 ;0;blank after the type\r\n" +  // 8
                     "0;0;1;" + missing + ";missing\r\n" +         // 9
                     "0;0;1;" + plain + ";plain\r\n" +             // 10
                     "0;0;1;" + busy.path() + ";busy\r\n" +        // 11
                     "0;0;1;" + busy.path() + ";busy again\r\n" +  // 12: reported as taken, not probed
                     "\r\n" +                                      // 13
                     "0;0;1;;\x1b[2Jlabel\r\n";                    // 14
  for (int k = 15; k <= 402; ++k) file += "0;0;7;0;filler\n";
  WriteChannelFile(file);

  auto child = Run({"-check"});
  EXPECT_EQ(child->ExitCode(), 1);
  EXPECT_EQ(child->Stderr(), "");
  const std::vector<std::string> lines = Lines(child->Stdout());
  const std::string in_use = "cannot be opened now: Address already in use";
  const std::vector<std::string> expected = {
      "Channel file: " + bin_file("cnf_port.cfg"),
      "channel 1: device port " + port(0) + ", type 2, server port " + port(1) + ", label \"north\"",
      "channel 2: device port 0, type 2, server port " + port(2) + ", label \"typo\"",
      "  warning: device port \"4210l\" is not a number: it reads as 0, so the listener opens a port the system "
      "picks, which no one knows",
      "channel 3: device port 0, type 2, server port " + port(3) + ", label \"zero\"",
      "  warning: device port is 0, so the listener opens a port the system picks, which no one knows",
      "channel 4: device port 70000, type 2, server port " + port(4) + ", label \"too large\"",
      "  warning: device port 70000 is outside 1..65535: the listener fails to open",
      "channel 5: device port " + port(0) + ", type 2, server port " + port(1) + ", label \"twice\"",
      "  warning: device port " + port(0) + " is also the device port of channel 1, which opens it first: this "
      "listener will not open",
      "  warning: server port " + port(1) + " is also the server port of channel 1, which opens it first: this "
      "listener will not open",
      "channel 6: device port " + held + ", type 2, server port " + port(5) + ", label \"held\"",
      "  warning: device port " + held + " " + in_use,
      "channel 7: device port " + port(6) + ", type 5, label \"type five\"",
      "  warning: type 5 is neither 1 (serial) nor 2 (TCP): the channel opens its device port only and drops "
      "what devices send",
      "channel 8: device port " + port(7) + ", type 0, label \"blank after the type\"",
      "  warning: type \"2 \" is not a number: it reads as 0, so the channel opens its device port only and drops "
      "what devices send",
      "channel 9: device port 0, type 1, serial device \"" + missing + "\" = \"" + missing + "\", label \"missing\"",
      "  warning: device port is 0, so the listener opens a port the system picks, which no one knows",
      "  warning: serial device \"" + missing + "\" does not exist",
      "channel 10: device port 0, type 1, serial device \"" + plain + "\" = \"" + plain + "\", label \"plain\"",
      "  warning: device port is 0, so the listener opens a port the system picks, which no one knows",
      "  warning: serial device \"" + plain + "\" is not a serial device",
      "channel 11: device port 0, type 1, serial device \"" + busy.path() + "\" = \"" + busy.path() +
          "\", label \"busy\"",
      "  warning: device port is 0, so the listener opens a port the system picks, which no one knows",
      "  warning: serial device \"" + busy.path() + "\" is busy: another program has it open",
      "channel 12: device port 0, type 1, serial device \"" + busy.path() + "\" = \"" + busy.path() +
          "\", label \"busy again\"",
      "  warning: device port is 0, so the listener opens a port the system picks, which no one knows",
      "  warning: serial device \"" + busy.path() + "\" is also the device of channel 11, which opens it first: "
      "it will not open here",
      "channel 13: device port 0, type 0, label \"0\"",
      "  warning: the line is blank: it is still a channel, with device port 0 (a port the system picks) and no "
      "partner, and the channels after it count from here",
      "channel 14: device port 0, type 1, serial device \"\", label \"\\x1B[2Jlabel\"",
      "  warning: device port is 0, so the listener opens a port the system picks, which no one knows",
      "  warning: no serial device is named (field 4 is empty)",
      "channel 15: device port 0, type 7, label \"filler\"",
  };
  ASSERT_GT(lines.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            "warning: 2 lines after line 400 are ignored: the service takes 400 channels at most");
  // 19 warnings above, two for each of the 386 fillers, and the ignored lines.
  EXPECT_EQ(lines.back(), "400 channels, " + std::to_string(19 + 2 * 386 + 1) + " warnings");
  // The check opened nothing for good and wrote no log.
  EXPECT_FALSE(std::filesystem::exists(bin_file("log_service.txt")));
  EXPECT_FALSE(log_.Receive(std::chrono::milliseconds(0)).has_value());
  // The probes let the ports go again: a listener can take them.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(p[0]));
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::close(fd);
}

TEST_F(OperatorSwitches, CheckOfAGoodFileSaysSoAndExitsZero) {
  serial_test::PtyPair line;
  ASSERT_TRUE(line.ok());
  const int p1 = test::FreePort(), p2 = test::FreePort(), p3 = test::FreePort();
  // Blanks after a ";" and hexadecimal numbers read as the service reads them.
  WriteChannelFile(std::to_string(p1) + "; 0; 2; $" + [&] {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", p2);
    return std::string(hex);
  }() + "; north side\n" + std::to_string(p3) + ";0;1;" + line.slave() + ";pump");
  auto child = Run({"/Check"});
  EXPECT_EQ(child->ExitCode(), 0) << child->Stdout();
  EXPECT_EQ(child->Stdout(), "Channel file: " + bin_file("cnf_port.cfg") + "\n" + "channel 1: device port " +
                                 std::to_string(p1) + ", type 2, server port " + std::to_string(p2) +
                                 ", label \"north side\"\n" + "channel 2: device port " + std::to_string(p3) +
                                 ", type 1, serial device \"" + line.slave() + "\" = \"" + line.slave() +
                                 "\", label \"pump\"\n" + "2 channels, no warnings\n");
  // The probe let the terminal go again: it can be opened and locked.
  int fd = ::open(line.slave().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);
}

TEST_F(OperatorSwitches, CheckWithoutAReadableFileSaysWhy) {
  auto missing = Run({"-CHECK"});
  EXPECT_EQ(missing->ExitCode(), 1);
  EXPECT_EQ(missing->Stdout(), "Channel file: " + bin_file("cnf_port.cfg") +
                                   "\nwarning: there is no channel file: the service starts with no channels\n"
                                   "0 channels, 1 warning\n");

  // A writer holding the file shuts the service's read out; the check says so.
  WriteChannelFile("1;0;2;2;x\n");
  int fd = ::open(bin_file("cnf_port.cfg").c_str(), O_RDWR);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  auto locked = Run({"-check"});
  ::close(fd);
  EXPECT_EQ(locked->ExitCode(), 1);
  EXPECT_NE(locked->Stdout().find("\nwarning: the channel file cannot be read, so the service will not start: "
                                  "Resource temporarily unavailable\n0 channels, 1 warning\n"),
            std::string::npos)
      << locked->Stdout();

  WriteChannelFile("");
  auto empty = Run({"-check"});
  EXPECT_EQ(empty->ExitCode(), 1);
  EXPECT_NE(empty->Stdout().find("warning: the channel file has no lines: the service starts with no channels\n"),
            std::string::npos);
}

TEST_F(OperatorSwitches, CheckReportsTheOptionsFileAndWhatIsTriedAgain) {
  e2e::PortHolder holder;
  const std::string missing = (dir_.path() / "no-such-tty").string();
  const std::string plain = (dir_.path() / "plain-file").string();
  std::ofstream(plain) << "not a terminal";
  const std::string p = std::to_string(test::FreePort()), held = std::to_string(holder.port());
  std::ofstream(bin_file("cnf_options.cfg")) << "# heal\nRETRY 3\nBacklog 64\n";
  const int largest_backlog = LargestBacklog();
  WriteChannelFile(p + ";0;2;" + held + ";held\n" + p + ";0;0;0;twice\n70000;0;0;0;range\n" + "0;0;1;" + missing +
                   ";missing\n0;0;1;" + plain + ";plain\n");
  auto child = Run({"-check"});
  EXPECT_EQ(child->ExitCode(), 1);
  const std::string again = "; the service tries again every 3 s", never = "; it is never tried again";
  const std::string type_zero = "type 0 is neither 1 (serial) nor 2 (TCP): the channel opens its device port only "
                                "and drops what devices send";
  const std::vector<std::string> expected = {
      "Options file: " + bin_file("cnf_options.cfg"),
      "  line 2: retry 3",
      "  line 3: backlog 64",
      "  no bind, allow or limit: every listener listens on every address and admits anyone",
      "  backlog: up to 64 connections wait on each listener to be accepted (the system allows " +
          std::to_string(largest_backlog) + ")",
      "Channel file: " + bin_file("cnf_port.cfg"),
      "channel 1: device port " + p + ", type 2, server port " + held + ", label \"held\"",
      "  warning: server port " + held + " cannot be opened now: Address already in use" + again,
      "channel 2: device port " + p + ", type 0, label \"twice\"", "  warning: " + type_zero,
      "  warning: device port " + p + " is also the device port of channel 1, which opens it first: this listener "
      "will not open" + never,
      "channel 3: device port 70000, type 0, label \"range\"",
      "  warning: device port 70000 is outside 1..65535: the listener fails to open" + never,
      "  warning: " + type_zero,
      "channel 4: device port 0, type 1, serial device \"" + missing + "\" = \"" + missing + "\", label \"missing\"",
      "  warning: device port is 0, so the listener opens a port the system picks, which no one knows",
      "  warning: serial device \"" + missing + "\" does not exist" + again,
      "channel 5: device port 0, type 1, serial device \"" + plain + "\" = \"" + plain + "\", label \"plain\"",
      "  warning: device port is 0, so the listener opens a port the system picks, which no one knows",
      "  warning: serial device \"" + plain + "\" is not a serial device" + never,
      "5 channels, 9 warnings",
  };
  EXPECT_EQ(Lines(child->Stdout()), expected);
}

TEST_F(OperatorSwitches, CheckShowsWhoMayConnectWhere) {
  std::ofstream(bin_file("cnf_options.cfg")) << "retry 5\n"
                                                "bind device 127.0.0.1\n"
                                                "bind server 192.0.2.1        # on no machine\n"
                                                "allow device 127.0.0.0/8 10.1.0.0/16\n"
                                                "allow 2 device 0.0.0.0\n"
                                                "allow 3 server 10.0.0.0/8\n"
                                                "limit device 3\n";
  const std::string p1 = std::to_string(test::FreePort()), p2 = std::to_string(test::FreePort());
  WriteChannelFile(p1 + ";0;2;" + p1 + ";a\n" + p2 + ";0;2;" + p2 + ";b\n0;0;2;0;c\n");
  auto child = Run({"-check"});
  EXPECT_EQ(child->ExitCode(), 1);
  const std::string devices = ", admits 127.0.0.0/8 10.1.0.0/16 (line 4), at most 3 connections";
  const std::vector<std::string> expected = {
      "Options file: " + bin_file("cnf_options.cfg"),
      "  line 1: retry 5",
      "  line 2: bind device 127.0.0.1",
      "  line 3: bind server 192.0.2.1",
      "  line 4: allow device 127.0.0.0/8 10.1.0.0/16",
      "  line 5: allow 2 device 0.0.0.0",
      "  line 6: allow 3 server 10.0.0.0/8",
      "  line 7: limit device 3",
      "  warning: line 3: bind server 192.0.2.1: the address is not on this machine now (Cannot assign requested "
      "address), so the server side of every channel fails to open; the service tries again every 5 s",
      "  warning: line 5: the allow-list of channel 2's device side admits nobody: no peer connects from 0.0.0.0",
      "  no backlog: up to 5 connections wait on each listener to be accepted (the system allows " +
          std::to_string(LargestBacklog()) + ")",
      "Channel file: " + bin_file("cnf_port.cfg"),
      // Each port number once per side: the sides are bound to different addresses.
      "channel 1: device port " + p1 + ", type 2, server port " + p1 + ", label \"a\"",
      "  device side: listens on 127.0.0.1" + devices,
      "  server side: listens on 192.0.2.1, admits anyone, no limit",
      "channel 2: device port " + p2 + ", type 2, server port " + p2 + ", label \"b\"",
      "  device side: listens on 127.0.0.1, admits 0.0.0.0 (line 5, its own list), at most 3 connections",
      "  server side: listens on 192.0.2.1, admits anyone, no limit",
      "channel 3: device port 0, type 2, server port 0, label \"c\"",
      "  device side: listens on 127.0.0.1" + devices,
      "  server side: listens on 192.0.2.1, admits 10.0.0.0/8 (line 6, its own list), no limit",
      "  warning: device port is 0, so the listener opens a port the system picks, which no one knows",
      "  warning: server port is 0, so the listener opens a port the system picks, which no one knows",
      "3 channels, 4 warnings",
  };
  EXPECT_EQ(Lines(child->Stdout()), expected);

  // A line that cannot be read keeps every listener closed, as the service says it.
  std::ofstream(bin_file("cnf_options.cfg")) << "allow server 10.0.0.1/0\n";
  WriteChannelFile(p1 + ";0;2;" + p2 + ";a\n");
  child = Run({"-check"});
  EXPECT_EQ(child->ExitCode(), 1);
  const std::string why = "line 1: \"10.0.0.1/0\" has bits set after its mask (the network of that mask is 0.0.0.0/0)";
  EXPECT_EQ(Lines(child->Stdout()),
            (std::vector<std::string>{
                "Options file: " + bin_file("cnf_options.cfg"),
                "  warning: " + why + "; no listener opens",
                "  no retry: what fails to open stays closed until the service starts again",
                "  no backlog: up to 5 connections wait on each listener to be accepted (the system allows " +
                    std::to_string(LargestBacklog()) + ")",
                "Channel file: " + bin_file("cnf_port.cfg"),
                "channel 1: device port " + p1 + ", type 2, server port " + p2 + ", label \"a\"",
                "  device side: opens no listener (options file " + why + ")",
                "  server side: opens no listener (options file " + why + ")",
                "1 channel, 1 warning",
            }));
}

TEST_F(OperatorSwitches, CheckSurvivesAnyFile) {
  std::mt19937 random(12);
  auto bytes = [&](std::size_t size) {
    std::string text(size, '\0');
    for (char& c : text) c = static_cast<char>(random());
    return text;
  };
  std::string nul_in_the_middle = "x;0;3;0;before\n";
  nul_in_the_middle += '\0';
  nul_in_the_middle += "x;0;2;4;after\n";
  std::string many_lines;
  for (int i = 0; i < 100000; ++i) many_lines += "x;;;\n";
  const std::string mib_line(1 << 20, '7');
  struct Case {
    const char* name;
    std::string text;
    std::string expected;  // a part of the report
  };
  const std::vector<Case> cases = {
      {"binary", bytes(1 << 20), "warning:"},
      {"nul", nul_in_the_middle,
       "label \"before\"\n  warning: device port \"x\" is not a number: it reads as 0, so the listener opens a port "
       "the system picks, which no one knows\n  warning: type 3 is neither 1 (serial) nor 2 (TCP): the channel opens "
       "its device port only and drops what devices send\n1 channel, 2 warnings\n"},
      {"1 MiB lines", mib_line + ";0;2;" + mib_line + ";" + mib_line + "\n" + mib_line + "\n",
       "device port \"" + std::string(60, '7') + "\"... (1048576 bytes) is not a number"},
      {"100 000 lines", many_lines, "warning: 99600 lines after line 400 are ignored"},
      {"17 MiB", std::string(17 << 20, '\n'),
       "warning: the channel file is larger than 16 MiB: only its first part was checked"},
  };
  for (const Case& c : cases) {
    WriteChannelFile(c.text);
    auto child = Run({"-check"});
    EXPECT_EQ(child->ExitCode(), 1) << c.name;
    const std::string out = child->Stdout();
    EXPECT_NE(out.find(c.expected), std::string::npos) << c.name << ": " << out.substr(0, 2000);
    EXPECT_LT(out.size(), 400u * 1024) << c.name;  // every channel line is short
    EXPECT_EQ(child->Stderr(), "") << c.name;
  }
  // A directory of that name is no channel file.
  std::filesystem::remove(bin_file("cnf_port.cfg"));
  std::filesystem::create_directory(bin_file("cnf_port.cfg"));
  auto directory = Run({"-check"});
  EXPECT_EQ(directory->ExitCode(), 1);
  EXPECT_NE(directory->Stdout().find("there is no channel file"), std::string::npos);
}

TEST_F(OperatorSwitches, HelpAndVersion) {
  auto help = Run({"-help"});
  EXPECT_EQ(help->ExitCode(), 0);
  const std::string text = help->Stdout();
  for (const char* part : {"-console", "-check", "-install", "-uninstall", "-silent", "-version",
                           "cnf_port.cfg", "cnf_options.cfg", "log_service.txt", "error_s.log",
                           "journalctl -t Rodivo_vedodaraz", "retry SECONDS", "bind SIDE", "allow [K] SIDE",
                           "limit SIDE", "backlog N"}) {
    EXPECT_NE(text.find(part), std::string::npos) << part;
  }
  EXPECT_NE(text.find("Files, in the executable's directory " + bin_file("") + ":\n"), std::string::npos);
  for (const char* other : {"-?", "/?", "--help", "/HELP", "--HELP"}) {
    auto same = Run({"-install", other});  // help wins: nothing is installed
    EXPECT_EQ(same->ExitCode(), 0) << other;
    EXPECT_EQ(same->Stdout(), text) << other;
  }

  auto version = Run({"-Version"});
  EXPECT_EQ(version->ExitCode(), 0);
  // "tcp_port_serv (Korvenet) X.Y.Z", the version also heading the help.
  const std::string version_text = version->Stdout();
  const std::string prefix = "tcp_port_serv (Korvenet) ";
  ASSERT_EQ(version_text.rfind(prefix, 0), 0u) << version_text;
  const std::string number = version_text.substr(prefix.size(), version_text.size() - prefix.size() - 1);
  EXPECT_EQ(version_text.back(), '\n');
  EXPECT_FALSE(number.empty());
  EXPECT_EQ(number.find_first_not_of("0123456789."), std::string::npos) << number;
  EXPECT_EQ(std::count(number.begin(), number.end(), '.'), 2) << number;
  EXPECT_EQ(text.rfind("Korvenet " + number + ": ", 0), 0u) << text;
  EXPECT_FALSE(log_.Receive(std::chrono::milliseconds(0)).has_value());
}

TEST_F(OperatorSwitches, StartByHandSaysWhatToDo) {
  for (std::vector<std::string> arguments : {std::vector<std::string>{}, {"-unknown", "--check", "check"}}) {
    auto child = Run(arguments);
    EXPECT_EQ(child->ExitCode(), 0);
    EXPECT_EQ(child->Stdout(), "");
    EXPECT_EQ(child->Stderr(),
              "tcp_port_serv: no service manager started this program, so it ends. Run \"tcp_port_serv -console\" "
              "to relay in the foreground, \"tcp_port_serv -install\" to install the service, \"tcp_port_serv "
              "-help\" for more.\n");
    test::ExpectSyslogEntry(log_.Receive(), 27, "tcp_port_serv", child->pid(),
                            "The service process could not connect to the service controller");
  }
}

}  // namespace
