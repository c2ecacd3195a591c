#pragma once
// The relays the peer benchmark compares: Korvenet and the Debian relays that do the same job
// (socat, rinetd, redir). Each joins a device-side connection to a server-side one. Korvenet
// accepts on both sides; the peers accept the device and connect out to a listener that the
// benchmark holds, which plays the server.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"

namespace bench {

class Peer {
 public:
  virtual ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  const std::string& name() const { return name_; }
  int device_port() const { return device_port_; }
  // The processes whose work counts: the relay and the processes it forked.
  std::vector<pid_t> Pids() const;
  // Connects a device (and, for Korvenet, a server), accepts what the relay connects out to,
  // and waits until bytes pass from the device to the server. Blocking sockets; false when
  // the relay did not pass the probe.
  bool Join(int& device, int& server);
  // Connects a device that sends nothing (the relay may connect out for it; that connection
  // waits in the server listener's backlog). -1 on failure.
  int ConnectIdleDevice();
  // Korvenet: the port where the server connects; 0 for the peers, which connect out to sink().
  virtual int ServerPort() const { return 0; }
  // The server listener the peers connect out to (backlog 4096); -1 for Korvenet.
  int sink() const { return sink_; }

 protected:
  Peer(std::string name, int device_port);
  void StartProcess(const std::vector<std::string>& argv, const std::string& directory = "");

  std::string name_;
  int device_port_;
  int sink_ = -1;  // the server listener the peers connect out to
  int sink_port_ = 0;
  std::unique_ptr<Process> process_;
};

// How a relay is started beyond its channel.
struct PeerSetup {
  std::string options;           // Korvenet: the options file's text (none when empty)
  bool shipped_backlog = false;  // socat: its own listen backlog instead of 4096
};

// "korvenet" (the executable at `relay_exe`, run as a service that reports to `notify_socket`),
// "socat", "rinetd" or "redir". Waits until the relay accepts connections.
std::unique_ptr<Peer> StartPeer(const std::string& name, const std::string& relay_exe,
                                const std::string& notify_socket, const PeerSetup& setup = {});

}  // namespace bench
