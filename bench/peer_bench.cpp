// Korvenet beside socat, rinetd and redir, each joining one device to one server over loopback:
// throughput (64 MiB, every byte checked), round trip of 8-byte messages with the relay's own
// CPU time per round trip, system calls per round trip (perf), wake-ups per second while a
// joined pair sits idle, memory per idle connection, and Korvenet's status report interval.
// Every measure is taken in each of several rounds and the table shows the medians. Within a
// round the relays take turns; the round trips are taken in short turns of all the relays,
// joined at the same time, so that whatever else the machine does weighs on all of them alike.
// Not a test: prints a table.
//
//   taskset -c 0 peer_bench <tcp_port_serv> [--rounds N] [--earlier <tcp_port_serv>]
//                           [--only throughput,roundtrip,syscalls,idle,memory] [--verbose]
//
// With an earlier executable, that one runs in the same rounds too, as the column "earlier".
// --verbose also prints every round's figure.
//
// Run it pinned to one core: on a machine with few cores the scheduler's choice of where the
// relay, the sender and the echo thread run decides a round trip more than the relay does.

#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "peers.h"

using namespace bench;
using namespace std::chrono_literals;

namespace {

constexpr int kTurns = 20;            // turns of round trips per round
constexpr int kRoundTripsPerTurn = 200;
constexpr int kCountedRoundTrips = 10000;
constexpr int kIdleConnections = 200;
constexpr auto kIdleWindow = 5s;

double Median(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool Installed(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// Echoes what the server side receives, on a thread of its own, until the socket is shut down.
class Echo {
 public:
  explicit Echo(int server) : server_(server), thread_([this] {
    char buffer[256];
    while (true) {
      ssize_t n = recv(server_, buffer, sizeof buffer, 0);
      if (n <= 0 || !SendAll(server_, buffer, static_cast<std::size_t>(n))) return;
    }
  }) {}
  ~Echo() {
    shutdown(server_, SHUT_RDWR);
    thread_.join();
  }

 private:
  int server_;
  std::thread thread_;
};

std::string PidList(const std::vector<pid_t>& pids) {
  std::string out;
  for (pid_t p : pids) {
    if (!out.empty()) out += ',';
    out += std::to_string(p);
  }
  return out;
}

// System calls the relay's processes make per round trip, counted by perf; -1 without perf.
// The count also covers a second before the round trips, so it includes what the relay does
// on its own meanwhile (for a relay that wakes 50 times a second, under 0.05 calls per round
// trip).
double SyscallsPerRoundTrip(const Peer& peer, int device) {
  const std::string dir = MakeTempDir();
  const std::string out = dir + "/perf.csv";
  double result = -1;
  {
    Process perf({"perf", "stat", "-x", ",", "-e", "raw_syscalls:sys_enter", "-o", out, "-p", PidList(peer.Pids())});
    std::this_thread::sleep_for(1s);  // perf attaches
    const bool ok = TimedRoundTrips(device, kCountedRoundTrips);
    kill(perf.pid(), SIGINT);  // perf writes its counts and ends
    for (int i = 0; i < 500 && perf.Running(); ++i) std::this_thread::sleep_for(10ms);
    std::ifstream in(out);
    std::string line;
    while (ok && std::getline(in, line)) {
      if (line.find("raw_syscalls:sys_enter") == std::string::npos) continue;
      try {
        result = std::stod(line.substr(0, line.find(','))) / kCountedRoundTrips;
      } catch (...) {
      }
    }
  }
  RemoveTree(dir);
  return result;
}

// Sums a per-thread figure of /proc/<pid>/task/<tid>/<file> over every thread of `pids`.
template <typename Read>
double SumOverThreads(const std::vector<pid_t>& pids, const char* file, Read read) {
  double total = 0;
  for (pid_t pid : pids) {
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
      std::ifstream in(task.path() / file);
      total += read(in);
    }
  }
  return total;
}

// CPU time of every thread so far, in ns (user and system).
double CpuNs(const std::vector<pid_t>& pids) {
  return SumOverThreads(pids, "schedstat", [](std::ifstream& in) {
    double on_cpu = 0;
    in >> on_cpu;
    return on_cpu;
  });
}

// Context switches of every thread so far: each is a wake-up after the thread slept (or was
// preempted).
double ContextSwitches(const std::vector<pid_t>& pids) {
  return SumOverThreads(pids, "status", [](std::ifstream& in) {
    double total = 0;
    std::string key;
    while (in >> key) {
      if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
        double value = 0;
        in >> value;
        total += value;
      }
    }
    return total;
  });
}

long TotalPss(const std::vector<pid_t>& pids) {
  long total = 0;
  for (pid_t p : pids) total += PssKiB(p);
  return total;
}

// One column of the table: a relay, and for Korvenet the executable and where it reports.
struct Entrant {
  std::string label;
  std::string kind;
  std::string exe;
  std::unique_ptr<StatusListener> status;
  std::map<std::string, std::vector<double>> values;  // measure -> one value per round
  std::vector<double> report_intervals;               // every interval seen while idle

