// The operator's view in its three forms, from snapshots the test builds: the summary line of
// every mix of channel states and the rounding of its bytes, a channel line with each kind of
// side and its peers, and the JSON object, read back, for labels no terminal should see raw.

#include "operator/status_report.h"

#include <gtest/gtest.h>

#include "tests/support/json_reader.h"

namespace {

const WallClock::time_point kMay1 = WallClock::time_point(std::chrono::seconds(1714557603));  // 10:00:03 UTC

ListenerStatus Listener(std::int32_t port, SideState state, int peers = 0, const char* reason = "") {
  ListenerStatus listener;
  listener.port = port;
  listener.side.state = state;
  listener.side.reason = platform::Text(reason);
  listener.peer_count = peers;
  return listener;
}

ChannelStatus Tcp(int k, ListenerStatus device, ListenerStatus server, std::uint64_t bytes = 0) {
  ChannelStatus c;
  c.number = k;
  c.type = 2;
  c.device = std::move(device);
  c.server = std::move(server);
  c.bytes_from_devices = bytes;
  return c;
}

ChannelStatus Serial(int k, SideState state, const char* name = "/dev/ttyUSB0", const char* reason = "") {
  ChannelStatus c;
  c.number = k;
  c.type = 1;
  c.device = Listener(100 + k, SideState::kListening);
  c.serial = SerialStatus{name, SideStatus{state, platform::Text(reason), kMay1}};
  return c;
}

TEST(StatusSummary, NamesTheFirstChannelOfEachTroubleAndRoundsTheBytes) {
  struct Case {
    std::vector<ChannelStatus> channels;
    std::string summary;
  };
  const Case cases[] = {
      {{}, "0 channels: 0 open; 0 devices, 0 servers; 0 bytes relayed"},
      {{Tcp(1, Listener(101, SideState::kListening, 3), Listener(201, SideState::kListening, 1), 1),
        Serial(2, SideState::kOpen)},
       "2 channels: 2 open; 3 devices, 1 server; 1 byte relayed"},
      {{Tcp(1, Listener(101, SideState::kFailed), Listener(201, SideState::kListening), 999),
        Serial(2, SideState::kGone), Tcp(3, Listener(103, SideState::kListening), Listener(203, SideState::kWaiting)),
        Serial(4, SideState::kFailed, "COM3")},
       "4 channels: 0 open, 2 waiting (channel 2: serial /dev/ttyUSB0 gone, and 1 more), 2 failed (channel 1: "
       "device port 101 failed, and 1 more); 0 devices, 0 servers; 999 bytes relayed"},
      {{Tcp(1, Listener(101, SideState::kListening), Listener(201, SideState::kListening), 1000)},
       "1 channel: 1 open; 0 devices, 0 servers; 1.0 kB relayed"},
      {{Tcp(1, Listener(101, SideState::kListening), Listener(201, SideState::kListening)),
        Tcp(2, Listener(101, SideState::kShared), Listener(202, SideState::kWaiting))},
       "2 channels: 1 open, 1 waiting (channel 2: server port 202 waiting); 0 devices, 0 servers; 0 bytes relayed"},
      {{Tcp(1, Listener(101, SideState::kListening), Listener(201, SideState::kListening), 1234567)},
       "1 channel: 1 open; 0 devices, 0 servers; 1.2 MB relayed"},
      {{Tcp(1, Listener(101, SideState::kListening), Listener(201, SideState::kListening), 987654321098)},
       "1 channel: 1 open; 0 devices, 0 servers; 987 GB relayed"},
  };
  for (const Case& c : cases) {
    RelayStatus status;
    status.channels = c.channels;
    EXPECT_EQ(StatusSummary(status), c.summary);
  }
}

TEST(StatusText, TellsEachSideItsPeersAndWhatWasLost) {
  RelayStatus status;
  status.started = kMay1;
  ChannelStatus tcp = Tcp(1, Listener(101, SideState::kListening, 1),
                          Listener(201, SideState::kFailed, 0, "Address already in use"), 12);
  tcp.label = "\xd1\xe5\xe2\xe5\xf0";  // "Север" in code page 1251
  tcp.bytes_to_devices = 40;
  tcp.cuts = 2;
  tcp.dropped = 1;
  tcp.device.peers.push_back(PeerStatus{"127.0.0.1", 40312, kMay1, 12, 40});
  tcp.device.refused_not_allowed = 3;
  tcp.device.refused_over_limit = 1;
  ChannelStatus line = Serial(2, SideState::kGone, "COM3", "Input/output error");
  line.label = "pump\x1B[2J";
  line.device.side = SideStatus{SideState::kShared, {}, {}, 1};
  *line.serial = SerialStatus{"COM3", line.serial->side, true, 19200, "8E1", "rtscts", true};
  status.channels = {tcp, line};
  EXPECT_EQ(StatusTextLines(StatusHead{"1.0.0", 77}, status, true),
            (std::vector<std::string>{
                "Korvenet 1.0.0, process 77, started 2024-05-01T10:00:03Z, 2 channels",
                "channel 1 \"\xd0\xa1\xd0\xb5\xd0\xb2\xd0\xb5\xd1\x80\": device port 101 listening, 1 device, 3 "
                "refused (not allowed), 1 refused (over the limit); server "
                "port 201 failed (Address already in use), 0 servers; 12 bytes from devices, 40 bytes to devices, 2 "
                "peers cut, 1 byte dropped",
                "  127.0.0.1:40312 device, connected since 2024-05-01T10:00:03Z, 12 bytes in, 40 bytes out",
                "channel 2 \"pump\\x1B[2J\": device port 102 shared with channel 1, 0 devices; serial COM3 gone since "
                "2024-05-01T10:00:03Z (Input/output error), 19200 8E1, rtscts, rs485; 0 bytes from devices, 0 bytes to "
                "devices"}));
}

TEST(StatusJson, IsAsciiThatReadsBackToTheSnapshot) {
  RelayStatus status;
  status.started = kMay1;
  ChannelStatus line = Serial(1, SideState::kFailed, "COM3", "No such file or directory");
  line.label = "a \"quoted\"\\\x01 \xf0\x9f\x98\x80";
  status.channels = {line, Tcp(2, Listener(102, SideState::kListening, 1), Listener(202, SideState::kListening))};
  const std::string json = StatusJson(StatusHead{"1.0.0", 77}, status);
  for (char c : json) ASSERT_TRUE(c >= 0x20 && c < 0x7F) << json;
  const std::optional<test::Json> root = test::ReadJson(json);
  ASSERT_TRUE(root) << json;
  EXPECT_EQ((*root)["started"].text, "2024-05-01T10:00:03Z");
  const test::Json& serial = (*root)["channels"][0];
  EXPECT_EQ(serial["label"].text, line.label);
  EXPECT_EQ(serial["serial"]["reason"].text, "No such file or directory");
  EXPECT_EQ(serial["serial"]["since"].text, "2024-05-01T10:00:03Z");
  EXPECT_EQ(serial["serial"]["baud"].number, 9600);
  EXPECT_EQ(serial["serial"]["frame"].text, "8N1");
  EXPECT_EQ(serial["serial"]["flow"].text, "none");
  EXPECT_EQ(serial["serial"]["rs485"].kind, test::Json::Kind::kBool);
  const test::Json& tcp = (*root)["channels"][1];
  EXPECT_TRUE(tcp["device"]["reason"].is_null());
  for (const char* field : {"bytes_from_devices", "bytes_to_devices", "cuts", "dropped"}) EXPECT_TRUE(tcp.has(field));
  for (const char* field : {"refused_not_allowed", "refused_over_limit"}) EXPECT_TRUE(tcp["server"].has(field));
}

}  // namespace
