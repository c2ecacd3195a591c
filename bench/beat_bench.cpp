// The status reports' beat under a flood: the longest time without a running report while many
// device connections send small pieces without pause to one server that reads as fast as it
// can. A relay whose run loop waits until nothing is left to handle stops reporting for as
// long as the flood lasts (and a watchdog then takes it for hung). Not a test: prints a table.
//
//   beat_bench <tcp_port_serv> [--earlier <tcp_port_serv>] [--rounds N] [--seconds S]
//              [--senders P] [--connections C] [--piece B]
//
// Each round runs every executable in turn: a type-2 channel run as the service, reporting to
// the benchmark; its server read by a thread of the benchmark; P sender processes with C
// device connections each, sending B-byte pieces whenever a connection takes one; S seconds
// measured once the flood has reached the server. Defaults: 3 rounds, 12 s, 4 senders of 50
// connections, 512-byte pieces.

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "peers.h"

using namespace bench;
using namespace std::chrono_literals;

namespace {

struct Settings {
  int rounds = 3;
  int seconds = 12;
  int senders = 4;
  int connections = 50;
  int piece = 512;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A sender process: connects its devices, then sends a piece to each whenever it can take one,
// until it is ended or no connection is left.
int RunSender(int port, int connections, int piece_size) {
  std::vector<pollfd> devices;
  for (int i = 0; i < connections; ++i) {
    const int fd = ConnectWithRetry(port, 10s);
    if (fd < 0) return 1;
    SetNonBlocking(fd);
    devices.push_back({fd, POLLOUT, 0});
    std::this_thread::sleep_for(2ms);  // the relay's backlog is 5
  }
  const std::string piece(static_cast<std::size_t>(piece_size), 'b');
  while (!devices.empty()) {
    if (poll(devices.data(), devices.size(), 100) <= 0) continue;
    for (std::size_t i = 0; i < devices.size();) {
      const bool failed = (devices[i].revents & (POLLERR | POLLHUP)) ||
                          ((devices[i].revents & POLLOUT) &&
                           send(devices[i].fd, piece.data(), piece.size(), MSG_NOSIGNAL) < 0 && errno != EAGAIN);
      if (failed) {
        close(devices[i].fd);
        devices.erase(devices.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
  }
  return 0;
}

struct Figures {
  double longest_gap_ms = -1;
  double median_gap_ms = -1;
  int reports = 0;
  double mb_per_s = -1;
};

// One flood against one executable.
Figures Flood(const std::string& exe, const std::string& self, const std::string& dir, const Settings& s) {
  Figures f;
  StatusListener status(dir + "/notify");
  auto peer = StartPeer("korvenet", exe, status.path());
  int device = -1, server = -1;
  if (!peer || !peer->Join(device, server)) return f;
  std::atomic<long long> received{0};
  std::thread reader([&] {
    std::vector<char> buffer(64 << 10);
    for (ssize_t n; (n = recv(server, buffer.data(), buffer.size(), 0)) > 0;) received += n;
  });
  {
    std::vector<std::unique_ptr<Process>> senders;
    const std::vector<std::string> sender{self, "--send", std::to_string(peer->device_port()),
                                          std::to_string(s.connections), std::to_string(s.piece)};
    for (int i = 0; i < s.senders; ++i) senders.push_back(std::make_unique<Process>(sender));
    // Measured once every sender has had time to connect and the flood reaches the server.
    std::this_thread::sleep_for(std::chrono::milliseconds(2 * s.connections + 500));
    const auto from = Clock::now();
    const long long bytes_before = received;
    std::this_thread::sleep_for(std::chrono::seconds(s.seconds));
    const auto to = Clock::now();
    f.mb_per_s = static_cast<double>(received - bytes_before) / 1e6 / std::chrono::duration<double>(to - from).count();
    std::vector<double> gaps;
    Clock::time_point last = from;
    for (auto report : status.RunningReportsSince(from)) {
      if (report > to) break;
      gaps.push_back(Ms(report - last));
      last = report;
      ++f.reports;
    }
    f.longest_gap_ms = std::max(gaps.empty() ? 0.0 : *std::max_element(gaps.begin(), gaps.end()), Ms(to - last));
    if (gaps.size() > 1) {
      gaps.erase(gaps.begin());  // from the start of the window: not a whole interval
      std::sort(gaps.begin(), gaps.end());
      f.median_gap_ms = gaps[gaps.size() / 2];
    }
  }
  shutdown(server, SHUT_RDWR);
  reader.join();
  close(device);
  close(server);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "--send") {
    return RunSender(std::atoi(args[1].c_str()), std::atoi(args[2].c_str()), std::atoi(args[3].c_str()));
  }
  std::string earlier;
  Settings s;
  const std::string exe = ParseBenchArguments(argc, argv,
                                              {.numbers = {{"--rounds", &s.rounds},
                                                           {"--seconds", &s.seconds},
                                                           {"--senders", &s.senders},
                                                           {"--connections", &s.connections},
                                                           {"--piece", &s.piece}},
                                               .earlier = &earlier},
                                              "[--earlier <tcp_port_serv>] [--rounds N] [--seconds S]\n"
                                              "       [--senders P] [--connections C] [--piece B]");
  RaiseFileLimit();
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  const std::string dir = MakeTempDir();
  struct Entrant {
    const char* label;
    std::string exe;
    std::vector<Figures> rounds;
  };
  std::vector<Entrant> entrants{{"korvenet", exe, {}}};
  if (!earlier.empty()) entrants.push_back({"earlier", earlier, {}});

  std::printf("%d senders x %d connections, %d-byte pieces, %d s per flood\n\n", s.senders, s.connections, s.piece,
              s.seconds);
  std::printf("| %-9s | round | longest gap, ms | median gap, ms | reports | to the server, MB/s |\n", "relay");
  std::printf("|-----------|-------|-----------------|----------------|---------|---------------------|\n");
  for (int r = 0; r < s.rounds; ++r) {
    // A different relay goes first in each round, so drift of the machine spreads evenly.
    for (std::size_t i = 0; i < entrants.size(); ++i) {
      Entrant& e = entrants[(i + static_cast<std::size_t>(r)) % entrants.size()];
      const Figures f = Flood(e.exe, self, dir, s);
      e.rounds.push_back(f);
      std::printf("| %-9s | %5d | %15.0f | %14.0f | %7d | %19.0f |\n", e.label, r + 1, f.longest_gap_ms,
                  f.median_gap_ms, f.reports, f.mb_per_s);
      std::fflush(stdout);
    }
  }
  std::printf("\n");
  for (const Entrant& e : entrants) {
    double worst = 0;
    for (const Figures& f : e.rounds) worst = std::max(worst, f.longest_gap_ms);
    std::printf("%s: longest gap over all rounds %.0f ms\n", e.label, worst);
  }
  std::printf("(a longest gap of the whole flood: no report in it; -1 as the median: fewer than two reports;\n"
              " -1 everywhere: the relay did not start or join)\n");
  RemoveTree(dir);
  return 0;
}
