// TCP sockets through Winsock, asked for version 1.1, and the notifier through
// WSAAsyncSelect, which has the notifier's rules natively: one message per event to the
// window's thread queue, socket in wparam, event and error in lparam; FD_ACCEPT and FD_READ
// re-enabled by accept and recv, FD_WRITE at registration and after WSAEWOULDBLOCK, FD_CLOSE
// once with the reset or abort code. Registering makes the socket non-blocking, and an accepted
// socket starts with its listener's registration until it is registered itself.
//
// What holds beside Winsock's own rules:
//  - Read before close: Winsock may post FD_CLOSE while bytes that came before the peer's
//    close are still unread, behind no further FD_READ. The notification window therefore
//    delivers a read notification just before an orderly close of a socket registered here for
//    reads whenever bytes still wait in it (ReadWaitsBeforeClose).
//  - Late notifications: messages Winsock queued before a socket was closed or registered anew
//    stay in the queue. The notification window drops those whose socket is no longer
//    registered with that window and message number (IsStaleNotification); a handle value
//    reused by a new socket registered with the same window (a listener reopened) may still
//    see one stale notification, which finds nothing to accept or read.

#include "platform/sockets.h"

#include <climits>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>

#include "platform/win/notification_window.h"
#include "platform/win/windows_api.h"

#include <mstcpip.h>

namespace platform {

const int kSocketInvalidArgument = WSAEINVAL;
const int kSocketWouldBlock = WSAEWOULDBLOCK;

namespace {

// The error of the failed call is taken at once: later calls of the same thread (a lock, a
// thread-local look-up) may reset the system's last error before the caller asks for it.
thread_local int last_error = 0;

int Fail() {
  last_error = ::WSAGetLastError();
  return -1;
}

SOCKET ToSocket(SocketHandle s) { return static_cast<SOCKET>(s); }

struct Registration {
  WindowHandle window = 0;
  std::uint32_t message = 0;
  int mask = 0;
  bool starved = false;  // an accept failed for lack of resources; notifications wait for a close
};

std::mutex registry_lock;
int starved_listeners = 0;  // guarded by registry_lock
std::unordered_map<SocketHandle, Registration>& registry() {
  static auto* map = new std::unordered_map<SocketHandle, Registration>;  // never destroyed
  return *map;
}

// The message numbers that sockets were registered with, by window, until the window goes.
// Guarded by registry_lock.
std::unordered_map<WindowHandle, std::set<std::uint32_t>>& notifying() {
  static auto* map = new std::unordered_map<WindowHandle, std::set<std::uint32_t>>;  // never destroyed
  return *map;
}

void Forget(SocketHandle s) {
  std::lock_guard<std::mutex> hold(registry_lock);
  auto it = registry().find(s);
  if (it == registry().end()) return;
  if (it->second.starved) --starved_listeners;
  registry().erase(it);
}

// Sockets are not handed to child processes.
void KeepFromChildren(SOCKET s) { ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0); }

}  // namespace

namespace win_detail {

bool ReadWaitsBeforeClose(const Message& message) {
  if ((message.lparam & 0xffff) != kFdClose || ((message.lparam >> 16) & 0xffff) != 0) return false;
  const auto s = static_cast<SocketHandle>(message.wparam);
  {
    std::lock_guard<std::mutex> hold(registry_lock);
    auto it = registry().find(s);
    if (it == registry().end()) return false;
    const Registration& r = it->second;
    if (r.window != message.window || r.message != message.id || (r.mask & kFdRead) == 0) return false;
  }
  u_long count = 0;
  return ::ioctlsocket(ToSocket(s), FIONREAD, &count) == 0 && count > 0;
}

bool IsStaleNotification(const Message& message) {
  std::lock_guard<std::mutex> hold(registry_lock);
  auto window = notifying().find(message.window);
  if (window == notifying().end() || window->second.count(message.id) == 0) return false;
  auto it = registry().find(static_cast<SocketHandle>(message.wparam));
  return it == registry().end() || it->second.window != message.window || it->second.message != message.id;
}

void ForgetWindowNotifications(WindowHandle window) {
  std::lock_guard<std::mutex> hold(registry_lock);
  notifying().erase(window);
}

}  // namespace win_detail

int SocketLibraryStartup() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(1, 1), &data);
}

int SocketLibraryCleanup() { return ::WSACleanup() == 0 ? 0 : ::WSAGetLastError(); }

int LastSocketError() { return last_error; }

bool IsResourceShortage(int code) { return code == WSAEMFILE || code == WSAENOBUFS; }

SocketHandle CreateTcpSocket() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return Fail();
  KeepFromChildren(s);
  return static_cast<SocketHandle>(s);
}

int BindAny(SocketHandle s, std::uint16_t port) { return BindAddress(s, INADDR_ANY, port); }