  std::unique_ptr<Peer> Start() const {
    auto peer = StartPeer(kind, exe, status ? status->path() : "");
    if (!peer) std::fprintf(stderr, "%s did not start\n", label.c_str());
    return peer;
  }
};

// Which measures to take (all unless --only names some).
struct Selection {
  std::string only;
  bool Wants(const char* measure) const { return Selected(only, measure); }
};

void MeasureThroughput(Entrant& e) {
  auto peer = e.Start();
  int device, server;
  if (!peer || !peer->Join(device, server)) {
    e.values["throughput"].push_back(-1);
    return;
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
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sender.join();
  close(device);
  close(server);
  e.values["throughput"].push_back(ok && got == total ? static_cast<double>(total) / 1e6 / seconds : -1);
}

// A relay with one device and one server joined, the server side echoing.
struct JoinedPair {
  Entrant* entrant;
  std::unique_ptr<Peer> peer;
  int device = -1, server = -1;
  std::unique_ptr<Echo> echo;
  std::vector<double> times;
  double cpu_ns = 0;
  bool ok = true;
  ~JoinedPair() {
    echo.reset();
    if (device >= 0) close(device);
    if (server >= 0) close(server);
  }
};

// Every relay joined at once: round trips in turns, then system calls one relay after the
// other, then one idle window for all.
void MeasureJoinedPairs(std::vector<Entrant>& entrants, const Selection& want, int round) {
  std::vector<std::unique_ptr<JoinedPair>> pairs;
  for (auto& e : entrants) {
    auto pair = std::make_unique<JoinedPair>();
    pair->entrant = &e;
    pair->peer = e.Start();
    if (!pair->peer || !pair->peer->Join(pair->device, pair->server)) {
      pair->ok = false;
    } else {
      pair->echo = std::make_unique<Echo>(pair->server);
      pair->ok = TimedRoundTrips(pair->device, 300);  // warm up
    }
    pairs.push_back(std::move(pair));
  }
  if (want.Wants("roundtrip")) {
    for (int turn = 0; turn < kTurns; ++turn) {
      for (std::size_t i = 0; i < pairs.size(); ++i) {
        JoinedPair& p = *pairs[(i + static_cast<std::size_t>(turn + round)) % pairs.size()];
        if (!p.ok) continue;
        const auto pids = p.peer->Pids();
        const double before = CpuNs(pids);
        p.ok = TimedRoundTrips(p.device, kRoundTripsPerTurn, &p.times);
        p.cpu_ns += CpuNs(pids) - before;
      }
    }
    for (auto& p : pairs) {
      p->entrant->values["round trip"].push_back(p->ok ? Median(p->times) : -1);
      p->entrant->values["cpu"].push_back(p->ok ? p->cpu_ns / 1000 / (kTurns * kRoundTripsPerTurn) : -1);
    }
  }
  if (want.Wants("syscalls")) {
    for (auto& p : pairs) p->entrant->values["syscalls"].push_back(p->ok ? SyscallsPerRoundTrip(*p->peer, p->device) : -1);
  }
  if (want.Wants("idle")) {
    std::this_thread::sleep_for(1s);
    std::vector<double> before;
    for (auto& p : pairs) before.push_back(p->ok ? ContextSwitches(p->peer->Pids()) : 0);
    const auto from = Clock::now();
    std::this_thread::sleep_for(kIdleWindow);
    const double seconds = std::chrono::duration<double>(Clock::now() - from).count();
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      JoinedPair& p = *pairs[i];
      p.entrant->values["wake-ups"].push_back(p.ok ? (ContextSwitches(p.peer->Pids()) - before[i]) / seconds : -1);
      if (!p.entrant->status) continue;
      auto reports = p.entrant->status->RunningReportsSince(from);
      for (std::size_t k = 1; k < reports.size(); ++k) {
        p.entrant->report_intervals.push_back(
            std::chrono::duration<double, std::milli>(reports[k] - reports[k - 1]).count());
      }
    }
  }
}

void MeasureMemory(Entrant& e) {
  auto peer = e.Start();
  if (!peer) {
    e.values["memory"].push_back(-1);
    return;
  }
  std::this_thread::sleep_for(500ms);
  const long before = TotalPss(peer->Pids());
  std::vector<int> fds;
  for (int i = 0; i < kIdleConnections; ++i) {
    int fd = peer->ConnectIdleDevice();
    if (fd >= 0) fds.push_back(fd);
    // Korvenet listens with a backlog of 5, so do some peers: a connection that finds the
    // queue full is retried by TCP only a second later. Leave time to accept.
    std::this_thread::sleep_for(2ms);
  }
  std::this_thread::sleep_for(2s);
  const long after = TotalPss(peer->Pids());
  for (int fd : fds) close(fd);
  e.values["memory"].push_back(fds.empty() ? -1
                                           : static_cast<double>(after - before) / static_cast<double>(fds.size()));
}

std::string Affinity() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) != 0) return "?";
  std::string out;
  for (int i = 0; i < CPU_SETSIZE; ++i) {
    if (!CPU_ISSET(i, &set)) continue;
    if (!out.empty()) out += ',';
    out += std::to_string(i);
  }
  return out;
}

