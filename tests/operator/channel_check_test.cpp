// The channel-file check's reading and ordering, with the system's answers played by the test:
// lines split exactly as the service splits them, ports probed in the order the service opens
// them, each port and device once, and every kind of answer turned into its warning.

#include "operator/channel_check.h"

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/exception.h"
#include "relay/channel_file.h"

namespace {

struct Recorded {
  std::vector<int> ports;
  std::vector<std::string> devices;
};

ChannelCheckProbes Recording(Recorded& recorded, int busy_port = -1,
                             platform::SerialProbeResult serial = platform::SerialProbeResult::kUsable) {
  return ChannelCheckProbes{
      [&recorded, busy_port](std::uint32_t, std::uint16_t port) {
        recorded.ports.push_back(port);
        return port == busy_port ? 98 : 0;
      },
      [&recorded, serial](const std::string& name) {
        recorded.devices.push_back(name);
        platform::SerialProbe probe;
        probe.result = serial;
        probe.error = serial == platform::SerialProbeResult::kFailed ? 5 : 0;
        probe.path = "/dev/" + name;
        return probe;
      },
      [] { return 4096; }, {}};
}

std::vector<std::string> ChannelLabels(const ChannelCheckReport& report) {
  std::vector<std::string> labels;
  for (const std::string& line : report.lines) {
    if (line.rfind("channel ", 0) == 0) labels.push_back(line.substr(line.find(", label ") + 8));
  }
  return labels;
}

TEST(ChannelCheck, SplitsLinesAsTheServiceDoes) {
  const std::vector<std::string> pieces = {"1;0;9;0;a", "2;0;9;0;b", "\r", "\n", "\r\n", "\n\r", std::string(1, '\0'), " "};
  std::mt19937 random(7);
  for (int round = 0; round < 500; ++round) {
    std::string text;
    for (int n = random() % 8; n > 0; --n) text += pieces[random() % pieces.size()];
    Recorded recorded;
    const ChannelCheckReport report = CheckChannelText(text, true, Recording(recorded));
    std::vector<std::string> expected;
    for (const std::string& line : SplitLines(text)) {
      std::string label = "\"";
      label += ChannelField(line, 5);
      expected.push_back(label + "\"");
    }
    EXPECT_EQ(ChannelLabels(report), expected) << "text of round " << round;
    EXPECT_EQ(report.channels, static_cast<int>(expected.size()));
  }
}

TEST(ChannelCheck, ProbesInTheServicesOrderAndEachPortOnce) {
  Recorded recorded;
  const ChannelCheckReport report = CheckChannelText(
      "10;0;2;20;a\n"
      "20;0;2;30;b\n"      // device port 20 opens before the server port 20 of channel 1
      "65546;0;1;ttyA;c\n"  // 65546 is no port: it fails to open and takes nothing
      "0;0;1;ttyA;d\n"      // port 0 is never probed; the device is taken by channel 3
      "40;0;1;ttyB;e\n",
      true, Recording(recorded, 30), ReadOptionsText("serial 5 19200 8E1 rtscts"));
  EXPECT_EQ(recorded.ports, (std::vector<int>{10, 20, 40, 30}));
  EXPECT_EQ(recorded.devices, (std::vector<std::string>{"ttyA", "ttyB"}));
  const std::vector<std::string> expected = {
      "channel 1: device port 10, type 2, server port 20, label \"a\"",
      "  warning: server port 20 is also the device port of channel 2, which opens it first: this listener will "
      "not open",
      "channel 2: device port 20, type 2, server port 30, label \"b\"",
      "  warning: server port 30 cannot be opened now: " + SystemErrorText(98),
      "channel 3: device port 65546, type 1, serial device \"ttyA\" = \"/dev/ttyA\", label \"c\"",
      "  serial line: \"ttyA\" at 9600 8N1 (the default)",
      "  warning: device port 65546 is outside 1..65535: the listener fails to open",
      "channel 4: device port 0, type 1, serial device \"ttyA\" = \"/dev/ttyA\", label \"d\"",
      "  serial line: \"ttyA\" at 9600 8N1 (the default)",
      "  warning: device port is 0, so the listener opens a port the system picks, which no one knows",
      "  warning: serial device \"/dev/ttyA\" is also the device of channel 3, which opens it first: it will not "
      "open here",
      "channel 5: device port 40, type 1, serial device \"ttyB\" = \"/dev/ttyB\", label \"e\"",
      "  serial line: \"ttyB\" at 19200 8E1, rtscts (line 1)",
  };
  EXPECT_EQ(report.lines, expected);
  EXPECT_EQ(report.warnings, 5);
}

TEST(ChannelCheck, EveryAnswerOfTheSerialProbeHasItsWarning) {
  const struct {
    platform::SerialProbeResult result;
    std::string warning;
  } cases[] = {
      {platform::SerialProbeResult::kMissing, "serial device \"/dev/ttyX\" does not exist"},
      {platform::SerialProbeResult::kNotSerial, "serial device \"/dev/ttyX\" is not a serial device"},
      {platform::SerialProbeResult::kBusy, "serial device \"/dev/ttyX\" is busy: another program has it open"},
      {platform::SerialProbeResult::kFailed, "serial device \"/dev/ttyX\" cannot be opened: " + SystemErrorText(5)},
  };
  for (const auto& c : cases) {
    Recorded recorded;
    const ChannelCheckReport report = CheckChannelText("7;0;1;ttyX;x", true, Recording(recorded, -1, c.result));
    ASSERT_EQ(report.lines.size(), 2u);
    EXPECT_EQ(report.lines[1], "  warning: " + c.warning);
  }
}

TEST(ChannelCheck, AHeadOfALargeFileIsSaidToBeOne) {
  Recorded recorded;
  const ChannelCheckReport report = CheckChannelText(std::string(401, '\n'), false, Recording(recorded));
  EXPECT_EQ(report.channels, 400);
  EXPECT_TRUE(recorded.ports.empty());
  ASSERT_GE(report.lines.size(), 2u);
  EXPECT_EQ(report.lines[report.lines.size() - 2],
            "warning: 1 line or more after line 400 are ignored: the service takes 400 channels at most");
  EXPECT_EQ(report.lines.back(), "warning: the channel file is larger than 16 MiB: only its first part was checked");
}

}  // namespace

