// What one sick party costs the others. Not a test: prints tables.
//
//  1. Round trips of 8-byte messages on a TCP channel and on a serial channel of one relay,
//     first with nothing else going on, then while another serial line of the same relay takes
//     nothing (its far end does not read, its device keeps sending), then while a server of a
//     third channel has stopped reading (its device keeps sending). The added delay is the
//     largest round trip of a phase less the median of the quiet phase. Then the time from
//     SIGTERM to the end of the process, with the line still stuck.
//  2. A healthy server beside a stopped one on the same channel while the device sends 64 MiB:
//     how many bytes the healthy one received (every one is checked) and the longest time it
//     received nothing.
//
//   isolation_bench <path to tcp_port_serv>
//
// For round trips that do not depend on the scheduler, run it pinned to one core:
//   taskset -c 0 build/bench/isolation_bench build/tcp_port_serv

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"

using namespace bench;
using namespace std::chrono_literals;

namespace {

constexpr auto kRoundLimit = 10s;  // a round trip that takes longer counts as this long

std::string relay_exe;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// A pseudo-terminal as a serial line; the master is the far device.
struct Pty {
  int master = -1;
  std::string slave_path;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    slave_path = ptsname(master);
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    SetNonBlocking(master);
  }
  ~Pty() {
    if (master >= 0) close(master);
  }
};

// Echoes what arrives on `fd` until stopped.
class Echo {
 public:
  explicit Echo(int fd) : thread_([this, fd] {
      char buffer[256];
      while (!stop_) {
        if (!WaitFor(fd, POLLIN, Clock::now() + 50ms)) continue;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0 && !WriteAllUntil(fd, buffer, static_cast<std::size_t>(n), Clock::now() + kRoundLimit)) return;
        if (n == 0) return;
      }
    }) {}
  ~Echo() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Sends a pattern to `fd` until stopped (or `total` bytes went), never blocking for long.
class Flood {
 public:
  Flood(int fd, std::size_t total) : thread_([this, fd, total] {
      std::vector<char> chunk(65536);
      while (!stop_ && sent_ < total) {
        for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = PatternByte(sent_ + i);
        const std::size_t want = std::min(chunk.size(), total - sent_);
        if (!WaitFor(fd, POLLOUT, Clock::now() + 50ms)) continue;
        ssize_t n = send(fd, chunk.data(), want, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) sent_ += static_cast<std::size_t>(n);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
      }
    }) {}
  ~Flood() {
    stop_ = true;
    thread_.join();
  }
  std::size_t sent() const { return sent_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> sent_{0};
  std::thread thread_;
};

// One round trip of 8 bytes through `fd` (blocking socket), in ms; kRoundLimit when it did not
// come back in time.
double RoundTrip(int fd) {
  static const char request[8] = {1, 3, 0, 0, 0, 10, 'x', 'y'};
  char reply[8];
  const auto start = Clock::now();
  const auto end = start + kRoundLimit;
  if (!WriteAllUntil(fd, request, sizeof request, end)) return Ms(kRoundLimit);
  std::size_t got = 0;
  while (got < sizeof reply) {
    if (!WaitFor(fd, POLLIN, end)) return Ms(kRoundLimit);
    ssize_t n = recv(fd, reply + got, sizeof reply - got, MSG_DONTWAIT);
    if (n == 0) return Ms(kRoundLimit);
    if (n > 0) got += static_cast<std::size_t>(n);
  }
  return Ms(Clock::now() - start);
}

struct Times {
  std::vector<double> ms;
  double Median() const {
    if (ms.empty()) return -1;
    auto sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
  }
  double Max() const { return ms.empty() ? -1 : *std::max_element(ms.begin(), ms.end()); }
};

// Runs `rounds` round trips on each of the two clients, alternating; stops early after a
// round that hit the limit.
void Rounds(int tcp, int serial, int rounds, Times& tcp_times, Times& serial_times) {
  for (int i = 0; i < rounds; ++i) {
    tcp_times.ms.push_back(RoundTrip(tcp));
    serial_times.ms.push_back(RoundTrip(serial));
    if (tcp_times.ms.back() >= Ms(kRoundLimit) || serial_times.ms.back() >= Ms(kRoundLimit)) return;
  }
}

struct Korvenet {
  ConsoleRelay relay;
  explicit Korvenet(const std::string& channels) : relay(relay_exe, channels) {}
  // Milliseconds from SIGTERM to the end of the process; -1 after 10 s (then it is killed).
  double StopTime() {
    const auto start = Clock::now();
    kill(relay.pid(), SIGTERM);
    while (Clock::now() - start < 10s) {
      if (!relay.process().Running()) return Ms(Clock::now() - start);
      std::this_thread::sleep_for(1ms);
    }
    return -1;
  }
};

std::string SerialLine(int device, const std::string& path) {
  return std::to_string(device) + ";0;1;" + path + ";bench\r\n";
}

// A client whose receive buffer is small, so that it fills at once when it does not read.
int ConnectSmallWindow(int port) { return ConnectLoopback(port, 16 * 1024); }

// Waits until bytes sent on `from` come out of `to` (the channel is up), then drains `to`.
bool Probe(int from, int to) {
  const auto end = Clock::now() + 10s;
  while (Clock::now() < end) {
    if (!WriteAllUntil(from, "p", 1, end)) return false;
    if (WaitFor(to, POLLIN, Clock::now() + 50ms)) {
      char buffer[256];
      while (WaitFor(to, POLLIN, Clock::now() + 200ms)) {
        if (read(to, buffer, sizeof buffer) <= 0) break;
      }
      return true;
    }
  }
  return false;
}

void RoundTripsBesideSickParties(int rounds) {
  Pty stuck, good;
  const int t_dev = FreePort(), t_srv = FreePort(), s_dev = FreePort(), x_dev = FreePort(), x_srv = FreePort(),
            g_dev = FreePort();
  Korvenet relay(TcpChannelLine(t_dev, t_srv) + SerialLine(s_dev, stuck.slave_path) +
                 TcpChannelLine(x_dev, x_srv) + SerialLine(g_dev, good.slave_path));
  int t_device = ConnectWithRetry(t_dev, 10s), t_server = ConnectWithRetry(t_srv, 10s);
  int g_device = ConnectWithRetry(g_dev, 10s), s_device = ConnectWithRetry(s_dev, 10s);
  int x_device = ConnectWithRetry(x_dev, 10s), x_server = ConnectSmallWindow(x_srv);
  for (int fd : {t_device, t_server, g_device, s_device, x_device}) SetNonBlocking(fd);
  if (t_device < 0 || t_server < 0 || g_device < 0 || s_device < 0 || x_device < 0 || x_server < 0 ||
      !Probe(t_device, t_server) || !Probe(g_device, good.master)) {
    std::fprintf(stderr, "the relay did not carry the probes\n");
    return;
  }
  Times tcp[3], serial[3];
  {
    Echo tcp_echo(t_server), line_echo(good.master);
    Rounds(t_device, g_device, rounds, tcp[0], serial[0]);
    {
      // The stuck line's far end never reads; its device keeps sending.
      Flood to_stuck(s_device, 64u << 20);
      // Until the line is full (or 10 s passed).
      const auto limit = Clock::now() + 10s;
      for (int on_line = 0; on_line < 16 * 1024 && Clock::now() < limit; std::this_thread::sleep_for(10ms)) {
        ioctl(stuck.master, FIONREAD, &on_line);
      }
      Rounds(t_device, g_device, rounds, tcp[1], serial[1]);
    }
    {
      Flood to_stopped(x_device, 1u << 30);
      const auto limit = Clock::now() + 10s;
      while (to_stopped.sent() < (16u << 20) && Clock::now() < limit) std::this_thread::sleep_for(10ms);
      Rounds(t_device, g_device, rounds, tcp[2], serial[2]);
    }
  }
  const double stop_ms = relay.StopTime();
  for (int fd : {t_device, t_server, g_device, s_device, x_device, x_server}) close(fd);

  const char* phases[3] = {"quiet", "a serial line stuck", "a server stopped"};
  std::printf("| %-22s | %9s | %9s | %9s | %9s | %9s | %9s |\n", "phase", "tcp med", "tcp max", "tcp +max",
              "ser med", "ser max", "ser +max");
  std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(24, '-').c_str(), std::string(11, '-').c_str(),
              std::string(11, '-').c_str(), std::string(11, '-').c_str(), std::string(11, '-').c_str(),
              std::string(11, '-').c_str(), std::string(11, '-').c_str());
  for (int p = 0; p < 3; ++p) {
    std::printf("| %-22s | %9.3f | %9.3f | %9.3f | %9.3f | %9.3f | %9.3f |\n", phases[p], tcp[p].Median(),
                tcp[p].Max(), tcp[p].Max() - tcp[0].Median(), serial[p].Median(), serial[p].Max(),
                serial[p].Max() - serial[0].Median());
  }
  std::printf("(ms over %d round trips a phase; +max: largest added delay; %.0f ms marks a round trip that "
              "did not come back)\n",
              rounds, Ms(kRoundLimit));
  std::printf("SIGTERM to exit with the line still stuck: %.1f ms (-1: still running after 10 s)\n\n", stop_ms);
}

