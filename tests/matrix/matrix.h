#pragma once
// The fault matrix: one scenario per fault, each run against the real executable. A scenario
// usually starts the relay with a heartbeat channel beside its own (Begin), does its harm,
// checks the bytes its peers received, closes its peers and ends with Conclude: the heartbeat
// was served all along, descriptors and threads are back to their baseline, and SIGTERM stops
// the relay cleanly with no sanitizer report.

#include <memory>
#include <string>
#include <vector>

#include "tests/matrix/matrix_support.h"
#include "tests/support/linux/socket_queue.h"

namespace matrix {

class Matrix {
 public:
  Matrix();
  // Stops what still runs and lets the scenario's ports go.
  ~Matrix();

  const TempDir& dir() const { return dir_; }
  // The installation the usual start uses (made on first use).
  Installation& installation();
  // Another installation, in a directory of its own.
  std::unique_ptr<Installation> NewInstallation(const std::string& name);

  // Writes the channel file (a heartbeat channel first, then `channels`), starts the relay,
  // waits until it runs, joins the heartbeat, lets the lazily opened parts open (one peer's
  // reset writes an entry) and takes the baseline.
  void Begin(const std::string& channels, LaunchOptions options = {});
  RelayRun& relay() { return *relay_; }
  Heartbeat& heartbeat() { return *heartbeat_; }
  // The heartbeat was served all along, resources are back to the baseline, a clean stop.
  void Conclude();

  // Waits until the relay holds `descriptors` more than its baseline (its own connections
  // opened or released): afterwards it has handled every accept or close before.
  ::testing::AssertionResult WaitForExtraDescriptors(int extra, milliseconds timeout = kDeadline);

  // Connects `count` peers to `port`, a few at a time, waiting each time until the relay has
  // accepted them (it holds `extra_before` connections of the scenario already). A listener's
  // backlog is 5: a client that connects faster than the relay accepts has its connection
  // request dropped, and the kernel asks again only a second later.
  ::testing::AssertionResult ConnectPaced(int port, int count, std::vector<Peer>& into, int extra_before);

  // The heartbeat's channel line and ports.
  const std::string& heartbeat_channel() const { return heartbeat_channel_; }
  int heartbeat_device_port() const { return heartbeat_device_; }
  int heartbeat_server_port() const { return heartbeat_server_; }

 private:
  TempDir dir_;
  std::unique_ptr<Installation> installation_;
  std::unique_ptr<RelayRun> relay_;
  std::unique_ptr<Heartbeat> heartbeat_;
  int heartbeat_device_ = 0;
  int heartbeat_server_ = 0;
  std::string heartbeat_channel_;
};

// No line of log_service.txt says that a channel failed to open.
::testing::AssertionResult EveryChannelOpened(const Installation& installation);

// The share of a core a process used over a short window (a measurement, not a wait).
double CpuShareOver(pid_t pid, milliseconds window);

// Runs `body` on a thread and joins it when destroyed.
class Background {
 public:
  explicit Background(std::function<void()> body) : thread_(std::move(body)) {}
  ~Background() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
};

// The scenarios. Each is one row of the table in fault_matrix_test.cpp.
// Streams: resets, half-closes and peers that come and go (scenarios_streams.cpp).
void DeviceResetMidStream(Matrix& m);
void ServerResetMidStream(Matrix& m);
void DeviceHalfCloseInFlight(Matrix& m);
void ServerHalfCloseInFlight(Matrix& m);
void ServersComeAndGoDuringAStream(Matrix& m);
void MixedTrafficBothWays(Matrix& m);
void BusyServerPortDropsDeviceBytes(Matrix& m);
void SerialDeviceHalfClose(Matrix& m);
void SerialDeviceResetDuringWrite(Matrix& m);
void SerialFarEndClosesMidStream(Matrix& m);
void StalledReaderBesideHealthy(Matrix& m);
void StuckSerialLine(Matrix& m);
// Load: many devices, many connections, many channels, too few descriptors (scenarios_load.cpp).
void FiftyDevicesFloodOneServer(Matrix& m);
void DevicesFloodWithoutPause(Matrix& m);
void TenThousandConnectionsComeAndGo(Matrix& m);
void TwoThousandIdleConnections(Matrix& m);
void FourHundredChannels(Matrix& m);
void DescriptorsRunOut(Matrix& m);
// Pace: slow readers beside fast ones, and sources that outrun them (scenarios_pace.cpp).
void DeviceChurnAgainstASlowReader(Matrix& m);
void StalledServerThatSendsFast(Matrix& m);
void BurstySourceToReadersOfTwoPaces(Matrix& m);
void SteadySourceToReadersOfTwoPaces(Matrix& m);
// The process: signals, stops, its files and its sockets (scenarios_process.cpp).
void StopDuringStartUp(Matrix& m, int moment);
void StopDuringTransfer(Matrix& m, int moment);
void InterrogateBySighup(Matrix& m);
void ShutdownBySigpwr(Matrix& m);
void EventLogNeverReads(Matrix& m);
void NotifySocketNeverReads(Matrix& m);
void LogDirectoryTurnsReadOnly(Matrix& m);
void ChannelFileReplacedWhileRunning(Matrix& m);
void TwoInstancesInOneDirectory(Matrix& m);
void StatusNameTakenByAnotherUser(Matrix& m);

constexpr int kStopMoments = 10;  // of start-up, and as many of a transfer

}  // namespace matrix