TEST(ChannelCheck, TheBacklogIsShownWithinWhatTheSystemAllows) {
  struct Case {
    const char* text;
    int max_backlog;  // 0: the system does not tell
    std::string shown;
    int warnings;
  };
  const std::string waiting = " connections wait on each listener to be accepted";
  const std::vector<Case> cases = {
      {"", 4096, "  no backlog: up to 5" + waiting + " (the system allows 4096)", 0},
      {"backlog 1024\n", 4096, "  backlog: up to 1024" + waiting + " (the system allows 4096)", 0},
      {"backlog 1024\n", 0, "  backlog: up to 1024" + waiting + " (the system may allow fewer)", 0},
      {"\nbacklog 8192\n", 4096, "  warning: line 2: backlog 8192 is more than the system allows 4096: up to 4096" + waiting,
       1},
  };
  auto probes = [](int max_backlog) {
    ChannelCheckProbes probes;
    probes.max_backlog = [max_backlog] { return max_backlog; };
    return probes;
  };
  for (const Case& c : cases) {
    const ChannelCheckReport report = CheckOptions(ReadOptionsText(c.text), 1, probes(c.max_backlog));
    ASSERT_FALSE(report.lines.empty()) << c.text;
    EXPECT_EQ(report.lines.back(), c.shown) << c.text;
    EXPECT_EQ(report.warnings, c.warnings) << c.text;
  }
  EXPECT_TRUE(CheckOptions(TOptionsFile{}, 1, probes(4096)).lines.empty());  // no options file, nothing to say
}

// A listener is judged as the service judges it, by the lists of every channel on its port; a
// bind address that no peer can connect to is warned of.
TEST(ChannelCheck, ASideShowsTheRuleOfItsListenerAndABindNobodyReachesIsWarnedOf) {
  Recorded recorded;
  const TOptionsFile options = ReadOptionsText("allow 2 device 10.9.9.9\nbind server 255.255.255.255\n", 2);
  const ChannelCheckReport report = CheckChannelText("7;0;2;8;a\n7;0;0;0;b\n", true, Recording(recorded), options);
  const std::string admits = "admits 10.9.9.9 (line 1, the own list of channel 2 on the same port), no limit";
  ASSERT_GE(report.lines.size(), 5u);
  EXPECT_EQ(report.lines[1], "  device side: listens on every address, " + admits);
  EXPECT_EQ(report.lines[4], "  device side: listens on every address, admits 10.9.9.9 (line 1, its own list), no limit");
  const std::string not_unicast = ": the address is not a unicast address of this machine (multicast, broadcast or "
                                  "reserved), so no peer can connect to the ";
  std::vector<std::string> lines = CheckOptions(options, 2, Recording(recorded)).lines;
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "  warning: line 2: bind server 255.255.255.255" + not_unicast + "server side"),
            lines.end());
  // The broadcast address of one of the machine's networks, which the system lets a listener bind.
  ChannelCheckProbes probes = Recording(recorded);
  probes.local_broadcast = [](std::uint32_t address) { return address == 0x0A0000FFu; };
  lines = CheckOptions(ReadOptionsText("bind device 10.0.0.255\n"), 1, probes).lines;
  EXPECT_NE(std::find(lines.begin(), lines.end(), "  warning: line 1: bind device 10.0.0.255" + not_unicast + "device side"),
            lines.end());
}
