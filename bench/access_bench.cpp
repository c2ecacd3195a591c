// Refusing a flood: peers that a channel's allow-list shuts out connect as fast as the
// benchmark's connector threads can, while a healthy device and server of the same channel do
// round trips. Not a test: prints a table.
//
//   access_bench <tcp_port_serv> [--rounds N] [--seconds S] [--connectors C]
//
// Each round runs a type-2 channel as the service (reporting to the benchmark's notify socket,
// its event-log entries to a socket the benchmark reads) with "allow server 127.0.0.1". C
// threads connect from 127.0.0.2 to its server port, each waiting for the relay to close the
// connection before the next, for S seconds; one connector paced to 1000 a second does the
// same. The healthy pair's round trips are taken quiet and during each flood, and during the
// full flood against a port where nothing listens (the system refuses it): the connectors'
// own load on the machine, without the relay's part. Defaults: 3 rounds, 5 s, 8 connectors.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

using namespace bench;
using namespace std::chrono_literals;

namespace {

struct Settings {
  int rounds = 3;
  int seconds = 5;
  int connectors = 8;
};

// Event-log datagrams sent to a socket of the benchmark; counts those that tell of refusals.
class EntryCounter {
 public:
  explicit EntryCounter(std::string path) : path_(std::move(path)), fd_(BindDatagramSocket(path_)) {
    thread_ = std::thread([this] {
      char buffer[65536];
      while (!stop_) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0 && std::string(buffer, static_cast<std::size_t>(n)).find("refused peer") != std::string::npos) {
          ++refusal_entries_;
        }
      }
    });
  }
  ~EntryCounter() {
    stop_ = true;
    thread_.join();
    close(fd_);
    unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  int refusal_entries() const { return refusal_entries_; }

 private:
  std::string path_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> refusal_entries_{0};
  std::thread thread_;
};

// Connects from 127.0.0.2 to `port` until `until`, one connection after another, each time
// waiting for the far end to close or refuse, at most one every `pace` (0: as fast as it
// can); answers how many connections ended so.
long long Flood(int port, Clock::time_point until, Clock::duration pace) {
  long long ended = 0;
  sockaddr_in from{}, to{};
  from.sin_family = to.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(0x7F000002u);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<uint16_t>(port));
  const auto start = Clock::now();
  while (Clock::now() < until) {
    if (pace > Clock::duration::zero()) std::this_thread::sleep_until(start + ended * pace);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    bool done = false;
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0) {
      if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        done = errno == ECONNREFUSED;
      } else {
        char byte;
        pollfd p{fd, POLLIN, 0};
        done = poll(&p, 1, 5000) > 0 && recv(fd, &byte, 1, 0) <= 0;  // closed without a byte
      }
    }
    close(fd);
    if (!done) break;
    ++ended;
  }
  return ended;
}

// What a flood did: connections refused per second, and the healthy pair's round trips meanwhile.
struct FloodFigures {
  double per_s = -1;
  double median_ms = -1, p99_ms = -1;
};

// `connectors` floods at once (or one at 1000 a second, when paced), while the pair of
// `device` does round trips.
FloodFigures FloodBeside(int device, int port, int connectors, bool paced, const Settings& s) {
  FloodFigures f;
  const auto start = Clock::now();
  const auto until = start + std::chrono::seconds(s.seconds);
  std::atomic<long long> total{0};
  std::atomic<bool> flooding{true};
  std::vector<double> times;
  std::thread pair([&] {
    while (flooding && TimedRoundTrips(device, 20, &times)) {
    }
  });
  std::vector<std::thread> floods;
  for (int i = 0; i < connectors; ++i) {
    floods.emplace_back([&] { total += Flood(port, until, paced ? Clock::duration(1ms) : Clock::duration::zero()); });
  }
  for (std::thread& flood : floods) flood.join();
  f.per_s = static_cast<double>(total) / std::chrono::duration<double>(Clock::now() - start).count();
  flooding = false;
  pair.join();
  std::tie(f.median_ms, f.p99_ms) = MedianAndP99(times);
  return f;
}

struct Figures {
  double quiet_median_ms = -1, quiet_p99_ms = -1;
  // 1000 a second and all connectors, to the relay and to a port where nothing listens.
  FloodFigures paced, full, paced_nobody, nobody;
  double cpu_us_per_refusal = -1;    // in the full flood
  int entries = -1;
  double longest_report_gap_ms = -1;
};

