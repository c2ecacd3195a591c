#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <random>
#include <string>

#include "tests/support/linux/port_claim.h"
#include "tests/support/test_support.h"

namespace test {
namespace {

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

sockaddr_in Address(const std::string& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
  return a;
}

// A connected socket with no send coalescing, bound first to `source` when given; -1 on failure.
int ConnectSocket(const sockaddr_in* source, const sockaddr_in& to, int receive_buffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (receive_buffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  if ((source && ::bind(fd, reinterpret_cast<const sockaddr*>(source), sizeof *source) != 0) ||
      ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    ::close(fd);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

bool Client::Connect(int port, int receive_buffer) {
  Close();
  const int fd = ConnectSocket(nullptr, Loopback(port), receive_buffer);
  if (fd >= 0) socket_ = fd;
  return fd >= 0;
}

bool Client::ConnectFrom(const std::string& source, int port, const std::string& destination) {
  Close();
  const sockaddr_in from = Address(source, 0);
  const int fd = ConnectSocket(&from, Address(destination, port), 0);
  if (fd >= 0) socket_ = fd;
  return fd >= 0;
}

int Client::LocalPort() const {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (!connected() || ::getsockname(static_cast<int>(socket_), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

bool Client::SendAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(static_cast<int>(socket_), bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool Client::SendUrgent(char byte) {
  return ::send(static_cast<int>(socket_), &byte, 1, MSG_OOB | MSG_NOSIGNAL) == 1;
}

std::string Client::Receive(std::size_t count, std::chrono::milliseconds timeout) {
  std::string out;
  auto end = Clock::now() + timeout;
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0) break;
    pollfd p{static_cast<int>(socket_), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[65536];
    std::size_t want = std::min(sizeof buffer, count - out.size());
    ssize_t n = ::recv(static_cast<int>(socket_), buffer, want, 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

bool Client::NothingWithin(std::chrono::milliseconds quiet) {
  pollfd p{static_cast<int>(socket_), POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) return true;
  char c;
  return ::recv(static_cast<int>(socket_), &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

bool Client::ClosedByPeer(std::chrono::milliseconds timeout) {
  auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    pollfd p{static_cast<int>(socket_), POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) {
      char buffer[4096];
      ssize_t n = ::recv(static_cast<int>(socket_), buffer, sizeof buffer, 0);
      if (n <= 0) return true;
    }
  }
  return false;
}

void Client::Reset() {
  if (!connected()) return;
  linger l{1, 0};
  ::setsockopt(static_cast<int>(socket_), SOL_SOCKET, SO_LINGER, &l, sizeof l);
  Close();
}

void Client::Close() {
  if (connected()) ::close(static_cast<int>(socket_));
  socket_ = kNone;
}

int SystemBytesWaiting(std::intptr_t socket) {
  int n = 0;
  ::ioctl(static_cast<int>(socket), FIONREAD, &n);
  return n;
}

bool FixSendBuffer(std::intptr_t socket, int bytes) {
  return ::setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

SocketOptions OptionsOf(std::intptr_t socket) {
  auto read = [&](int level, int option) {
    int value = -1;
    socklen_t size = sizeof value;
    return ::getsockopt(static_cast<int>(socket), level, option, &value, &size) == 0 ? value : -1;
  };
  SocketOptions options;
  options.reuse_address = read(SOL_SOCKET, SO_REUSEADDR);
  options.no_delay = read(IPPROTO_TCP, TCP_NODELAY);
  options.keep_alive = read(SOL_SOCKET, SO_KEEPALIVE);
  options.keepalive_timing_readable = true;
  options.keepalive_idle_s = read(IPPROTO_TCP, TCP_KEEPIDLE);
  options.keepalive_interval_s = read(IPPROTO_TCP, TCP_KEEPINTVL);
  options.keepalive_count = read(IPPROTO_TCP, TCP_KEEPCNT);
  return options;
}

bool SocketSeesReset(std::intptr_t socket, std::chrono::milliseconds timeout) {
  return WaitUntil(
      [&] {
        pollfd p{static_cast<int>(socket), POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP));
      },
      timeout);
}

// Below the system's ephemeral range (32768 and up), whose ports every outgoing connection
// takes as its local port, and below the fault matrix's ports (20000 and up).
constexpr int kFreePortFirst = 10000, kFreePortLast = 19999;

int FreePort() {
  static std::mutex lock;
  static std::mt19937 random(std::random_device{}());
  std::lock_guard<std::mutex> hold(lock);
  for (int attempt = 0; attempt < 4 * (kFreePortLast - kFreePortFirst); ++attempt) {
    const int port = kFreePortFirst + static_cast<int>(random() % (kFreePortLast - kFreePortFirst + 1));
    if (PortIsFree(port) && ClaimPort("test", port) >= 0) return port;  // claimed for good
  }
  return 0;
}

bool PortIsFree(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return free;
}

int TcpServicePort(const std::string& name) {
  const servent* found = ::getservbyname(name.c_str(), "tcp");
  return found ? ntohs(static_cast<std::uint16_t>(found->s_port)) : 0;
}

}  // namespace test
