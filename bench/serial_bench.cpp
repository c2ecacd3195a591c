// Side-by-side benchmark of a type-1 channel (TCP device port <-> serial line) against ser2net
// doing the same job. The serial line is a pseudo-terminal: the relay opens the slave, the
// benchmark plays the far device on the master. A pty does not throttle to 9600 bit/s, so the
// throughputs measure the relay's own cost. Every byte is checked; every wait has a time limit
// and a failed measurement shows as -1. Not a test: prints a table.
//
//   serial_bench <path to tcp_port_serv>
//   serial_bench <path to tcp_port_serv> roundtrip [<earlier tcp_port_serv>]
//       round trips only, beside ser2net (with its character delay off); run it pinned to one
//       core (taskset -c 0)
//   SERIAL_BENCH_OPTIONS="serial 1 115200 8N1" serial_bench ...
//       the relay runs with that options file

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

constexpr std::size_t kTotal = 16u << 20;
constexpr auto kStartLimit = 10s;     // for a relay to listen, and for a probe to pass
constexpr auto kStallLimit = 10s;     // a transfer with no progress for this long has failed
constexpr auto kTransferLimit = 180s; // and one that takes longer than this, too

std::string relay_exe;

// A pseudo-terminal pair. The master is the far device. The benchmark keeps the slave open
// too (raw, never read) so that the master sees no hang-up while the relay has it closed.
struct PtyPair {
  int master = -1;
  int slave = -1;
  std::string slave_path;

  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
    const char* name = ptsname(master);
    if (name == nullptr) return false;
    slave_path = name;
    slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return false;
    for (int fd : {master, slave}) {
      termios t{};
      if (tcgetattr(fd, &t) != 0) return false;
      cfmakeraw(&t);
      if (tcsetattr(fd, TCSANOW, &t) != 0) return false;
    }
    SetNonBlocking(master);
    return true;
  }
  ~PtyPair() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

// One relay under test: joins TCP connections on `device_port` to the pty slave.
struct Relay {
  virtual ~Relay() = default;
  virtual const char* Name() const = 0;
  int device_port = 0;
  bool listening = false;
  std::string dir;
  std::unique_ptr<Process> process;

  bool Running() { return process && process->Running(); }
  pid_t Pid() const { return process ? process->pid() : -1; }

 protected:
  // Waits until the device port accepts a connection; on failure tells why on stderr.
  void WaitListening() {
    auto end = Clock::now() + kStartLimit;
    while (!listening && Clock::now() < end && Running()) {
      int fd = ConnectLoopback(device_port);
      listening = fd >= 0;
      if (fd >= 0)
        close(fd);
      else
        std::this_thread::sleep_for(20ms);
    }
    if (listening) return;
    std::fprintf(stderr, "  %s %s port %d; its output begins:\n", Name(),
                 Running() ? "does not listen on" : "exited before listening on", device_port);
    std::ifstream output(dir + "/console.txt");
    std::string line;
    for (int i = 0; i < 10 && std::getline(output, line); ++i) std::fprintf(stderr, "    %s\n", line.c_str());
  }
  void Finish() {
    process.reset();
    RemoveTree(dir);
  }
};

struct KorvenetRelay : Relay {
  KorvenetRelay(int port, const std::string& slave_path, const std::string& exe = relay_exe) {
    device_port = port;
    dir = MakeTempDir();
    WriteFile(dir + "/cnf_port.cfg", std::to_string(port) + ";0;1;" + slave_path + ";bench\r\n");
    // An options file for the run, such as "serial 1 115200 8N1" (the line settings' cost).
    if (const char* options = std::getenv("SERIAL_BENCH_OPTIONS")) WriteFile(dir + "/cnf_options.cfg", options);
    std::error_code error;
    std::filesystem::copy_file(exe, dir + "/tcp_port_serv", error);
    if (error) return;
    process = std::make_unique<Process>(std::vector<std::string>{dir + "/tcp_port_serv", "-console"}, dir,
                                        dir + "/console.txt");
    WaitListening();
  }
  ~KorvenetRelay() override { Finish(); }
  const char* Name() const override { return "korvenet"; }
};