int BindAddress(SocketHandle s, std::uint32_t local, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = ::htons(port);
  address.sin_addr.s_addr = ::htonl(local);
  return ::bind(ToSocket(s), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : Fail();
}

int Listen(SocketHandle s, int backlog) { return ::listen(ToSocket(s), backlog) == 0 ? 0 : Fail(); }

// Winsock has no query for it; its providers lower a larger backlog silently.
int MaxListenBacklog() { return 0; }

bool IsLocalBroadcastAddress(std::uint32_t) { return false; }

SocketHandle Accept(SocketHandle listener) {
  const SOCKET s = ::accept(ToSocket(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    Fail();
    if (IsResourceShortage(last_error)) {
      // Winsock would report the waiting peer again at once (accept re-enables FD_ACCEPT even
      // when it fails): the listener's notifications wait until a socket is closed.
      std::lock_guard<std::mutex> hold(registry_lock);
      auto it = registry().find(listener);
      if (it != registry().end() && !it->second.starved) {
        it->second.starved = true;
        ++starved_listeners;
        ::WSAAsyncSelect(ToSocket(listener), win_detail::ToHwnd(it->second.window), it->second.message, 0);
      }
    }
    return -1;
  }
  KeepFromChildren(s);
  return static_cast<SocketHandle>(s);
}

int Receive(SocketHandle s, void* buffer, int size) {
  const int n = ::recv(ToSocket(s), static_cast<char*>(buffer), size < 0 ? 0 : size, 0);
  return n == SOCKET_ERROR ? Fail() : n;
}

int Send(SocketHandle s, const void* data, int size) {
  const int n = ::send(ToSocket(s), static_cast<const char*>(data), size < 0 ? 0 : size, 0);
  return n == SOCKET_ERROR ? Fail() : n;
}

int CloseSocket(SocketHandle s) {
  Forget(s);
  const int result = ::closesocket(ToSocket(s)) == 0 ? 0 : Fail();
  // Listeners that could not accept try again: registering anew reports a waiting peer.
  std::lock_guard<std::mutex> hold(registry_lock);
  if (starved_listeners == 0) return result;
  for (auto& [listener, r] : registry()) {
    if (!r.starved) continue;
    r.starved = false;
    --starved_listeners;
    ::WSAAsyncSelect(ToSocket(listener), win_detail::ToHwnd(r.window), r.message, r.mask);
  }
  return result;
}

int BytesWaiting(SocketHandle s, int& count) {
  count = 0;
  u_long n = 0;
  if (::ioctlsocket(ToSocket(s), FIONREAD, &n) != 0) return Fail();
  count = n > static_cast<u_long>(INT_MAX) ? INT_MAX : static_cast<int>(n);
  return 0;
}

int LocalPort(SocketHandle s, int& port) {
  sockaddr_in address{};
  int size = sizeof address;
  if (::getsockname(ToSocket(s), reinterpret_cast<sockaddr*>(&address), &size) != 0) return Fail();
  port = ::ntohs(address.sin_port);
  return 0;
}

int PeerAddress(SocketHandle s, std::string& address) {
  sockaddr_in peer{};
  int size = sizeof peer;
  if (::getpeername(ToSocket(s), reinterpret_cast<sockaddr*>(&peer), &size) != 0) return Fail();
  const char* text = ::inet_ntoa(peer.sin_addr);  // this thread's own buffer
  address = std::string(text ? text : "") + ":" + std::to_string(::ntohs(peer.sin_port));
  return 0;
}

int PeerIPv4Address(SocketHandle s, std::uint32_t& address) {
  sockaddr_in peer{};
  int size = sizeof peer;
  if (::getpeername(ToSocket(s), reinterpret_cast<sockaddr*>(&peer), &size) != 0) return Fail();
  address = ::ntohl(peer.sin_addr.s_addr);
  return 0;
}

// Winsock has no query for what still waits in a socket's send queue.
int UnsentBytes(SocketHandle, int& count) {
  count = 0;
  last_error = WSAEOPNOTSUPP;
  return -1;
}

int LookupTcpService(const char* name, std::uint16_t& port) {
  // Winsock keeps the answer per thread, so the look-up may run on any thread.
  const servent* found = ::getservbyname(name, "tcp");
  if (found == nullptr) {
    const int code = ::WSAGetLastError();
    return code != 0 ? code : WSANO_DATA;
  }
  port = ::ntohs(static_cast<u_short>(found->s_port));
  return 0;
}

// Nothing to set. A listener's port is free again as soon as the listener is closed, while
// its earlier connections still wait in TIME_WAIT: Windows lets a new listener bind then.
// Windows' SO_REUSEADDR would go further and let this listener share a port that another
// socket is listening on, so that a second channel on a port in use would seem to open
// instead of failing.
int SetReuseAddress(SocketHandle) { return 0; }

int SetNoDelay(SocketHandle s) {
  const BOOL on = TRUE;
  return ::setsockopt(ToSocket(s), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == 0
             ? 0
             : Fail();
}

int SetKeepAlive(SocketHandle s) {
  const BOOL on = TRUE;
  if (::setsockopt(ToSocket(s), SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
    return Fail();
  }
  // The first probe after 60 s of silence, then every 10 s (Windows gives up after 10 probes).
  // Where the system refuses these values, its own keepalive timing stays.
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = 60000;
  values.keepaliveinterval = 10000;
  DWORD returned = 0;
  ::WSAIoctl(ToSocket(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
  return 0;
}

int SetResetOnClose(SocketHandle s) {
  linger reset{1, 0};  // closesocket then makes a hard close: a reset
  return ::setsockopt(ToSocket(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof reset) == 0
             ? 0
             : Fail();
}

void AsyncSelect(SocketHandle s, WindowHandle window, std::uint32_t message, int mask) {
  // The result of WSAAsyncSelect is not looked at; a socket that cannot be registered simply
  // gets no notifications.
  if (mask == 0 || window == 0 || WindowThread(window) == 0) {
    Forget(s);
    ::WSAAsyncSelect(ToSocket(s), nullptr, 0, 0);
    u_long blocking = 0;
    ::ioctlsocket(ToSocket(s), FIONBIO, &blocking);
    return;
  }
  {
    std::lock_guard<std::mutex> hold(registry_lock);
    Registration& r = registry()[s];
    if (r.starved) --starved_listeners;
    r = Registration{window, message, mask};
    notifying()[window].insert(message);
  }
  ::WSAAsyncSelect(ToSocket(s), win_detail::ToHwnd(window), message, mask);
}

}  // namespace platform