void PrintTable(std::vector<Entrant>& entrants, int rounds, bool verbose) {
  std::printf("CPUs allowed: %s; %d rounds; medians\n\n", Affinity().c_str(), rounds);
  std::printf("| %-32s |", "measure");
  for (const auto& e : entrants) std::printf(" %10s |", e.label.c_str());
  std::printf("\n|%s|", std::string(34, '-').c_str());
  for (std::size_t i = 0; i < entrants.size(); ++i) std::printf("%s|", std::string(12, '-').c_str());
  std::printf("\n");
  const struct {
    const char* key;
    const char* label;
    const char* format;
  } rows[] = {
      {"throughput", "throughput, 64 MiB checked, MB/s", " %10.0f |"},
      {"round trip", "round trip 8 bytes, ms", " %10.4f |"},
      {"cpu", "relay CPU per round trip, us", " %10.2f |"},
      {"syscalls", "system calls per round trip", " %10.1f |"},
      {"wake-ups", "wake-ups per second, idle pair", " %10.1f |"},
      {"memory", "memory per idle connection, KiB", " %10.1f |"},
  };
  for (const auto& row : rows) {
    if (entrants[0].values[row.key].empty()) continue;
    std::printf("| %-32s |", row.label);
    for (auto& e : entrants) std::printf(row.format, Median(e.values[row.key]));
    std::printf("\n");
  }
  std::printf("\n");
  for (const auto& e : entrants) {
    const auto& intervals = e.report_intervals;
    if (intervals.empty()) continue;
    std::printf("%s status report interval: median %.1f ms, min %.1f, max %.1f (%zu intervals)\n", e.label.c_str(),
                Median(intervals), *std::min_element(intervals.begin(), intervals.end()),
                *std::max_element(intervals.begin(), intervals.end()), intervals.size());
  }
  if (verbose) {
    std::printf("\nEvery round:\n");
    for (const auto& row : rows) {
      for (auto& e : entrants) {
        const auto& values = e.values[row.key];
        if (values.empty()) continue;
        std::printf("  %s, %s:", row.label, e.label.c_str());
        for (double v : values) std::printf(" %g", v);
        std::printf("\n");
      }
    }
  }
  std::printf("(-1: the run failed or lost bytes)\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::string earlier;
  int rounds = 7;
  bool verbose = false;
  Selection want;
  const std::string exe = ParseBenchArguments(
      argc, argv,
      {.numbers = {{"--rounds", &rounds}},
       .texts = {{"--only", &want.only}},
       .switches = {{"--verbose", &verbose}},
       .earlier = &earlier},
      "[--rounds N] [--earlier <tcp_port_serv>]\n"
      "       [--only throughput,roundtrip,syscalls,idle,memory] [--verbose]   (under taskset -c 0)");
  RaiseFileLimit();
  if (!Installed("perf") && want.Wants("syscalls")) {
    std::fprintf(stderr, "perf is not installed: no system call counts\n");
    want.only = want.only.empty() ? "throughput,roundtrip,idle,memory" : want.only;
  }

  const std::string dir = MakeTempDir();
  std::vector<Entrant> entrants;
  entrants.push_back({"korvenet", "korvenet", exe, std::make_unique<StatusListener>(dir + "/notify"), {}, {}});
  if (!earlier.empty()) {
    entrants.push_back({"earlier", "korvenet", earlier, std::make_unique<StatusListener>(dir + "/notify-earlier"), {}, {}});
  }
  for (const char* name : {"socat", "rinetd", "redir"}) {
    if (Installed(name)) {
      entrants.push_back({name, name, "", nullptr, {}, {}});
    } else {
      std::fprintf(stderr, "%s is not installed: left out\n", name);
    }
  }

  for (int r = 0; r < rounds; ++r) {
    std::fprintf(stderr, "round %d of %d\n", r + 1, rounds);
    // A different relay goes first in each round, so drift of the machine spreads evenly.
    for (std::size_t i = 0; i < entrants.size(); ++i) {
      Entrant& e = entrants[(i + static_cast<std::size_t>(r)) % entrants.size()];
      if (want.Wants("throughput")) MeasureThroughput(e);
    }
    if (want.Wants("roundtrip") || want.Wants("syscalls") || want.Wants("idle")) {
      MeasureJoinedPairs(entrants, want, r);
    }
    for (std::size_t i = 0; i < entrants.size(); ++i) {
      Entrant& e = entrants[(i + static_cast<std::size_t>(r)) % entrants.size()];
      if (want.Wants("memory")) MeasureMemory(e);
    }
  }
  PrintTable(entrants, rounds, verbose);
  for (auto& e : entrants) e.status.reset();
  RemoveTree(dir);
  return 0;
}
