#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>

#include "tests/support/test_support.h"

namespace test {
namespace {

// Winsock is started once for the whole test program.
struct SocketLibrary {
  SocketLibrary() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
};

void EnsureSocketLibrary() { static SocketLibrary library; }

SOCKET ToSocket(std::intptr_t s) { return static_cast<SOCKET>(s); }

sockaddr_in Loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  return a;
}

sockaddr_in Address(const std::string& address, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(static_cast<u_short>(port));
  a.sin_addr.s_addr = ::inet_addr(address.c_str());
  return a;
}

// A connected socket with no send coalescing, bound first to `source` when given.
SOCKET ConnectSocket(const sockaddr_in* source, const sockaddr_in& to, int receive_buffer) {
  EnsureSocketLibrary();
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return s;
  if (receive_buffer > 0) {
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receive_buffer), sizeof receive_buffer);
  }
  if ((source && ::bind(s, reinterpret_cast<const sockaddr*>(source), sizeof *source) != 0) ||
      ::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
    ::closesocket(s);
    return INVALID_SOCKET;
  }
  const BOOL on = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return s;
}

// Waits until the socket is readable (bytes, end of stream or an error); false at the timeout.
bool Readable(SOCKET s, std::chrono::milliseconds timeout) {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval limit{static_cast<long>(timeout.count() / 1000), static_cast<long>(timeout.count() % 1000 * 1000)};
  return ::select(0, &readable, nullptr, nullptr, &limit) > 0;
}

}  // namespace

bool Client::Connect(int port, int receive_buffer) {
  Close();
  const SOCKET s = ConnectSocket(nullptr, Loopback(port), receive_buffer);
  if (s != INVALID_SOCKET) socket_ = static_cast<std::intptr_t>(s);
  return s != INVALID_SOCKET;
}

bool Client::ConnectFrom(const std::string& source, int port, const std::string& destination) {
  Close();
  const sockaddr_in from = Address(source, 0);
  const SOCKET s = ConnectSocket(&from, Address(destination, port), 0);
  if (s != INVALID_SOCKET) socket_ = static_cast<std::intptr_t>(s);
  return s != INVALID_SOCKET;
}

int Client::LocalPort() const {
  sockaddr_in a{};
  int len = sizeof a;
  if (!connected() || ::getsockname(ToSocket(socket_), reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  return ::ntohs(a.sin_port);
}

bool Client::SendAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
    const int n = ::send(ToSocket(socket_), bytes.data() + done, chunk, 0);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool Client::SendUrgent(char byte) { return ::send(ToSocket(socket_), &byte, 1, MSG_OOB) == 1; }

std::string Client::Receive(std::size_t count, std::chrono::milliseconds timeout) {
  std::string out;
  auto end = Clock::now() + timeout;
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
    if (left.count() <= 0 || !Readable(ToSocket(socket_), left)) break;
    char buffer[65536];
    const int want = static_cast<int>(std::min(sizeof buffer, count - out.size()));
    const int n = ::recv(ToSocket(socket_), buffer, want, 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  return out;
}

bool Client::NothingWithin(std::chrono::milliseconds quiet) {
  if (!Readable(ToSocket(socket_), quiet)) return true;
  char c;
  return ::recv(ToSocket(socket_), &c, 1, MSG_PEEK) == 0;
}

bool Client::ClosedByPeer(std::chrono::milliseconds timeout) {
  auto end = Clock::now() + timeout;
  while (Clock::now() < end) {
    if (Readable(ToSocket(socket_), std::chrono::milliseconds(50))) {
      char buffer[4096];
      if (::recv(ToSocket(socket_), buffer, sizeof buffer, 0) <= 0) return true;
    }
  }
  return false;
}

void Client::Reset() {
  if (!connected()) return;
  linger l{1, 0};
  ::setsockopt(ToSocket(socket_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
  Close();
}

void Client::Close() {
  if (connected()) ::closesocket(ToSocket(socket_));
  socket_ = kNone;
}

int SystemBytesWaiting(std::intptr_t socket) {
  u_long n = 0;
  ::ioctlsocket(ToSocket(socket), FIONREAD, &n);
  return static_cast<int>(n);
}

bool FixSendBuffer(std::intptr_t socket, int bytes) {
  return ::setsockopt(ToSocket(socket), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

SocketOptions OptionsOf(std::intptr_t socket) {
  auto read = [&](int level, int option) {
    BOOL value = FALSE;
    int size = sizeof value;
    return ::getsockopt(ToSocket(socket), level, option, reinterpret_cast<char*>(&value), &size) == 0 ? (value ? 1 : 0)
                                                                                                  : -1;
  };
  SocketOptions options;
  options.reuse_address = read(SOL_SOCKET, SO_REUSEADDR);
  options.no_delay = read(IPPROTO_TCP, TCP_NODELAY);
  options.keep_alive = read(SOL_SOCKET, SO_KEEPALIVE);
  return options;
}

bool SocketSeesReset(std::intptr_t socket, std::chrono::milliseconds timeout) {
  return WaitUntil(
      [&] {
        if (!Readable(ToSocket(socket), std::chrono::milliseconds(0))) return false;
        char c;
        return ::recv(ToSocket(socket), &c, 1, MSG_PEEK) == SOCKET_ERROR && ::WSAGetLastError() == WSAECONNRESET;
      },
      timeout);
}

int FreePort() {
  EnsureSocketLibrary();
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a = Loopback(0);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  int len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::closesocket(s);
  return ::ntohs(a.sin_port);
}

bool PortIsFree(int port) {
  EnsureSocketLibrary();
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(static_cast<u_short>(port));
  const bool free = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::closesocket(s);
  return free;
}

int TcpServicePort(const std::string& name) {
  EnsureSocketLibrary();
  const servent* found = ::getservbyname(name.c_str(), "tcp");
  return found ? ::ntohs(static_cast<u_short>(found->s_port)) : 0;
}

}  // namespace test