Figures Round(const std::string& exe, const std::string& dir, const Settings& s) {
  Figures f;
  const std::string run = dir + "/run";
  RemoveTree(run);
  std::filesystem::create_directories(run);
  const int device_port = FreePort(), server_port = FreePort();
  WriteFile(run + "/cnf_port.cfg",
            std::to_string(device_port) + ";0;2;" + std::to_string(server_port) + ";bench\r\n");
  WriteFile(run + "/cnf_options.cfg", "allow server 127.0.0.1\n");
  std::filesystem::copy_file(exe, run + "/tcp_port_serv");
  StatusListener status(run + "/notify");
  EntryCounter entries(run + "/log");
  setenv("NOTIFY_SOCKET", status.path().c_str(), 1);
  setenv("KORVENET_EVENTLOG", entries.path().c_str(), 1);
  Process relay({run + "/tcp_port_serv"}, run);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("KORVENET_EVENTLOG");

  const int device = ConnectWithRetry(device_port, 10s);
  const int server = ConnectWithRetry(server_port, 10s);
  if (device < 0 || server < 0) return f;
  std::thread echo([server] {
    char buffer[4096];
    for (ssize_t n; (n = recv(server, buffer, sizeof buffer, 0)) > 0;) {
      if (!SendAll(server, buffer, static_cast<std::size_t>(n))) break;
    }
  });
  std::vector<double> quiet;
  if (TimedRoundTrips(device, 2000, &quiet)) {
    std::tie(f.quiet_median_ms, f.quiet_p99_ms) = MedianAndP99(quiet);
    const int nobody = FreePort();
    f.paced_nobody = FloodBeside(device, nobody, 1, true, s);
    f.paced = FloodBeside(device, server_port, 1, true, s);
    f.nobody = FloodBeside(device, nobody, s.connectors, false, s);
    const double cpu_before = CpuSeconds(relay.pid());
    const auto from = Clock::now();
    f.full = FloodBeside(device, server_port, s.connectors, false, s);
    const auto to = Clock::now();
    const double seconds = std::chrono::duration<double>(to - from).count();
    f.cpu_us_per_refusal = (CpuSeconds(relay.pid()) - cpu_before) * 1e6 / (f.full.per_s * seconds);
    std::this_thread::sleep_for(200ms);  // the entries of the last refusals
    f.entries = entries.refusal_entries();
    Clock::time_point last = from;
    double gap = 0;
    for (auto report : status.RunningReportsSince(from)) {
      if (report > to) break;
      gap = std::max(gap, std::chrono::duration<double, std::milli>(report - last).count());
      last = report;
    }
    f.longest_report_gap_ms = std::max(gap, std::chrono::duration<double, std::milli>(to - last).count());
  }
  shutdown(server, SHUT_RDWR);
  echo.join();
  close(device);
  close(server);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  const std::string exe = ParseBenchArguments(
      argc, argv, {.numbers = {{"--rounds", &s.rounds}, {"--seconds", &s.seconds}, {"--connectors", &s.connectors}}},
      "[--rounds N] [--seconds S] [--connectors C]");
  RaiseFileLimit();
  const std::string dir = MakeTempDir();
  std::printf("%d connectors from 127.0.0.2, %d s per flood; round trips of the healthy pair: median (p99), ms\n\n",
              s.connectors, s.seconds);
  std::printf("| round | quiet | 1000/s, no listener | 1000/s, relay | full, no listener | full, relay | refused/s, "
              "no listener | refused/s, relay | relay CPU/refusal, us | entries | longest report gap, ms |\n");
  std::printf("|------:|------:|--------------------:|--------------:|------------------:|------------:|---------------"
              "-------:|-----------------:|----------------------:|--------:|-----------------------:|\n");
  auto rtt = [](double median, double p99) {
    char text[40];
    std::snprintf(text, sizeof text, "%.3f (%.2f)", median, p99);
    return std::string(text);
  };
  for (int r = 1; r <= s.rounds; ++r) {
    const Figures f = Round(exe, dir, s);
    std::printf("| %5d | %s | %s | %s | %s | %s | %22.0f | %16.0f | %21.1f | %7d | %22.0f |\n", r,
                rtt(f.quiet_median_ms, f.quiet_p99_ms).c_str(),
                rtt(f.paced_nobody.median_ms, f.paced_nobody.p99_ms).c_str(),
                rtt(f.paced.median_ms, f.paced.p99_ms).c_str(), rtt(f.nobody.median_ms, f.nobody.p99_ms).c_str(),
                rtt(f.full.median_ms, f.full.p99_ms).c_str(), f.nobody.per_s, f.full.per_s, f.cpu_us_per_refusal,
                f.entries, f.longest_report_gap_ms);
    std::fflush(stdout);
  }
  std::printf("\n(-1: the relay did not start or the pair did not relay)\n");
  RemoveTree(dir);
  return 0;
}