// ser2net in the foreground: raw TCP (no telnet) to the slave at 9600n81 without modem
// control; no UUCP lock files, the pid file in the temporary directory.
struct Ser2netRelay : Relay {
  // `chardelay` off: no wait for further characters before passing serial bytes on (the round
  // trip measures the relay's own cost, not ser2net's batching).
  Ser2netRelay(int port, const std::string& slave_path, bool chardelay = true) {
    device_port = port;
    dir = MakeTempDir();
    WriteFile(dir + "/ser2net.yaml", "connection: &bench\n"
                                     "  accepter: tcp,127.0.0.1," + std::to_string(port) + "\n"
                                     "  connector: serialdev," + slave_path + ",9600n81,local\n" +
                                     (chardelay ? "" : "  options:\n    chardelay: false\n"));
    std::string exe = std::filesystem::exists("/usr/sbin/ser2net") ? "/usr/sbin/ser2net" : "ser2net";
    process = std::make_unique<Process>(
        std::vector<std::string>{exe, "-n", "-u", "-c", dir + "/ser2net.yaml", "-P", dir + "/ser2net.pid"}, dir,
        dir + "/console.txt");
    WaitListening();
  }
  ~Ser2netRelay() override { Finish(); }
  const char* Name() const override { return "ser2net"; }
};

using RelayFactory = std::function<std::unique_ptr<Relay>(int port, const std::string& slave_path)>;

// Reads and discards whatever arrives on fd until it has been quiet for a while.
bool Drain(int fd) {
  char buffer[4096];
  auto end = Clock::now() + kStartLimit;
  auto quiet_from = Clock::now();
  while (short ready = WaitFor(fd, POLLIN, std::min(end, quiet_from + 300ms))) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      quiet_from = Clock::now();
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      return false;
    } else if (!(ready & POLLIN)) {
      std::this_thread::sleep_for(5ms);
    }
  }
  return Clock::now() < end;
}

// A device client connected to the relay, with probes passed in the given direction, so the
// relay has its serial port open and carries bytes that way. Reconnects when the relay drops
// the client (ser2net may still be closing an earlier connection). -1 at the time limit.
int ConnectDevice(Relay& relay, PtyPair& pty, bool towards_serial) {
  auto end = Clock::now() + kStartLimit;
  int client = -1;
  while (Clock::now() < end && relay.Running()) {
    if (client < 0) {
      client = ConnectLoopback(relay.device_port);
      if (client < 0) {
        std::this_thread::sleep_for(20ms);
        continue;
      }
      SetNonBlocking(client);
    }
    bool sent = towards_serial ? write(client, "p", 1) == 1 : write(pty.master, "p", 1) == 1;
    int sink = towards_serial ? pty.master : client;
    if (sent && WaitFor(sink, POLLIN, Clock::now() + 50ms)) {
      char byte;
      ssize_t n = read(sink, &byte, 1);
      if (n == 1 && Drain(sink)) return client;
      if (sink == client && (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))) {
        // dropped by the relay: connect again
        close(client);
        client = -1;
      }
    } else if (!sent) {
      if (towards_serial) {  // dropped by the relay: connect again
        close(client);
        client = -1;
      }
      std::this_thread::sleep_for(50ms);
    }
  }
  if (client >= 0) close(client);
  return -1;
}

struct Transfer {
  double mb_per_s = -1;
  double received = -1;  // bytes that arrived; -1 when the channel never carried a probe
};

