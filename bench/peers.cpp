#include "peers.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace bench {
namespace {

using namespace std::chrono_literals;

// A listener on 127.0.0.1 that the peers connect out to; it accepts only when the benchmark
// asks, so idle connections wait in its backlog.
int ListenLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4096) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int AcceptWithin(int listener, std::chrono::milliseconds timeout) {
  pollfd p{listener, POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return -1;
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

class Korvenet : public Peer {
 public:
  Korvenet(const std::string& exe, const std::string& notify_socket, std::pair<int, int> ports,
           const std::string& options)
      : Peer("korvenet", ports.first), server_port_(ports.second) {
    dir_ = MakeTempDir();
    WriteFile(dir_ + "/cnf_port.cfg",
              std::to_string(ports.first) + ";0;2;" + std::to_string(ports.second) + ";bench\r\n");
    if (!options.empty()) WriteFile(dir_ + "/cnf_options.cfg", options);
    std::filesystem::copy_file(exe, dir_ + "/tcp_port_serv");
    // Run as the service, reporting to the benchmark; event-log entries go nowhere.
    setenv("NOTIFY_SOCKET", notify_socket.c_str(), 1);
    setenv("KORVENET_EVENTLOG", (dir_ + "/no-log").c_str(), 1);
    StartProcess({dir_ + "/tcp_port_serv"}, dir_);
    unsetenv("NOTIFY_SOCKET");
    unsetenv("KORVENET_EVENTLOG");
  }
  ~Korvenet() override {
    process_.reset();
    RemoveTree(dir_);
  }

  int ServerPort() const override { return server_port_; }

 private:
  int server_port_;
  std::string dir_;
};

std::string ListenSpec(int port, bool shipped_backlog) {
  return "TCP-LISTEN:" + std::to_string(port) + ",reuseaddr,fork" + (shipped_backlog ? "" : ",backlog=4096");
}

}  // namespace

Peer::Peer(std::string name, int device_port) : name_(std::move(name)), device_port_(device_port) {}

Peer::~Peer() {
  process_.reset();
  if (sink_ >= 0) close(sink_);
}

void Peer::StartProcess(const std::vector<std::string>& argv, const std::string& directory) {
  process_ = std::make_unique<Process>(argv, directory);
}

std::vector<pid_t> Peer::Pids() const {
  // The members of the relay's process group: a forwarder's per-connection processes may have
  // left their parent (redir's do), but not its group.
  std::vector<pid_t> out;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in(entry.path() / "stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) continue;
    std::istringstream fields(text.substr(end + 2));
    std::string state;
    pid_t parent = 0, group = 0;
    if (fields >> state >> parent >> group && group == process_->pid() && state != "Z") {
      out.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return out;
}

bool Peer::Join(int& device, int& server) {
  device = ConnectWithRetry(device_port_, 10s);
  server = ServerPort() ? ConnectWithRetry(ServerPort(), 10s) : AcceptWithin(sink_, 10s);
  if (device < 0 || server < 0) return false;
  auto end = Clock::now() + 10s;
  while (Clock::now() < end) {
    SendAll(device, "p", 1);
    pollfd p{server, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buffer[256];
    if (recv(server, buffer, sizeof buffer, MSG_PEEK) <= 0) {
      // What a forwarder connected out for an earlier, closed device: take the next one.
      close(server);
      server = ServerPort() ? -1 : AcceptWithin(sink_, 10s);
      if (server < 0) return false;
      continue;
    }
    // Drain the probes still in flight.
    while (true) {
      pollfd q{server, POLLIN, 0};
      if (poll(&q, 1, 300) <= 0) break;
      if (recv(server, buffer, sizeof buffer, 0) <= 0) return false;
    }
    return true;
  }
  return false;
}

int Peer::ConnectIdleDevice() { return ConnectLoopback(device_port_); }

std::unique_ptr<Peer> StartPeer(const std::string& name, const std::string& relay_exe,
                                const std::string& notify_socket, const PeerSetup& setup) {
  const auto ports = FreePortPair();
  std::unique_ptr<Peer> peer;
  if (name == "korvenet") {
    peer = std::make_unique<Korvenet>(relay_exe, notify_socket, ports, setup.options);
  } else {
    struct Forwarder : Peer {
      Forwarder(const std::string& n, int device_port) : Peer(n, device_port) {}
      void Start(int server_port, const std::vector<std::string>& argv, const std::string& directory) {
        sink_ = ListenLoopback(server_port);
        sink_port_ = server_port;
        StartProcess(argv, directory);
      }
      std::string dir;
      ~Forwarder() override {
        process_.reset();
        if (!dir.empty()) RemoveTree(dir);
      }
    };
    auto forwarder = std::make_unique<Forwarder>(name, ports.first);
    const std::string device = std::to_string(ports.first), server = std::to_string(ports.second);
    if (name == "socat") {
      // One child per connection, as socat serves many; 64 KiB transfers like the others.
      forwarder->Start(ports.second, {"socat", "-b", "65536", ListenSpec(ports.first, setup.shipped_backlog), "TCP:127.0.0.1:" + server}, "");
    } else if (name == "rinetd") {
      forwarder->dir = MakeTempDir();
      WriteFile(forwarder->dir + "/rinetd.conf", "127.0.0.1 " + device + " 127.0.0.1 " + server + "\n");
      forwarder->Start(ports.second, {"rinetd", "-f", "-c", forwarder->dir + "/rinetd.conf"}, forwarder->dir);
    } else if (name == "redir") {
      forwarder->Start(ports.second, {"redir", "-n", "127.0.0.1:" + device, "127.0.0.1:" + server}, "");
    } else {
      return nullptr;
    }
    peer = std::move(forwarder);
  }
  // Ready once the device port accepts; the probe connection is dropped again (a forwarder's
  // outgoing connection for it waits in the server listener's backlog and is never read).
  int probe = ConnectWithRetry(ports.first, 10s);
  if (probe < 0) return nullptr;
  close(probe);
  return peer;
}

}  // namespace bench
