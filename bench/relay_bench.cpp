// Side-by-side benchmark of a type-2 channel against socat doing the same job:
// throughput (64 MiB, every byte checked), round trip of small messages, CPU while idle with
// 400 channels open, and memory per idle connection. Not a test: prints a table.
//
//   relay_bench <path to tcp_port_serv>
//   relay_bench <path to tcp_port_serv> channels   (the relay alone: 1 against 400 channels)

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

using namespace bench;
using namespace std::chrono_literals;

namespace {

std::string relay_exe;

// One relay under test: something that joins a device port to a server port.
struct Relay {
  virtual ~Relay() = default;
  virtual std::vector<pid_t> Pids() const = 0;
  int device_port = 0;
  int server_port = 0;
};

struct KorvenetRelay : Relay {
  std::string dir;
  std::unique_ptr<Process> process;
  explicit KorvenetRelay(const std::vector<std::pair<int, int>>& channels) {
    dir = MakeTempDir();
    std::string config;
    for (auto [d, s] : channels) config += std::to_string(d) + ";0;2;" + std::to_string(s) + ";bench\r\n";
    WriteFile(dir + "/cnf_port.cfg", config);
    std::filesystem::copy_file(relay_exe, dir + "/tcp_port_serv");
    device_port = channels[0].first;
    server_port = channels[0].second;
    process = std::make_unique<Process>(std::vector<std::string>{dir + "/tcp_port_serv", "-console"}, dir,
                                        dir + "/console.txt");
    int fd = ConnectWithRetry(channels.back().first, 10s);
    if (fd >= 0) close(fd);
  }
  ~KorvenetRelay() override {
    process.reset();
    RemoveTree(dir);
  }
  std::vector<pid_t> Pids() const override { return {process->pid()}; }
};

// socat accepting on both sides, as the relay does: first the device side, then the server side.
struct SocatRelay : Relay {
  std::vector<std::unique_ptr<Process>> processes;
  explicit SocatRelay(const std::vector<std::pair<int, int>>& channels) {
    for (auto [d, s] : channels) {
      processes.push_back(std::make_unique<Process>(std::vector<std::string>{
          "socat", "-b", "65536", "TCP-LISTEN:" + std::to_string(d) + ",reuseaddr",
          "TCP-LISTEN:" + std::to_string(s) + ",reuseaddr"}));
    }
    device_port = channels[0].first;
    server_port = channels[0].second;
  }
  std::vector<pid_t> Pids() const override {
    std::vector<pid_t> out;
    for (auto& p : processes) out.push_back(p->pid());
    return out;
  }
};

std::vector<std::pair<int, int>> FreePortPairs(int n) {
  std::vector<std::pair<int, int>> out;
  std::vector<int> used;
  while (static_cast<int>(out.size()) < n) {
    int a = FreePort(), b = FreePort();
    if (a == b || std::find(used.begin(), used.end(), a) != used.end() ||
        std::find(used.begin(), used.end(), b) != used.end())
      continue;
    used.push_back(a);
    used.push_back(b);
    out.emplace_back(a, b);
  }
  return out;
}

// Connects a device and a server and waits until bytes pass from the device to the server.
bool Join(const Relay& relay, int& device, int& server) {
  device = ConnectWithRetry(relay.device_port, 10s);
  server = ConnectWithRetry(relay.server_port, 10s);
  if (device < 0 || server < 0) return false;
  auto end = Clock::now() + 10s;
  while (Clock::now() < end) {
    SendAll(device, "p", 1);
    pollfd p{server, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      // Drain the probes still in flight.
      char buffer[256];
      while (true) {
        pollfd q{server, POLLIN, 0};
        if (poll(&q, 1, 300) <= 0) break;
        if (recv(server, buffer, sizeof buffer, 0) <= 0) return false;
      }
      return true;
    }
  }
  return false;
}

// MB/s of a 64 MiB transfer from device to server; -1 when a byte was lost or changed.
double Throughput(Relay& relay) {
  int device, server;
  if (!Join(relay, device, server)) {
    std::fprintf(stderr, "throughput: the relay did not pass the probe\n");
    return -1;
  }
  const std::size_t total = 64u << 20;
  std::atomic<bool> ok{true};
  auto start = Clock::now();
  std::thread sender([&] {
    std::vector<char> chunk(65536);
    for (std::size_t sent = 0; sent < total; sent += chunk.size()) {
      for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = PatternByte(sent + i);
      if (!SendAll(device, chunk.data(), chunk.size())) {
        ok = false;
        return;
      }
    }
  });
  std::vector<char> buffer(1 << 17);
  std::size_t got = 0;
  while (got < total) {
    ssize_t n = recv(server, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i)
      if (buffer[i] != PatternByte(got + i)) ok = false;
    got += static_cast<std::size_t>(n);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sender.join();
  close(device);
  close(server);
  if (!ok || got != total) {
    std::fprintf(stderr, "throughput: %zu of %zu bytes arrived%s\n", got, total, ok ? "" : ", some changed");
    return -1;
  }
  return static_cast<double>(total) / 1e6 / seconds;
}

// Median and 99th percentile round trip in ms of 8-byte messages echoed by the server side.
std::pair<double, double> RoundTrip(Relay& relay, int rounds) {
  int device, server;
  if (!Join(relay, device, server)) return {-1, -1};
  std::thread echo([&] {
    char buffer[64];
    while (true) {
      ssize_t n = recv(server, buffer, sizeof buffer, 0);
      if (n <= 0 || !SendAll(server, buffer, static_cast<std::size_t>(n))) return;
    }
  });
  std::vector<double> times;
  TimedRoundTrips(device, rounds, &times);
  shutdown(server, SHUT_RDWR);
  echo.join();
  close(device);
  close(server);
  return MedianAndP99(std::move(times));
}

// Percent of one core used over `seconds` while nothing moves.
double IdleCpu(const Relay& relay, double seconds) {
  std::this_thread::sleep_for(1s);
  auto pids = relay.Pids();
  double before = 0, after = 0;
  for (pid_t p : pids) before += CpuSeconds(p);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  for (pid_t p : pids) after += CpuSeconds(p);
  return (after - before) / seconds * 100.0;
}

long TotalPss(const Relay& relay) {
  long total = 0;
  for (pid_t p : relay.Pids()) {
    total += PssKiB(p);
    for (pid_t c : ChildrenOf(p)) total += PssKiB(c);
  }
  return total;
}

// KiB per idle device connection, from the growth of the relay's memory.
double MemoryPerConnection(Relay& relay, int connections) {
  std::this_thread::sleep_for(500ms);
  long before = TotalPss(relay);
  std::vector<int> fds;
  for (int i = 0; i < connections; ++i) {
    int fd = ConnectLoopback(relay.device_port);
    if (fd >= 0) fds.push_back(fd);
  }
  std::this_thread::sleep_for(2s);
  long after = TotalPss(relay);
  for (int fd : fds) close(fd);
  if (fds.empty()) return -1;
  return static_cast<double>(after - before) / static_cast<double>(fds.size());
}

// CPU time of all threads of a process in seconds, to the nanosecond (the scheduler's own
// account, where /proc/pid/stat counts whole clock ticks).
double PreciseCpuSeconds(pid_t pid) {
  double total = 0;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long ns = 0;
    if (in >> ns) total += static_cast<double>(ns) / 1e9;
  }
  return total;
}

// Round trips of small messages on the first of `count` configured channels, and the relay's
// CPU time per round trip: what a read costs as the number of channels grows.
void ChannelCountRun(int count, int rounds) {
  auto ports = FreePortPairs(count);
  KorvenetRelay relay(ports);
  const double cpu_before = PreciseCpuSeconds(relay.process->pid());
  const auto start = Clock::now();
  const auto rtt = RoundTrip(relay, rounds);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const double cpu = PreciseCpuSeconds(relay.process->pid()) - cpu_before;
  std::printf("| %8d | %10.3f | %10.3f | %12.2f | %8.1f |\n", count, rtt.first, rtt.second, cpu / rounds * 1e6,
              cpu / seconds * 100);
}

}  // namespace