// Writes the pattern to `source` in chunks while this thread reads and checks it from `sink`.
Transfer Move(int source, int sink, std::size_t chunk) {
  static const std::vector<char> pattern = [] {
    std::vector<char> p(kTotal);
    for (std::size_t i = 0; i < kTotal; ++i) p[i] = PatternByte(i);
    return p;
  }();
  std::atomic<bool> stop{false};
  auto start = Clock::now();
  auto end = start + kTransferLimit;
  std::thread writer([&] {
    for (std::size_t sent = 0; sent < kTotal && !stop;) {
      std::size_t n = std::min(chunk, kTotal - sent);
      if (!WriteAllUntil(source, pattern.data() + sent, n, std::min(end, Clock::now() + kStallLimit))) return;
      sent += n;
    }
  });
  std::vector<char> buffer(1 << 16);
  std::size_t got = 0;
  std::size_t first_wrong = kTotal;
  auto last_progress = start;
  while (got < kTotal) {
    auto limit = std::min(end, last_progress + kStallLimit);
    short ready = WaitFor(sink, POLLIN, limit);
    if (ready == 0) break;
    ssize_t n = read(sink, buffer.data(), std::min(buffer.size(), kTotal - got + 1));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      // A hang-up with nothing to read: do not spin on it.
      if (!(ready & POLLIN)) std::this_thread::sleep_for(5ms);
      continue;
    }
    if (n <= 0) break;
    last_progress = Clock::now();
    std::size_t count = std::min(static_cast<std::size_t>(n), kTotal - got);
    if (first_wrong == kTotal && std::memcmp(buffer.data(), pattern.data() + got, count) != 0) {
      for (std::size_t i = 0; i < count; ++i)
        if (buffer[i] != pattern[got + i]) {
          first_wrong = got + i;
          break;
        }
    }
    got += static_cast<std::size_t>(n);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  stop = true;
  writer.join();
  Transfer result;
  result.received = static_cast<double>(got);
  if (first_wrong != kTotal) std::fprintf(stderr, "  first wrong byte at offset %zu\n", first_wrong);
  if (got != kTotal) std::fprintf(stderr, "  %zu of %zu bytes arrived\n", got, kTotal);
  if (got == kTotal && first_wrong == kTotal) result.mb_per_s = static_cast<double>(kTotal) / 1e6 / seconds;
  return result;
}

Transfer Throughput(const RelayFactory& make, bool towards_serial) {
  PtyPair pty;
  if (!pty.Open()) return {};
  auto relay = make(FreePort(), pty.slave_path);
  if (!relay->listening) return {};
  int client = ConnectDevice(*relay, pty, towards_serial);
  if (client < 0) {
    std::fprintf(stderr, "  no probe passed through %s\n", relay->Name());
    return {};
  }
  Transfer result = towards_serial ? Move(client, pty.master, 1 << 16) : Move(pty.master, client, 4096);
  close(client);
  if (!relay->Running()) std::fprintf(stderr, "  %s exited during the transfer\n", relay->Name());
  return result;
}

// Percent of one core used by the relay over `seconds` while its port is open and idle.
double IdleCpu(const RelayFactory& make, double seconds) {
  PtyPair pty;
  if (!pty.Open()) return -1;
  auto relay = make(FreePort(), pty.slave_path);
  if (!relay->listening) return -1;
  int client = ConnectDevice(*relay, pty, true);
  if (client < 0) {
    std::fprintf(stderr, "  no probe passed through %s\n", relay->Name());
    return -1;
  }
  std::this_thread::sleep_for(1s);
  double before = CpuSeconds(relay->Pid());
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  double after = CpuSeconds(relay->Pid());
  bool alive = relay->Running();
  close(client);
  return alive ? (after - before) / seconds * 100.0 : -1;
}

// Median and 99th percentile round trip in ms of 8-byte messages: a device client sends them,
// the far device echoes them on the line, the client receives them back.
std::pair<double, double> RoundTrip(const RelayFactory& make, int rounds) {
  PtyPair pty;
  if (!pty.Open()) return {-1, -1};
  auto relay = make(FreePort(), pty.slave_path);
  if (!relay->listening) return {-1, -1};
  int client = ConnectDevice(*relay, pty, true);
  if (client < 0 || !Drain(client)) {
    std::fprintf(stderr, "  no probe passed through %s\n", relay->Name());
    return {-1, -1};
  }
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    char buffer[64];
    while (!stop) {
      if (!WaitFor(pty.master, POLLIN, Clock::now() + 100ms)) continue;
      ssize_t n = read(pty.master, buffer, sizeof buffer);
      if (n > 0 && !WriteAllUntil(pty.master, buffer, static_cast<std::size_t>(n), Clock::now() + kStallLimit))
        return;
    }
  });
  int flags = fcntl(client, F_GETFL);
  fcntl(client, F_SETFL, flags & ~O_NONBLOCK);
  std::vector<double> times;
  const bool all = TimedRoundTrips(client, rounds, &times);
  stop = true;
  echo.join();
  close(client);
  if (!all) return {-1, -1};
  return MedianAndP99(std::move(times));
}

}  // namespace

