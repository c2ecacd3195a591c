#pragma once
// A claim on a TCP port among test processes that run side by side: an abstract Unix socket
// named after the port, which only one process can bind. The claim lasts while the returned
// descriptor is open, and ends with the process however it ends. Any thread.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>

namespace test {

// The claim's descriptor, or -1 when another process holds the claim (or no socket is left).
inline int ClaimPort(const std::string& kind, int port) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string name = "korvenet-" + kind + "-port-" + std::to_string(port);
  std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] == 0: abstract
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace test
