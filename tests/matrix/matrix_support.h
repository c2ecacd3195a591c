#pragma once
// What the fault matrix drives the real executable with: the executable in a temporary
// directory, run as a child process with the test playing systemd (a notify socket) and syslog
// (an event-log socket), loopback sockets and pseudo-terminals as its peers, and the checks
// every scenario ends with (descriptors and threads back to their baseline, a clean exit, no
// sanitizer report).

#include <sys/resource.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/linux/notify_fields.h"
#include "tests/support/test_support.h"

namespace matrix {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
// How long any awaited condition may take before the scenario fails.
constexpr milliseconds kDeadline{20000};

// The share of the full counts a scenario runs with: 1 unless KORVENET_MATRIX_SCALE says
// otherwise (a smaller share for a relay built with the slower thread checks, say).
double Scale();
// n scaled, at least `minimum`.
int Scaled(int n, int minimum = 1);

// From the shared test support (header-only, so this uninstrumented program needs none of
// its sanitized library).
using test::ParseNotify;
using test::ReadFile;
using test::TempDir;
using test::WaitUntil;
using test::WriteFile;

// A TCP port below the ephemeral range that was free on all addresses a moment ago, so that no
// outgoing connection of a test takes it before the relay binds it, and that no other process
// of the matrix takes until ReleasePorts.
int TakePort();
// Lets the ports TakePort gave go (at the end of a scenario).
void ReleasePorts();
// A loopback connection to `port` from a local port of the matrix's own, also below the
// ephemeral range (see matrix_support.cpp); with `blocking` false the connect may still be in
// progress. The descriptor, or -1.
int ConnectFromOwnPort(int port, bool blocking, int receive_buffer = 0);
// Raises this process's descriptor limit to its hard limit (scenarios hold thousands).
void RaiseFileLimit();

// `size` bytes of a pattern that differs with `seed` and has no short period.
std::string Pattern(std::size_t size, unsigned seed);
// `got` is a start of `sent`.
inline bool IsPrefix(const std::string& got, const std::string& sent) {
  return got.size() <= sent.size() && sent.compare(0, got.size(), got) == 0;
}

// A loopback TCP client on a blocking socket.
class Peer {
 public:
  Peer() = default;
  explicit Peer(int port) { Connect(port); }
  // With a receive buffer of about `receive_buffer` bytes (set before connecting, so that the
  // window stays small): a peer that fills up at once when it does not read.
  Peer(int port, int receive_buffer) { Connect(port, receive_buffer); }
  ~Peer() { Close(); }
  Peer(Peer&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Peer& operator=(Peer&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }

  bool Connect(int port, int receive_buffer = 0);
  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int LocalPort() const;

  bool SendAll(const std::string& bytes);
  // Reads until `count` bytes came, the peer closed, or the timeout passed.
  std::string Receive(std::size_t count, milliseconds timeout = kDeadline);
  // What is waiting, or what comes first within the timeout (empty: nothing came, or closed).
  std::string ReceiveSome(milliseconds timeout = kDeadline);
  // Reads until the peer closes (end of stream or reset) or the timeout passes; `closed` tells
  // which.
  std::string ReceiveUntilClosed(bool& closed, milliseconds timeout = kDeadline);
  // True once the peer has closed within the timeout (what arrives meanwhile is dropped).
  bool ClosedByPeer(milliseconds timeout = kDeadline);
  // True when nothing arrives within `quiet`.
  bool NothingWithin(milliseconds quiet);
  void ShutdownWrite();
  // Closes with a reset instead of an orderly close.
  void Reset();
  void Close();

 private:
  int fd_ = -1;
};

// Sends probes from `send` until each of `to` has received one, then a marker, and reads each
// up to it: afterwards the relay has accepted every connection of `to` and their streams are
// empty. False when anything but probes came before the marker.
bool Sync(const std::function<bool(const std::string&)>& send, const std::vector<Peer*>& to);
bool Sync(Peer& from, const std::vector<Peer*>& to);

// A pseudo-terminal pair as a serial line: the relay opens the terminal, the test holds the
// master as the far device.
class SerialLine {
 public:
  SerialLine();
  ~SerialLine() { CloseFarEnd(); }
  SerialLine(const SerialLine&) = delete;
  SerialLine& operator=(const SerialLine&) = delete;
  bool ok() const { return master_ >= 0 && !name_.empty(); }
  const std::string& name() const { return name_; }
  // False when the line did not take every byte within the timeout.
  bool Write(const std::string& bytes, milliseconds timeout = kDeadline);
  // Reads until `count` bytes came or the timeout passed.
  std::string Read(std::size_t count, milliseconds timeout = kDeadline);
  // What is waiting, or what comes first within the timeout.
  std::string ReadSome(milliseconds timeout);
  void CloseFarEnd();

 private:
  int master_ = -1;
  std::string name_;
};

// A channel file line.
std::string TcpChannel(int device_port, int server_port, const std::string& label = "tcp");
std::string SerialChannel(int device_port, const std::string& line, const std::string& label = "line");

// A Unix datagram socket bound at a path, the listening end of the notify or syslog protocol.
// Unless it is told not to, a thread of its own reads and keeps every datagram, so the relay's
// sends never wait for the test.
class DatagramSink {
 public:
  DatagramSink(std::string path, bool read);
  ~DatagramSink();
  DatagramSink(const DatagramSink&) = delete;
  DatagramSink& operator=(const DatagramSink&) = delete;
  const std::string& path() const { return path_; }
  std::size_t Count();
  std::vector<std::string> Datagrams();
  // Waits until some datagram at or after index `from` satisfies `match`; answers its index.
  std::optional<std::size_t> WaitFor(const std::function<bool(const std::string&)>& match, std::size_t from = 0,
                                     milliseconds timeout = kDeadline);
  // Starts reading (for a sink made without reading), or stops: what comes then stays queued
  // in the socket until the queue is full, and later senders are refused or wait.
  void StartReading();
  void StopReading();
  // Takes at once what waits in the socket.
  void Drain();

