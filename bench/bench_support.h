#pragma once
// Process, socket and measurement helpers for the benchmarks.

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// A child process started with execvp in a process group of its own; the group is killed
// (SIGTERM, then SIGKILL) and the child reaped on destruction.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::string& directory = "",
          const std::string& output = "/dev/null");
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  pid_t pid() const { return pid_; }
  // True while the child has not exited (an exited child is reaped here).
  bool Running();
  void Stop();

 private:
  pid_t pid_ = -1;
};

// A Unix datagram socket bound to `path` (anything there first removed); -1 on failure.
int BindDatagramSocket(const std::string& path);

// The notify socket a Korvenet run as the service reports to; remembers when each running
// report arrived (a thread of its own reads them).
class StatusListener {
 public:
  explicit StatusListener(std::string path);
  ~StatusListener();
  StatusListener(const StatusListener&) = delete;
  StatusListener& operator=(const StatusListener&) = delete;
  const std::string& path() const { return path_; }
  // Arrival times of the running reports received since `from`.
  std::vector<Clock::time_point> RunningReportsSince(Clock::time_point from);

 private:
  void Run();
  std::string path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex lock_;
  std::vector<Clock::time_point> running_reports_;
};

// Loopback TCP helpers (blocking sockets).
// -1 on failure. A receive buffer set before connecting (0: the system's) makes a client that
// does not read fill up at once.
int ConnectLoopback(int port, int receive_buffer = 0);
int ConnectWithRetry(int port, std::chrono::milliseconds timeout);
bool SendAll(int fd, const char* data, std::size_t size);
bool ReceiveExactly(int fd, char* data, std::size_t size);
int FreePort();
// Two free loopback ports, different from each other.
std::pair<int, int> FreePortPair();

// Round trips of an 8-byte request through `fd` (blocking), each answered by 8 bytes; appends
// their times in ms to `times_ms` when given. False when one failed.
bool TimedRoundTrips(int fd, int rounds, std::vector<double>* times_ms = nullptr);
// The median and the 99th percentile of `times_ms`; {-1, -1} when there are none.
std::pair<double, double> MedianAndP99(std::vector<double> times_ms);

// Non-blocking descriptors: poll-based waits and writes that give up at a deadline.
void SetNonBlocking(int fd);
// Waits until fd reports one of `events` (or an error or hang-up): returns what poll reported,
// 0 at the deadline.
short WaitFor(int fd, short events, Clock::time_point deadline);
// Writes all bytes to a non-blocking descriptor; false on error or at the deadline.
bool WriteAllUntil(int fd, const char* data, std::size_t size, Clock::time_point deadline);

// The byte at offset i of every checked transfer.
inline char PatternByte(std::size_t i) { return static_cast<char>((i * 2654435761u) >> 13); }

// CPU time (user + system) of a process and of all its threads, in seconds.
double CpuSeconds(pid_t pid);
// Proportional set size of a process in KiB (/proc/pid/smaps_rollup).
long PssKiB(pid_t pid);
// Resident set size of a process in KiB (VmRSS of /proc/pid/status); 0 when it cannot be read.
long RssKiB(pid_t pid);
// Children of a process (one level).
std::vector<pid_t> ChildrenOf(pid_t pid);

// The relay's executable named by the first argument, made absolute; without one, prints
// "usage: <program> <path to tcp_port_serv><more_usage>" and exits with 2.
std::string RelayExecutableArgument(int argc, char** argv, const char* more_usage = "");
// One row of a comparison table: ours, the peer's, and how many times better ours is.
void Row(const char* name, const char* unit, double ours, double theirs, bool higher_is_better, int decimals = 2);

// The relay's executable copied into a temporary directory of its own beside `channel_file`
// and run there in the foreground (-console, its output in console.txt); stopped and removed
// when destroyed.
class ConsoleRelay {
 public:
  ConsoleRelay(const std::string& exe, const std::string& channel_file);
  ~ConsoleRelay();
  ConsoleRelay(const ConsoleRelay&) = delete;
  ConsoleRelay& operator=(const ConsoleRelay&) = delete;
  Process& process() { return *process_; }
  pid_t pid() const { return process_->pid(); }
  // What it wrote to its console so far (status lines and event-log entries).
  std::string Console() const;

 private:
  std::string dir_;
  std::unique_ptr<Process> process_;
};

// A channel-file line that joins device port `device` to server port `server` (type 2).
std::string TcpChannelLine(int device, int server);

void RaiseFileLimit();

// What a benchmark takes on its command line besides the relay's executable: numeric options
// (whole numbers from 1), text options, switches, and where "--earlier" puts another
// executable (not taken when null).
struct BenchOptions {
  std::map<std::string, int*> numbers = {};
  std::map<std::string, std::string*> texts = {};
  std::map<std::string, bool*> switches = {};
  std::string* earlier = nullptr;
};
// The relay's executable, made absolute, with the options stored where `options` says (an
// earlier executable made absolute too). Anything else, or no executable, prints "usage:
// <program> <tcp_port_serv> <usage>" and exits with 2.
std::string ParseBenchArguments(int argc, char** argv, const BenchOptions& options, const char* usage);
// Whether `part` is in the comma-separated `only` list; an empty list selects every part.
bool Selected(const std::string& only, const char* part);
std::string MakeTempDir();
void RemoveTree(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

}  // namespace bench
