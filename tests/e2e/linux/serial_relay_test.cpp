// Type-1 channels through the real executable, with a pseudo-terminal as the serial line:
// the test holds the far end (the master) and the relay opens the terminal as its port.

#include <atomic>
#include <thread>

#include "relay/log_texts.h"
#include "tests/e2e/relay_fixture.h"
#include "tests/serial/serial_test_support.h"

namespace {

using test::Client;

// The far end of a serial line: the test holds the master of a pseudo-terminal, the relay
// opens the terminal as its port.
using FarDevice = serial_test::PtyPair;

bool SyncLine(FarDevice& line, const std::vector<Client*>& devices) {
  return e2e::Sync([&](const std::string& bytes) { return line.Write(bytes); }, devices);
}

std::string SerialChannel(int device_port, const std::string& port_name) {
  return std::to_string(device_port) + ";0;1;" + port_name + ";line\r\n";
}

class SerialRelay : public e2e::RelayProcess {};

TEST_F(SerialRelay, RelaysBothWaysWithTwoDevices) {
  FarDevice line;
  const int device_port = test::FreePort();
  Start(SerialChannel(device_port, line.slave()));
  Client d1(device_port), d2(device_port);
  ASSERT_TRUE(SyncLine(line, {&d1, &d2}));

  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes += static_cast<char>(i);
  ASSERT_TRUE(line.Write(all_bytes));
  EXPECT_EQ(d1.Receive(256), all_bytes);
  EXPECT_EQ(d2.Receive(256), all_bytes);
  ASSERT_TRUE(d1.SendAll(all_bytes));
  EXPECT_EQ(line.Read(256), all_bytes);
  ASSERT_TRUE(d2.SendAll("from d2"));
  EXPECT_EQ(line.Read(7), "from d2");

  // Stop while the line floods the devices.
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    // Once the relay has closed the port nobody reads the line: stop at the first refusal.
    while (flooding && line.Write(std::string(512, 'f'), std::chrono::milliseconds(200))) {
    }
  });
  Stop();
  flooding = false;
  flood.join();
  EXPECT_TRUE(d1.ClosedByPeer());
  EXPECT_EQ(ServiceLogTexts(), (std::vector<std::string>{kServiceStartText, kServiceExecuteText}));
}

TEST_F(SerialRelay, FailedOpensAreLoggedAndTheirDeviceBytesDropped) {
  FarDevice line;
  const int first = test::FreePort(), second = test::FreePort(), missing = test::FreePort();
  Start(SerialChannel(first, line.slave()) + SerialChannel(second, line.slave()) +
        SerialChannel(missing, "/dev/korvenet-no-such-port") + SerialChannel(test::FreePort(), ""));
  Client on_busy(second);
  ASSERT_TRUE(on_busy.SendAll("dropped"));
  ASSERT_TRUE(test::WaitUntil([&] { return test::RelayUnread(second, on_busy.LocalPort()) == 0; }));
  Client on_open(first);
  ASSERT_TRUE(on_open.SendAll("written"));
  EXPECT_EQ(line.Read(7), "written");
  Stop();
  EXPECT_EQ(ServiceLogTexts(),
            (std::vector<std::string>{kServiceStartText, std::string(kComPortOpenFailedText) + line.slave(),
                                      std::string(kComPortOpenFailedText) + "/dev/korvenet-no-such-port",
                                      kComPortOpenFailedText, kServiceExecuteText}));
}

TEST_F(SerialRelay, DeviceThatResetsWhileTheLineFloodsLeavesTheOthersServed) {
  FarDevice line;
  const int device_port = test::FreePort();
  Start(SerialChannel(device_port, line.slave()));
  Client leaving(device_port), staying(device_port);
  ASSERT_TRUE(SyncLine(line, {&leaving, &staying}));

  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    while (flooding && line.Write(std::string(1024, 'f'), std::chrono::milliseconds(200))) {
    }
  });
  ASSERT_FALSE(staying.Receive(4096).empty());
  leaving.Reset();
  ASSERT_FALSE(staying.Receive(64 * 1024).empty());
  flooding = false;
  flood.join();
  ASSERT_TRUE(line.Write("#end#"));
  std::string rest;
  while (rest.find("#end#") == std::string::npos) {
    std::string got = staying.Receive(1);
    ASSERT_FALSE(got.empty()) << "the marker did not come";
    rest += got;
  }
  Client newcomer(device_port);
  ASSERT_TRUE(SyncLine(line, {&newcomer, &staying}));
  Stop();
}

}  // namespace
