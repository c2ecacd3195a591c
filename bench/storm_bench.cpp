// Reconnect storms: Korvenet, with its default listen backlog and with a larger one, beside
// socat, rinetd and redir with the backlogs they ship with. Not a test: prints a table.
//
//  - storm: --devices (2000) devices connect to one channel at the same moment, each sends one
//    tagged line; the time until every line reached the server side;
//  - come and go: --churn (10000) connections, --in-flight (200) at a time, each sends its tag,
//    and leaves once the tag reached the server side, every other one with a reset; the time
//    until all came and went.
//
//   storm_bench <tcp_port_serv> [--earlier <tcp_port_serv>] [--backlog 1024] [--rounds N]
//               [--devices N] [--churn N] [--in-flight N] [--timeout S] [--only storm,churn]
//
// Korvenet's server is one connection to its server port; the peers connect out to a listener
// of the benchmark (backlog 4096) once per device, and each of those connections brings one
// line. A run that does not complete within --timeout (60 s) shows how many lines arrived.
// The listen backlog column is what the system reports for the relay's device port (ss).

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "peers.h"

using namespace bench;
using namespace std::chrono_literals;

namespace {

struct Outcome {
  int delivered = 0;
  double seconds = -1;  // until every line arrived; -1 when not all did
};

// The listen backlog that the system reports for a port (ss shows it as Send-Q); -1 unknown.
int ListenBacklog(int port) {
  const std::string command = "ss -ltnH 'sport = :" + std::to_string(port) + "' 2>/dev/null";
  FILE* out = popen(command.c_str(), "r");
  if (!out) return -1;
  char state[32] = "";
  int receive_queue = 0, send_queue = -1;
  if (std::fscanf(out, "%31s %d %d", state, &receive_queue, &send_queue) != 3) send_queue = -1;
  pclose(out);
  return send_queue;
}

// Devices that connect to a relay, each with a tagged line, and the server side that collects
// the lines; one thread, non-blocking sockets, one epoll set.
class Storm {
 public:
  Storm(Peer& peer, int total, int in_flight, bool come_and_go)
      : peer_(peer), total_(total), in_flight_(in_flight), come_and_go_(come_and_go), seen_(total, false),
        devices_(total, -1) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
  }
  ~Storm() {
    for (int fd : devices_)
      if (fd >= 0) close(fd);
    for (auto& [fd, line] : servers_) close(fd);
    close(epoll_);
  }

  Outcome Run(std::chrono::seconds timeout) {
    Outcome outcome;
    if (peer_.ServerPort()) {
      const int server = ConnectWithRetry(peer_.ServerPort(), 10s);
      if (server < 0) return outcome;
      AddServer(server);
    } else {
      SetNonBlocking(peer_.sink());
      Watch(peer_.sink(), kSink, EPOLLIN);
    }
    const auto start = Clock::now(), end = start + timeout;
    while (launched_ < total_ && launched_ - closed_ < in_flight_) Launch();
    epoll_event events[256];
    while (delivered_ + failed_ < total_ && Clock::now() < end) {
      const int n = epoll_wait(epoll_, events, 256, 100);
      for (int i = 0; i < n; ++i) Handle(events[i]);
      while (come_and_go_ && launched_ < total_ && launched_ - closed_ < in_flight_) Launch();
    }
    outcome.delivered = delivered_;
    if (delivered_ == total_) outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!peer_.ServerPort()) epoll_ctl(epoll_, EPOLL_CTL_DEL, peer_.sink(), nullptr);
    return outcome;
  }

 private:
  enum Kind : std::uint64_t { kDevice = 1, kServer = 2, kSink = 3 };

  void Watch(int fd, Kind kind, std::uint32_t events, int index = 0) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = (static_cast<std::uint64_t>(kind) << 32) | static_cast<std::uint32_t>(index);
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }

  void Launch() {
    const int i = launched_++;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(peer_.device_port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS)) {
      if (fd >= 0) close(fd);
      Fail(i);
      return;
    }
    devices_[static_cast<std::size_t>(i)] = fd;
    Watch(fd, kDevice, EPOLLOUT, i);
  }

  void Fail(int i) {
    ++failed_;
    Leave(i, false);
  }

  // Device i leaves: with a reset every other time.
  void Leave(int i, bool reset) {
    int& fd = devices_[static_cast<std::size_t>(i)];
    if (fd >= 0) {
      if (reset) {
        linger hard{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      }
      close(fd);
      fd = -1;
    }
    ++closed_;
  }

  void AddServer(int fd) {
    SetNonBlocking(fd);
    servers_[fd] = std::string();
    Watch(fd, kServer, EPOLLIN | EPOLLRDHUP, fd);
  }

  void Handle(const epoll_event& event) {
    const auto kind = static_cast<Kind>(event.data.u64 >> 32);
    const int index = static_cast<int>(event.data.u64 & 0xffffffffu);
    if (kind == kSink) {
      for (int fd; (fd = accept4(peer_.sink(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) AddServer(fd);
    } else if (kind == kDevice) {
      const int fd = devices_[static_cast<std::size_t>(index)];
      if (fd < 0) return;
      int error = 0;
      socklen_t size = sizeof error;
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
      char line[16];
      const int length = std::snprintf(line, sizeof line, "t%06d\n", index);
      if (error != 0 || send(fd, line, static_cast<std::size_t>(length), MSG_NOSIGNAL) != length) {
        Fail(index);
        return;
      }
      epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);  // nothing comes back to a device
      if (!come_and_go_) ++closed_;
    } else {
      Read(index);
    }
  }

  void Read(int fd) {
    std::string& pending = servers_[fd];
    char buffer[65536];
    while (true) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) {
        pending.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EAGAIN) break;
      // The relay let this server connection go (a peer's, once its device left).
      servers_.erase(fd);
      close(fd);
      return;
    }
    std::size_t at = 0;
    for (std::size_t end; (end = pending.find('\n', at)) != std::string::npos; at = end + 1) {
      const int tag = std::atoi(pending.c_str() + at + 1);
      if (tag < 0 || tag >= total_ || seen_[static_cast<std::size_t>(tag)]) continue;
      seen_[static_cast<std::size_t>(tag)] = true;
      ++delivered_;
      if (come_and_go_) Leave(tag, tag % 2 == 1);
    }
    pending.erase(0, at);
  }

  Peer& peer_;
  const int total_, in_flight_;
  const bool come_and_go_;
  int epoll_ = -1;
  int launched_ = 0, closed_ = 0, delivered_ = 0, failed_ = 0;
  std::vector<bool> seen_;
  std::vector<int> devices_;
  std::map<int, std::string> servers_;  // server-side connection -> bytes of an unfinished line
};

