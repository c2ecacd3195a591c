#pragma once
// What waits unread in a socket of another process, read from the kernel's TCP table. The
// relay's sockets are Linux sockets also under Wine. Any thread.

#include <fstream>
#include <sstream>
#include <string>

namespace test {

// Unread bytes in the relay's own socket of the connection that a client made from
// `client_port` to `relay_port` (-1 when no such connection exists).
inline int RelayUnread(int relay_port, int client_port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  auto port_of = [](const std::string& address) {
    return std::stoi(address.substr(address.find(':') + 1), nullptr, 16);
  };
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (port_of(local) == relay_port && port_of(remote) == client_port) {
      return std::stoi(queues.substr(queues.find(':') + 1), nullptr, 16);
    }
  }
  return -1;
}

}  // namespace test