 private:
  void ReadLoop();
  std::string path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::mutex lock_;
  std::condition_variable arrived_;
  std::vector<std::string> datagrams_;
  std::thread reader_;
};


// Descriptors and threads of a running process.
struct Resources {
  int descriptors = 0;
  int threads = 0;
};
Resources ResourcesOf(pid_t pid);
// CPU time (user and system) of a process so far, in seconds.
double CpuSecondsOf(pid_t pid);
// The resident size of a process (VmRSS), in KiB; 0 when it cannot be read.
long RssKiB(pid_t pid);

// The executable copied into a directory of its own, beside its channel file and its logs (the
// build's own, or the one KORVENET_MATRIX_EXE names).
class Installation {
 public:
  explicit Installation(const std::filesystem::path& directory);
  const std::filesystem::path& directory() const { return directory_; }
  const std::string& executable() const { return executable_; }
  std::string file(const std::string& name) const { return (directory_ / name).string(); }
  void WriteChannels(const std::string& channel_file) const;
  // The texts of log_service.txt in order, each without its stamp (the C locale's
  // "mm/dd/yy[ hh:mm:ss] "); a line without a well-formed stamp is kept whole behind "?".
  std::vector<std::string> ServiceLogTexts() const;

 private:
  std::filesystem::path directory_;
  std::string executable_;
};

struct LaunchOptions {
  std::vector<std::string> arguments;
  // Extra environment (the test's own is passed on, with the C locale).
  std::map<std::string, std::string> environment;
  // False: the event-log socket is bound but never read.
  bool read_event_log = true;
  // Runs the relay as this user (the test runs as the superuser, who ignores permissions).
  std::optional<uid_t> user;
  // The relay's descriptor limit, soft and hard.
  std::optional<rlim_t> file_limit;
};

// The options of a run of -status.
inline LaunchOptions StatusSwitch() {
  LaunchOptions options;
  options.arguments = {"-status"};
  return options;
}

// One run of an installation's executable as the service, with its own notify and event-log
// sockets. Killed, if still running, when destroyed.
class RelayRun {
 public:
  RelayRun(const Installation& installation, const std::string& name, LaunchOptions options = {});
  ~RelayRun();
  RelayRun(const RelayRun&) = delete;
  RelayRun& operator=(const RelayRun&) = delete;

  pid_t pid() const { return pid_; }
  bool launched() const { return pid_ > 0; }
  DatagramSink& notify() { return *notify_; }
  DatagramSink& event_log() { return *event_log_; }

  // Waits for a status report with X_STATE `state` (4 running, 1 stopped).
  bool WaitForState(const std::string& state, milliseconds timeout = kDeadline);
  bool WaitRunning() { return WaitForState("4"); }
  // Every X_STATE reported so far, in order.
  std::vector<std::string> States();

  void Signal(int number) const;
  // Waits for the process to end; false when it still runs at the timeout.
  bool WaitExit(milliseconds timeout = kDeadline);
  bool exited() const { return exited_; }
  int status() const { return status_; }
  // The process's standard error (sanitizer reports land there).
  std::string Stderr() const;

  // The descriptors and threads of the quiet, running relay: the least seen over a short while,
  // so that a report's passing socket is not counted.
  void TakeBaseline();
  const Resources& baseline() const { return baseline_; }
  // Descriptors and threads are back to the baseline (waits for it).
  ::testing::AssertionResult BackToBaseline(milliseconds timeout = kDeadline);

  // SIGTERM, then the stopped report and ExitedCleanly.
  ::testing::AssertionResult StopCleanly(milliseconds timeout = kDeadline);
  // Exit code 0 and no sanitizer report (the process must have ended).
  ::testing::AssertionResult ExitedCleanly() const;

 private:
  const Installation& installation_;
  std::unique_ptr<DatagramSink> notify_;
  std::unique_ptr<DatagramSink> event_log_;
  bool event_log_reading_ = true;
  std::string stderr_path_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
  Resources baseline_;
  std::string baseline_descriptors_;
};

// A sanitizer's report in a process's standard error, or nothing.
std::optional<std::string> SanitizerReport(const std::string& stderr_text);

// A device and a server on a channel of their own doing round trips on a thread, to show that
// a scenario's trouble does not reach the other channels.
class Heartbeat {
 public:
  Heartbeat(int device_port, int server_port);
  ~Heartbeat();
  Heartbeat(const Heartbeat&) = delete;
  Heartbeat& operator=(const Heartbeat&) = delete;
  // The pair was joined and beats.
  bool started() const { return started_; }
  // Counts rounds from now on.
  void Mark();
  // Every round so far came back whole, none took longer than the bound, and at least
  // `min_rounds` came since Mark (waits for them).
  ::testing::AssertionResult Healthy(int min_rounds = 3);
  // Stops beating (before the relay stops).
  void End();
  milliseconds Slowest() const { return milliseconds(slowest_ms_.load()); }

 private:
  void Beat();
  Peer device_, server_;
  bool started_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> rounds_{0};
  std::atomic<int> marked_{0};
  std::atomic<long> slowest_ms_{0};
  std::mutex lock_;
  std::string failure_;
  std::thread thread_;
};

// The longest round trip a heartbeat may take. Loose: the machine is small and noisy and the
// sanitizer builds are slow; a relay that holds other channels hostage takes far longer.
constexpr milliseconds kHeartbeatBound{5000};

}  // namespace matrix
