#pragma once
// What the kernel's TCP table tells of the relay's sockets: what waits unread in them and
// whether the relay still holds a connection. The relay's sockets are Linux sockets also under
// Wine. Any thread.

#include <fstream>
#include <sstream>
#include <string>

namespace test {

// The relay's own socket of the connection from `client_port` to `relay_port` as the kernel's
// TCP table has it: its unread bytes (rx_queue) and state; false when there is none.
inline bool RelaySocket(int relay_port, int client_port, int& unread, int& state) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  auto port_of = [](const std::string& address) {
    return std::stoi(address.substr(address.find(':') + 1), nullptr, 16);
  };
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state_field, queues;
    fields >> slot >> local >> remote >> state_field >> queues;
    if (port_of(local) == relay_port && port_of(remote) == client_port) {
      unread = std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
      state = std::stoi(state_field, nullptr, 16);
      return true;
    }
  }
  return false;
}

// True while the relay has not closed its socket of that connection (established, or the
// client's close not yet answered).
inline bool RelayHolds(int relay_port, int client_port) {
  constexpr int kEstablished = 1, kCloseWait = 8;
  int unread = 0, state = 0;
  return RelaySocket(relay_port, client_port, unread, state) && (state == kEstablished || state == kCloseWait);
}

// Unread bytes in the relay's own socket of the connection that a client made from
// `client_port` to `relay_port` (-1 when no such connection exists).
inline int RelayUnread(int relay_port, int client_port) {
  int unread = 0, state = 0;
  return RelaySocket(relay_port, client_port, unread, state) ? unread : -1;
}

// The receive window that the far end of the test's own socket `fd` advertised last (the room
// left in its receive buffer); -1 where the kernel does not tell. Zero means the far end's
// socket holds all that its buffer, at whatever size the kernel gave it, takes. (In the test
// support library, tests/support/linux/peer_window.cpp.)
long PeerWindow(int fd);

}  // namespace test
