// The kernel's own tcp_info, which tells the peer's advertised window; the C library's copy
// of the structure is older and lacks it.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

#include "tests/support/linux/socket_queue.h"

namespace test {

long PeerWindow(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd) {
    return -1;
  }
  return static_cast<long>(info.tcpi_snd_wnd);
}

}  // namespace test