void HealthyBesideStopped() {
  const int dev = FreePort(), srv = FreePort();
  Korvenet relay(TcpChannelLine(dev, srv));
  int device = ConnectWithRetry(dev, 10s);
  int healthy = ConnectWithRetry(srv, 10s);
  int stopped = ConnectSmallWindow(srv);
  if (device < 0 || healthy < 0 || stopped < 0) {
    std::fprintf(stderr, "could not connect\n");
    return;
  }
  SetNonBlocking(device);
  SetNonBlocking(healthy);
  if (!Probe(device, healthy)) {
    std::fprintf(stderr, "the relay did not carry the probe\n");
    return;
  }
  const std::size_t total = 64u << 20;
  std::size_t got = 0;
  bool same = true;
  Clock::duration longest{};
  auto last = Clock::now();
  const auto start = last;
  {
    Flood flood(device, total);
    std::vector<char> buffer(1 << 17);
    while (got < total) {
      if (!WaitFor(healthy, POLLIN, last + 60s)) break;
      ssize_t n = read(healthy, buffer.data(), buffer.size());
      if (n <= 0) {
        if (n < 0 && errno == EAGAIN) continue;
        break;
      }
      const auto now = Clock::now();
      longest = std::max(longest, now - last);
      last = now;
      for (ssize_t i = 0; i < n && same; ++i) same = buffer[i] == PatternByte(got + i);
      got += static_cast<std::size_t>(n);
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (int fd : {device, healthy, stopped}) close(fd);
  std::printf("healthy server beside a stopped one, 64 MiB from the device:\n");
  std::printf("  received %zu of %zu bytes%s in %.2f s; longest wait for bytes %.0f ms\n\n", got, total,
              same ? " (all as sent)" : " (SOME CHANGED)", seconds, Ms(longest));
}

}  // namespace

int main(int argc, char** argv) {
  relay_exe = RelayExecutableArgument(argc, argv);
  signal(SIGPIPE, SIG_IGN);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  RaiseFileLimit();
  RoundTripsBesideSickParties(2000);
  HealthyBesideStopped();
  return 0;
}