struct Entrant {
  std::string label;
  std::string kind;
  std::string exe;
  PeerSetup setup;
  int backlog = -1;
  std::map<std::string, std::vector<Outcome>> outcomes;  // measure -> one per round
};

std::string Shown(const std::vector<Outcome>& runs, int total) {
  if (runs.empty()) return "";
  std::vector<double> times;
  int least = total;
  for (const Outcome& o : runs) {
    if (o.seconds >= 0) times.push_back(o.seconds);
    least = std::min(least, o.delivered);
  }
  char text[64];
  if (times.size() == runs.size()) {
    std::sort(times.begin(), times.end());
    std::snprintf(text, sizeof text, "%.2f", times[times.size() / 2]);
  } else {
    std::snprintf(text, sizeof text, "%d of %d", least, total);
  }
  return text;
}

bool Installed(const std::string& program) {
  return std::system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string earlier, only;
  int rounds = 1, devices = 2000, churn = 10000, in_flight = 200, backlog = 1024, timeout = 60;
  const std::string exe = ParseBenchArguments(
      argc, argv,
      {.numbers = {{"--rounds", &rounds},
                   {"--devices", &devices},
                   {"--churn", &churn},
                   {"--in-flight", &in_flight},
                   {"--backlog", &backlog},
                   {"--timeout", &timeout}},
       .texts = {{"--only", &only}},
       .earlier = &earlier},
      "[--earlier <tcp_port_serv>] [--backlog N] [--rounds N] [--devices N]\n"
      "       [--churn N] [--in-flight N] [--timeout S] [--only storm,churn]");
  RaiseFileLimit();
  auto wants = [&](const char* measure) { return Selected(only, measure); };

  const std::string dir = MakeTempDir();
  StatusListener status(dir + "/notify");
  std::vector<Entrant> entrants;
  const std::string raised = "korvenet, backlog " + std::to_string(backlog);
  entrants.push_back({raised, "korvenet", exe, {"backlog " + std::to_string(backlog) + "\n", false}, -1, {}});
  entrants.push_back({"korvenet", "korvenet", exe, {}, -1, {}});
  if (!earlier.empty()) entrants.push_back({"earlier", "korvenet", earlier, {}, -1, {}});
  for (const char* name : {"socat", "rinetd", "redir"}) {
    if (Installed(name)) {
      entrants.push_back({name, name, "", {"", true}, -1, {}});
    } else {
      std::fprintf(stderr, "%s is not installed: left out\n", name);
    }
  }

  for (int r = 0; r < rounds; ++r) {
    for (std::size_t k = 0; k < entrants.size(); ++k) {
      Entrant& e = entrants[(k + static_cast<std::size_t>(r)) % entrants.size()];
      for (const char* measure : {"storm", "churn"}) {
        if (!wants(measure)) continue;
        std::fprintf(stderr, "round %d of %d: %s, %s\n", r + 1, rounds, e.label.c_str(), measure);
        auto peer = StartPeer(e.kind, e.exe, status.path(), e.setup);
        if (!peer) {
          e.outcomes[measure].push_back({});
          continue;
        }
        e.backlog = ListenBacklog(peer->device_port());
        const bool come_and_go = std::string(measure) == "churn";
        Storm storm(*peer, come_and_go ? churn : devices, come_and_go ? in_flight : devices, come_and_go);
        e.outcomes[measure].push_back(storm.Run(std::chrono::seconds(timeout)));
      }
    }
  }

  std::printf("%d round(s), medians, in seconds; a run that did not complete within %d s shows what arrived\n\n",
              rounds, timeout);
  const std::string storm_head = "storm of " + std::to_string(devices) + ": every line";
  const std::string churn_head =
      std::to_string(churn) + " come and go (" + std::to_string(in_flight) + " at a time)";
  std::printf("| %-24s | %14s | %-26s | %-34s |\n", "relay", "listen backlog", storm_head.c_str(), churn_head.c_str());
  std::printf("|%s|%s|%s|%s|\n", std::string(26, '-').c_str(), std::string(16, '-').c_str(),
              std::string(28, '-').c_str(), std::string(36, '-').c_str());
  for (auto& e : entrants) {
    std::printf("| %-24s | %14d | %26s | %34s |\n", e.label.c_str(), e.backlog,
                Shown(e.outcomes["storm"], devices).c_str(), Shown(e.outcomes["churn"], churn).c_str());
  }
  RemoveTree(dir);
  return 0;
}
