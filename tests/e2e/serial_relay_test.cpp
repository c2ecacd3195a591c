// Type-1 channels through the real executable, with a pseudo-terminal as the serial line:
// the test holds the far end (the master) and the relay opens the terminal as its port.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "relay/log_texts.h"
#include "tests/e2e/relay_fixture.h"

namespace {

using test::Client;

// The far end of a serial line.
class FarDevice {
 public:
  FarDevice() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    ::grantpt(master_);
    ::unlockpt(master_);
    termios raw{};
    ::tcgetattr(master_, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(master_, TCSANOW, &raw);
    path_ = ::ptsname(master_);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~FarDevice() { ::close(master_); }
  const std::string& path() const { return path_; }

  // False when the line did not take every byte within the timeout.
  bool Write(const std::string& bytes, std::chrono::milliseconds timeout = test::kDeadline) {
    std::size_t done = 0;
    auto end = test::Clock::now() + timeout;
    while (done < bytes.size()) {
      if (test::Clock::now() > end) return false;
      pollfd p{master_, POLLOUT, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno != EAGAIN) return false;
      if (n > 0) done += static_cast<std::size_t>(n);
    }
    return true;
  }
  std::string Read(std::size_t count, std::chrono::milliseconds timeout = test::kDeadline) {
    std::string out;
    auto end = test::Clock::now() + timeout;
    while (out.size() < count && test::Clock::now() < end) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      char buffer[4096];
      ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - out.size()));
      if (n <= 0) break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }

 private:
  int master_ = -1;
  std::string path_;
};

// Writes probes to the line until every device has one, then a marker, and drains each device
// up to the marker. False when anything but probes came first.
bool SyncLine(FarDevice& line, const std::vector<Client*>& devices) {
  std::vector<std::string> seen(devices.size());
  auto all_reached = [&] {
    for (auto& s : seen)
      if (s.empty()) return false;
    return true;
  };
  auto end = test::Clock::now() + test::kDeadline;
  while (!all_reached() && test::Clock::now() < end) {
    if (!line.Write("P")) return false;
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (seen[i].empty()) seen[i] += devices[i]->Receive(1, std::chrono::milliseconds(20));
    }
  }
  if (!all_reached() || !line.Write("#")) return false;
  for (std::size_t i = 0; i < devices.size(); ++i) {
    while (seen[i].find('#') == std::string::npos) {
      std::string got = devices[i]->Receive(1);
      if (got.empty()) return false;
      seen[i] += got;
    }
    if (seen[i].find_first_not_of('P') != seen[i].size() - 1) return false;
  }
  return true;
}

std::string SerialChannel(int device_port, const std::string& port_name) {
  return std::to_string(device_port) + ";0;1;" + port_name + ";line\r\n";
}

class SerialRelay : public e2e::RelayProcess {};

TEST_F(SerialRelay, RelaysBothWaysWithTwoDevices) {
  FarDevice line;
  const int device_port = test::FreePort();
  Start(SerialChannel(device_port, line.path()));
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
  Start(SerialChannel(first, line.path()) + SerialChannel(second, line.path()) +
        SerialChannel(missing, "/dev/korvenet-no-such-port") + SerialChannel(test::FreePort(), ""));
  Client on_busy(second);
  ASSERT_TRUE(on_busy.SendAll("dropped"));
  ASSERT_TRUE(test::WaitUntil([&] { return e2e::RelayUnread(second, e2e::LocalPortOf(on_busy)) == 0; }));
  Client on_open(first);
  ASSERT_TRUE(on_open.SendAll("written"));
  EXPECT_EQ(line.Read(7), "written");
  Stop();
  EXPECT_EQ(ServiceLogTexts(),
            (std::vector<std::string>{kServiceStartText, std::string(kComPortOpenFailedText) + line.path(),
                                      std::string(kComPortOpenFailedText) + "/dev/korvenet-no-such-port",
                                      kComPortOpenFailedText, kServiceExecuteText}));
}

}  // namespace