int main(int argc, char** argv) {
  relay_exe = RelayExecutableArgument(argc, argv);
  signal(SIGPIPE, SIG_IGN);

  RelayFactory ours = [](int port, const std::string& slave) -> std::unique_ptr<Relay> {
    return std::make_unique<KorvenetRelay>(port, slave);
  };
  RelayFactory ser2net = [](int port, const std::string& slave) -> std::unique_ptr<Relay> {
    return std::make_unique<Ser2netRelay>(port, slave);
  };

  // Runs one measurement, telling on stderr what runs and how long it took.
  auto step = [](const char* what, auto measure) {
    std::fprintf(stderr, "%s\n", what);
    auto start = Clock::now();
    auto result = measure();
    std::fprintf(stderr, "  done in %.1f s\n", std::chrono::duration<double>(Clock::now() - start).count());
    return result;
  };
  if (argc > 2 && std::string(argv[2]) == "roundtrip") {
    // Optionally an earlier relay executable in the same rounds, for before-and-after figures.
    std::vector<std::pair<std::string, RelayFactory>> relays{{"korvenet", ours}};
    if (argc > 3) {
      const std::string earlier = std::filesystem::absolute(argv[3]).string();
      relays.emplace_back("earlier", [earlier](int port, const std::string& slave) -> std::unique_ptr<Relay> {
        return std::make_unique<KorvenetRelay>(port, slave, earlier);
      });
    }
    relays.emplace_back("ser2net", [](int port, const std::string& slave) -> std::unique_ptr<Relay> {
      return std::make_unique<Ser2netRelay>(port, slave, false);
    });
    std::printf("| %-10s | %10s | %10s |\n", "relay", "median ms", "p99 ms");
    for (int i = 0; i < 5; ++i) {
      for (auto& [name, make] : relays) {
        auto rtt = RoundTrip(make, 20000);
        std::printf("| %-10s | %10.4f | %10.4f |\n", name.c_str(), rtt.first, rtt.second);
      }
    }
    return 0;
  }

  Transfer to_serial_ours = step("korvenet, TCP to serial", [&] { return Throughput(ours, true); });
  Transfer to_serial_ser2net = step("ser2net, TCP to serial", [&] { return Throughput(ser2net, true); });
  Transfer to_tcp_ours = step("korvenet, serial to TCP", [&] { return Throughput(ours, false); });
  Transfer to_tcp_ser2net = step("ser2net, serial to TCP", [&] { return Throughput(ser2net, false); });
  double idle_ours = step("korvenet, idle CPU", [&] { return IdleCpu(ours, 10); });
  double idle_ser2net = step("ser2net, idle CPU", [&] { return IdleCpu(ser2net, 10); });

  std::printf("| %-34s | %10s | %10s | %-6s | %6s |\n", "measure", "korvenet", "ser2net", "unit", "ratio");
  std::printf("|%s|%s|%s|%s|%s|\n", std::string(36, '-').c_str(), std::string(12, '-').c_str(),
              std::string(12, '-').c_str(), std::string(8, '-').c_str(), std::string(8, '-').c_str());
  Row("TCP to serial, 16 MiB checked", "MB/s", to_serial_ours.mb_per_s, to_serial_ser2net.mb_per_s, true);
  Row("  bytes received of 16777216", "bytes", to_serial_ours.received, to_serial_ser2net.received, true, 0);
  Row("serial to TCP, 16 MiB checked", "MB/s", to_tcp_ours.mb_per_s, to_tcp_ser2net.mb_per_s, true);
  Row("  bytes received of 16777216", "bytes", to_tcp_ours.received, to_tcp_ser2net.received, true, 0);
  Row("idle CPU, port open, device on", "% core", idle_ours, idle_ser2net, false);
  std::printf("(ratio > 1: korvenet better; -1: the run failed, lost or changed bytes, or never carried a probe)\n");
  return 0;
}