int main(int argc, char** argv) {
  relay_exe = RelayExecutableArgument(argc, argv);
  RaiseFileLimit();
  if (argc > 2 && std::string(argv[2]) == "throughput") {
    // Only the throughput, a few times over: for quick comparisons while tuning.
    for (int i = 0; i < 3; ++i) {
      auto ports = FreePortPairs(1);
      double ours, theirs;
      {
        KorvenetRelay relay(ports);
        ours = Throughput(relay);
      }
      {
        SocatRelay relay(ports);
        theirs = Throughput(relay);
      }
      std::printf("throughput MB/s: korvenet %.1f, socat %.1f\n", ours, theirs);
    }
    return 0;
  }

  if (argc > 2 && std::string(argv[2]) == "channels") {
    // Pin it to one core (taskset -c 0) for round trips that do not depend on the scheduler.
    std::printf("| %8s | %10s | %10s | %12s | %8s |\n", "channels", "median ms", "p99 ms", "CPU us/trip",
                "% core");
    for (int i = 0; i < 3; ++i) {
      ChannelCountRun(1, 10000);
      ChannelCountRun(400, 10000);
    }
    return 0;
  }

  double tput_ours, tput_socat;
  std::pair<double, double> rtt_ours, rtt_socat;
  {
    auto ports = FreePortPairs(1);
    {
      KorvenetRelay ours(ports);
      tput_ours = Throughput(ours);
    }
    {
      SocatRelay socat(ports);
      tput_socat = Throughput(socat);
    }
    ports = FreePortPairs(1);
    {
      KorvenetRelay ours(ports);
      rtt_ours = RoundTrip(ours, 300);
    }
    {
      SocatRelay socat(ports);
      rtt_socat = RoundTrip(socat, 300);
    }
  }
  double idle_ours, idle_socat;
  {
    auto ports = FreePortPairs(400);
    {
      KorvenetRelay ours(ports);
      idle_ours = IdleCpu(ours, 10);
    }
    {
      SocatRelay socat(ports);
      idle_socat = IdleCpu(socat, 10);
    }
  }
  double mem_ours, mem_socat;
  {
    auto ports = FreePortPairs(1);
    {
      KorvenetRelay ours(ports);
      mem_ours = MemoryPerConnection(ours, 1000);
    }
    // socat forks a process per connection, joined to a local listener that never reads.
    int sink = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(ports[0].second));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(sink, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(sink, 1024);
    struct ForkingSocat : Relay {
      std::unique_ptr<Process> process;
      std::vector<pid_t> Pids() const override { return {process->pid()}; }
    } socat;
    socat.device_port = ports[0].first;
    socat.process = std::make_unique<Process>(std::vector<std::string>{
        "socat", "TCP-LISTEN:" + std::to_string(ports[0].first) + ",reuseaddr,fork,backlog=1024",
        "TCP:127.0.0.1:" + std::to_string(ports[0].second)});
    int probe = ConnectWithRetry(ports[0].first, 10s);
    if (probe >= 0) close(probe);
    mem_socat = MemoryPerConnection(socat, 200);
    socat.process.reset();
    close(sink);
  }

  std::printf("| %-34s | %10s | %10s | %-6s | %6s |\n", "measure", "korvenet", "socat", "unit", "ratio");
  std::printf("|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(12, '-').c_str(),
              std::string(12, '-').c_str(), std::string(8, '-').c_str(), std::string(8, '-').c_str());
  Row("throughput 1:1, 64 MiB checked", "MB/s", tput_ours, tput_socat, true);
  Row("round trip 8 bytes, median", "ms", rtt_ours.first, rtt_socat.first, false);
  Row("round trip 8 bytes, 99th percentile", "ms", rtt_ours.second, rtt_socat.second, false);
  Row("idle CPU, 400 channels", "% core", idle_ours, idle_socat, false);
  Row("memory per idle connection", "KiB", mem_ours, mem_socat, false);
  std::printf("(ratio > 1: korvenet better; -1: the run failed or lost bytes)\n");
  return 0;
}
