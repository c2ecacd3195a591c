#pragma once
// Process, socket and measurement helpers for the benchmarks.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

// A child process started with execv; killed (SIGTERM, then SIGKILL) and reaped on destruction.
class Process {
 public:
  Process(const std::vector<std::string>& argv, const std::string& directory = "",
          const std::string& output = "/dev/null");
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  pid_t pid() const { return pid_; }
  void Stop();

 private:
  pid_t pid_ = -1;
};

// Loopback TCP helpers (blocking sockets).
int ConnectLoopback(int port);  // -1 on failure
int ConnectWithRetry(int port, std::chrono::milliseconds timeout);
bool SendAll(int fd, const char* data, std::size_t size);
bool ReceiveExactly(int fd, char* data, std::size_t size);
int FreePort();

// CPU time (user + system) of a process and of all its threads, in seconds.
double CpuSeconds(pid_t pid);
// Proportional set size of a process in KiB (/proc/pid/smaps_rollup).
long PssKiB(pid_t pid);
// Children of a process (one level).
std::vector<pid_t> ChildrenOf(pid_t pid);

void RaiseFileLimit();
std::string MakeTempDir();
void RemoveTree(const std::string& path);
void WriteFile(const std::string& path, const std::string& contents);

}  // namespace bench
