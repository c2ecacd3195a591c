// Soak of the relay: mixed traffic for a long time while its memory, descriptors, threads and
// CPU are sampled. Not a test: prints one line per sample and a summary of start, peak and end.
//
//   soak_bench <path to tcp_port_serv> [--duration=SECONDS] [--interval=SECONDS]
//
// The relay runs 13 channels: 6 TCP channels each carrying a steady stream both ways, 2 serial
// channels (pseudo-terminals) each carrying a steady stream both ways, and 4 TCP channels and 1
// serial channel where every second a new device (and, on TCP, a new server) connects, passes
// a block each way and leaves, by turns with a reset and an orderly close. Every byte is
// checked. The peers (socat, ser2net) have nothing that serves all of this in one process, so
// the soak measures the relay alone.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

using namespace bench;
using namespace std::chrono_literals;

namespace {

constexpr int kTcpStreams = 6, kTcpChurn = 4, kSerialStreams = 2;
constexpr std::size_t kTcpChunk = 64 * 1024;
constexpr double kTcpRate = 512 * 1024;  // bytes per second and direction on each stream
constexpr std::size_t kSerialChunk = 1024;
constexpr double kSerialRate = 16 * 1024;
constexpr auto kPatience = 10s;  // longest wait for any byte before it counts as an error

std::atomic<bool> stopping{false};
std::atomic<unsigned long long> bytes_moved{0};
std::atomic<unsigned long long> connections{0};
std::atomic<unsigned long long> errors{0};

void Error(const char* what) {
  if (errors.fetch_add(1) < 20) std::fprintf(stderr, "error: %s\n", what);
}

// The bytes at offset `at` of the stream numbered `seed`.
void Fill(std::string& buffer, std::size_t at, unsigned seed) {
  for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<char>(PatternByte(at + i) ^ seed);
}

int Connect(int port) {
  int fd = ConnectLoopback(port);
  if (fd < 0) return -1;
  timeval patience{static_cast<time_t>(kPatience.count()), 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  return fd;
}

void Reset(int fd) {
  linger l{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);
}

struct Pty {
  int master = -1, slave = -1;
  std::string name;
  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || !ptsname(master)) return false;
    name = ptsname(master);
    // Held open, raw, so that the line stays up whatever the relay does.
    slave = open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (slave < 0 || tcgetattr(slave, &t) != 0) return false;
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    SetNonBlocking(master);
    return true;
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

bool ReadLine(int master, char* data, std::size_t size) {
  const auto deadline = Clock::now() + kPatience;
  while (size > 0) {
    ssize_t n = read(master, data, size);
    if (n > 0) {
      data += n;
      size -= static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitFor(master, POLLIN, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

// Sends a checked stream from `from` to `to` at `rate` until the soak ends. The two ends are
// either sockets or the pseudo-terminal's master (then `write_line` / `read_line` are used).
void Stream(int from, int to, bool from_line, bool to_line, std::size_t chunk, double rate, unsigned seed) {
  std::string out(chunk, '\0'), in(chunk, '\0');
  auto next = Clock::now();
  for (std::size_t at = 0; !stopping; at += chunk) {
    Fill(out, at, seed);
    bool sent = from_line ? WriteAllUntil(from, out.data(), chunk, Clock::now() + kPatience)
                          : SendAll(from, out.data(), chunk);
    bool received = sent && (to_line ? ReadLine(to, in.data(), chunk) : ReceiveExactly(to, in.data(), chunk));
    if (!received) return Error("a stream stopped");
    if (in != out) return Error("a stream's bytes differ from what was sent");
    bytes_moved += chunk;
    next += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(chunk / rate));
    std::this_thread::sleep_until(next);
  }
}

// Sends probes from `probe` until `sink` receives one, then leaves `sink` empty: afterwards
// the relay has accepted the connections involved.
bool Joined(const std::function<bool()>& probe, int sink, bool sink_is_line) {
  const auto deadline = Clock::now() + kPatience;
  while (Clock::now() < deadline) {
    if (!probe()) return false;
    if (WaitFor(sink, POLLIN, Clock::now() + 20ms) & POLLIN) {
      // Whatever probes follow are read away once they stop.
      char buffer[256];
      while (WaitFor(sink, POLLIN, Clock::now() + 100ms) & POLLIN) {
        ssize_t n = sink_is_line ? read(sink, buffer, sizeof buffer) : recv(sink, buffer, sizeof buffer, 0);
        if (n <= 0 && !(sink_is_line && n < 0 && errno == EAGAIN)) return false;
      }
      return true;
    }
  }
  return false;
}

// One TCP churn round on a channel: a server and a device join, pass a block each way, leave.
void TcpChurnRound(int device_port, int server_port, unsigned round) {
  int server = Connect(server_port), device = Connect(device_port);
  if (server < 0 || device < 0) {
    Error("a churning peer could not connect");
  } else if (!Joined([&] { return SendAll(device, "p", 1); }, server, false)) {
    Error("a churning pair was not joined");
  } else {
    std::string out(4096, '\0'), in(4096, '\0');
    Fill(out, round, 77);
    if (!SendAll(device, out.data(), out.size()) || !ReceiveExactly(server, in.data(), in.size()) || in != out ||
        !SendAll(server, out.data(), out.size()) || !ReceiveExactly(device, in.data(), in.size()) || in != out) {
      Error("a churning pair's block did not arrive whole");
    } else {
      bytes_moved += 2 * out.size();
    }
  }
  for (int fd : {server, device}) {
    if (fd < 0) continue;
    if (round % 2) {
      Reset(fd);
    } else {
      close(fd);
    }
  }
  connections += 2;
}

// One serial churn round: a device joins the line, a block passes each way, the device leaves.
void SerialChurnRound(int device_port, Pty& line, unsigned round) {
  int device = Connect(device_port);
  if (device < 0) {
    Error("a churning serial device could not connect");
  } else if (!Joined([&] { return write(line.master, "p", 1) == 1; }, device, false)) {
    Error("a churning serial device was not joined");
  } else {
    std::string out(1024, '\0'), in(1024, '\0');
    Fill(out, round, 99);
    if (!WriteAllUntil(line.master, out.data(), out.size(), Clock::now() + kPatience) ||
        !ReceiveExactly(device, in.data(), in.size()) || in != out || !SendAll(device, out.data(), out.size()) ||
        !ReadLine(line.master, in.data(), in.size()) || in != out) {
      Error("a churning serial device's block did not arrive whole");
    } else {
      bytes_moved += 2 * out.size();
    }
  }
  if (device >= 0) {
    if (round % 2) {
      Reset(device);
    } else {
      close(device);
    }
  }
  connections += 1;
}

long StatusKiB(pid_t pid, const char* key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string name;
  long value = 0;
  while (in >> name) {
    if (name == key) {
      in >> value;
      return value;
    }
    std::string rest;
    std::getline(in, rest);
  }
  return 0;
}

int Entries(const std::string& directory) {
  std::error_code error;
  int n = 0;
  for (auto it = std::filesystem::directory_iterator(directory, error); !error && it != std::filesystem::directory_iterator();
       it.increment(error)) {
    ++n;
  }
  return n;
}

struct Sample {
  double seconds;
  long rss_kib, pss_kib;
  int descriptors, threads;
  double cpu_percent;
};

}  // namespace

int main(int argc, char** argv) {
  const std::string relay_exe = RelayExecutableArgument(argc, argv, " [--duration=SECONDS] [--interval=SECONDS]");
  double duration = 3600, interval = 60;
  for (int i = 2; i < argc; ++i) {
    if (std::strncmp(argv[i], "--duration=", 11) == 0) duration = std::atof(argv[i] + 11);
    if (std::strncmp(argv[i], "--interval=", 11) == 0) interval = std::atof(argv[i] + 11);
  }
  interval = std::min(interval, duration);
  RaiseFileLimit();

  // The relay and its channels.
  const std::string dir = MakeTempDir();
  std::filesystem::copy_file(relay_exe, dir + "/tcp_port_serv");
  std::vector<std::pair<int, int>> streams, churns;
  std::vector<std::unique_ptr<Pty>> lines;
  std::vector<int> serial_ports;
  std::string config;
  for (int i = 0; i < kTcpStreams + kTcpChurn; ++i) {
    const int device = FreePort(), server = FreePort();
    (i < kTcpStreams ? streams : churns).emplace_back(device, server);
    config += std::to_string(device) + ";0;2;" + std::to_string(server) + ";soak\r\n";
  }
  for (int i = 0; i < kSerialStreams + 1; ++i) {
    lines.push_back(std::make_unique<Pty>());
    if (!lines.back()->Open()) {
      std::fprintf(stderr, "no pseudo-terminal\n");
      return 1;
    }
    serial_ports.push_back(FreePort());
    config += std::to_string(serial_ports.back()) + ";0;1;" + lines.back()->name + ";soak\r\n";
  }
  WriteFile(dir + "/cnf_port.cfg", config);
  // Entries go nowhere (no socket at that path), so the soak writes no system log.
  setenv("KORVENET_EVENTLOG", (dir + "/no-event-log").c_str(), 1);
  auto relay = std::make_unique<Process>(std::vector<std::string>{dir + "/tcp_port_serv", "-console"}, dir,
                                         dir + "/console.txt");
  const pid_t pid = relay->pid();
  int probe = ConnectWithRetry(serial_ports.back(), 10s);
  if (probe < 0) {
    std::fprintf(stderr, "the relay did not start\n");
    return 1;
  }
  close(probe);

  // The steady streams.
  std::vector<std::thread> workers;
  std::vector<int> held;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    int device = Connect(streams[i].first), server = Connect(streams[i].second);
    held.insert(held.end(), {device, server});
    if (device < 0 || server < 0 || !Joined([&] { return SendAll(device, "p", 1); }, server, false) ||
        !Joined([&] { return SendAll(server, "p", 1); }, device, false)) {
      std::fprintf(stderr, "stream %zu was not joined\n", i);
      return 1;
    }
    const unsigned seed = static_cast<unsigned>(2 * i);
    workers.emplace_back(Stream, device, server, false, false, kTcpChunk, kTcpRate, seed);
    workers.emplace_back(Stream, server, device, false, false, kTcpChunk, kTcpRate, seed + 1);
  }
  for (int i = 0; i < kSerialStreams; ++i) {
    Pty& line = *lines[i];
    int device = Connect(serial_ports[i]);
    held.push_back(device);
    if (device < 0 || !Joined([&] { return write(line.master, "p", 1) == 1; }, device, false)) {
      std::fprintf(stderr, "serial stream %d was not joined\n", i);
      return 1;
    }
    const unsigned seed = static_cast<unsigned>(100 + 2 * i);
    workers.emplace_back(Stream, device, line.master, false, true, kSerialChunk, kSerialRate, seed);
    workers.emplace_back(Stream, line.master, device, true, false, kSerialChunk, kSerialRate, seed + 1);
  }
  // Peers coming and going: every second one round on every churn channel.
  workers.emplace_back([&] {
    auto next = Clock::now();
    for (unsigned round = 0; !stopping; ++round) {
      for (auto [device, server] : churns) TcpChurnRound(device, server, round);
      SerialChurnRound(serial_ports.back(), *lines.back(), round);
      next += 1s;
      std::this_thread::sleep_until(next);
    }
  });

  std::printf("soak of %.0f s, a sample every %.0f s: %d TCP streams, %d TCP churn channels, %d serial streams, "
              "1 serial churn channel\n",
              duration, interval, kTcpStreams, kTcpChurn, kSerialStreams);
  std::printf("%8s %9s %9s %5s %7s %6s %10s %11s %6s\n", "seconds", "RSS KiB", "PSS KiB", "fds", "threads", "CPU %",
              "MB moved", "connections", "errors");
  std::vector<Sample> samples;
  const auto start = Clock::now();
  double cpu_before = CpuSeconds(pid);
  auto wall_before = start;
  while (true) {
    const auto due = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(interval * static_cast<double>(samples.size() + 1)));
    std::this_thread::sleep_until(due);
    if (!relay->Running()) {
      std::fprintf(stderr, "the relay exited during the soak\n");
      break;
    }
    const auto now = Clock::now();
    const double cpu = CpuSeconds(pid);
    Sample s{std::chrono::duration<double>(now - start).count(),
             StatusKiB(pid, "VmRSS:"),
             PssKiB(pid),
             Entries("/proc/" + std::to_string(pid) + "/fd"),
             Entries("/proc/" + std::to_string(pid) + "/task"),
             100 * (cpu - cpu_before) / std::chrono::duration<double>(now - wall_before).count()};
    cpu_before = cpu;
    wall_before = now;
    samples.push_back(s);
    std::printf("%8.0f %9ld %9ld %5d %7d %6.1f %10.1f %11llu %6llu\n", s.seconds, s.rss_kib, s.pss_kib,
                s.descriptors, s.threads, s.cpu_percent, static_cast<double>(bytes_moved) / 1e6,
                static_cast<unsigned long long>(connections), static_cast<unsigned long long>(errors));
    std::fflush(stdout);
    if (s.seconds >= duration - interval / 2) break;
  }
  stopping = true;
  for (auto& worker : workers) worker.join();
  for (int fd : held) close(fd);
  relay.reset();

  if (!samples.empty()) {
    auto peak = [&](auto field) {
      return (*std::max_element(samples.begin(), samples.end(),
                                [&](const Sample& a, const Sample& b) { return a.*field < b.*field; })).*field;
    };
    const Sample& first = samples.front();
    const Sample& last = samples.back();
    double cpu_sum = 0;
    for (const Sample& s : samples) cpu_sum += s.cpu_percent;
    std::printf("\n%-8s %9s %9s %9s\n", "", "start", "peak", "end");
    std::printf("%-8s %9ld %9ld %9ld\n", "RSS KiB", first.rss_kib, peak(&Sample::rss_kib), last.rss_kib);
    std::printf("%-8s %9ld %9ld %9ld\n", "PSS KiB", first.pss_kib, peak(&Sample::pss_kib), last.pss_kib);
    std::printf("%-8s %9d %9d %9d\n", "fds", first.descriptors, peak(&Sample::descriptors), last.descriptors);
    std::printf("%-8s %9d %9d %9d\n", "threads", first.threads, peak(&Sample::threads), last.threads);
    std::printf("%-8s %9.1f %9.1f %9.1f   (mean %.1f)\n", "CPU %", first.cpu_percent, peak(&Sample::cpu_percent),
                last.cpu_percent, cpu_sum / static_cast<double>(samples.size()));
    std::printf("moved %.1f MB, %llu connections came and went, %llu errors\n",
                static_cast<double>(bytes_moved) / 1e6, static_cast<unsigned long long>(connections),
                static_cast<unsigned long long>(errors));
  }
  RemoveTree(dir);
  return errors == 0 ? 0 : 1;
}
