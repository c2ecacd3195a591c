#include "platform/sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/linux/message_queue.h"

namespace platform {

const int kSocketInvalidArgument = EINVAL;
const int kSocketWouldBlock = EWOULDBLOCK;

namespace {

thread_local int last_error = 0;

int Fail() {
  last_error = errno;
  return -1;
}

// What the notifier knows of one registered socket. Every field is guarded by `lock`.
struct Registration {
  std::mutex lock;
  int fd = -1;
  std::uint32_t generation = 0;
  bool closed = false;  // the descriptor was closed or unregistered; ignore late readiness
  std::shared_ptr<linux_detail::MessageQueue> queue;
  WindowHandle window = 0;
  std::uint32_t message = 0;
  int mask = 0;
  bool read_posted = false;    // a read notification waits for the next Receive
  bool accept_posted = false;  // an accept notification waits for the next Accept
  bool starved = false;        // an accept failed for lack of resources; wait for a close
  bool write_wanted = false;   // a send would have blocked; report when sending is possible
  bool close_posted = false;   // the close was reported; nothing more is
  bool urgent = false;         // the peer sent urgent data: a receive may stop at its mark
};

// A descriptor kept in reserve, so that a listener can still take a waiting peer when the
// process has run out of descriptors, and refuse it at once: the peer is told, and the
// listener does not stay readable for ever. Guarded by reserve_lock.
std::mutex reserve_lock;
int reserve_fd = -1;

void KeepReserveLocked() {
  if (reserve_fd < 0) reserve_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

// Takes one waiting peer with the reserve descriptor and closes it with a reset. True when a
// peer was refused so.
bool RefuseOnePeer(int listener) {
  std::lock_guard<std::mutex> hold(reserve_lock);
  KeepReserveLocked();
  if (reserve_fd < 0) return false;
  ::close(reserve_fd);
  reserve_fd = -1;
  int peer = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (peer >= 0) {
    linger reset{1, 0};
    setsockopt(peer, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(peer);
  }
  KeepReserveLocked();
  return peer >= 0;
}

// Listeners waiting for a close since an accept failed for lack of resources.
std::atomic<int> starved_listeners{0};

std::mutex registry_lock;
std::unordered_map<int, std::shared_ptr<Registration>>& registry() {
  static auto* map = new std::unordered_map<int, std::shared_ptr<Registration>>;
  return *map;
}
std::uint32_t next_generation = 1;  // guarded by registry_lock; 0 is never used

std::shared_ptr<Registration> Find(int fd) {
  std::lock_guard<std::mutex> hold(registry_lock);
  auto it = registry().find(fd);
  return it == registry().end() ? nullptr : it->second;
}

std::shared_ptr<Registration> Unregister(int fd) {
  std::lock_guard<std::mutex> hold(registry_lock);
  auto it = registry().find(fd);
  if (it == registry().end()) return nullptr;
  auto found = it->second;
  registry().erase(it);
  return found;
}

std::uint64_t KeyOf(const Registration& r) {
  return (static_cast<std::uint64_t>(r.generation) << 32) | static_cast<std::uint32_t>(r.fd);
}

// The caller holds r.lock. A notification that still waits is not posted again: a receive of
// the reader's own accord (not in answer to the notification) that leaves bytes would else add
// a second read, and a socket that always has bytes would hold ever more places in the queue.
void Notify(const Registration& r, int event, int error = 0) {
  if (!r.queue) return;
  linux_detail::PostMessageOnce(*r.queue, Message{r.window, r.message, static_cast<std::uintptr_t>(r.fd),
                                                  static_cast<std::intptr_t>(event | (error << 16))});
}

int Waiting(int fd) {
  int count = 0;
  return ioctl(fd, FIONREAD, &count) == 0 ? count : 0;
}

// The caller holds r.lock, and a receive into `size` bytes just took `received`: whether bytes
// that arrived before it still wait with no notification to come. A TCP receive that stops
// short has taken all that waited, and bytes that arrive later raise readiness of their own,
// which the owning thread's next poll reports now that no read notification is outstanding. So
// only a receive that filled its buffer may have left bytes (the count says whether it did),
// or one that stopped at the mark of the peer's urgent data: the count then ends at the mark
// and says nothing of the bytes behind it, which the next receive takes.
bool LeftBytes(const Registration& r, int fd, ssize_t received, int size) {
  if (received >= 0 && received == size && Waiting(fd) > 0) return true;
  int at_mark = 0;
  return r.urgent && received > 0 && ioctl(fd, SIOCATMARK, &at_mark) == 0 && at_mark;
}

// The caller holds r.lock: drops the descriptor from the notifier.
void Detach(Registration& r) {
  if (r.closed) return;
  r.closed = true;
  if (r.queue) epoll_ctl(linux_detail::EpollDescriptor(*r.queue), EPOLL_CTL_DEL, r.fd, nullptr);
  r.queue.reset();
}

void SetBlocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0) return;
  fcntl(fd, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

}  // namespace

namespace linux_detail {

void OnSocketReady(std::uint64_t key, std::uint32_t events) {
  const int fd = static_cast<int>(key & 0xffffffffu);
  auto r = Find(fd);
  if (!r) return;
  std::lock_guard<std::mutex> hold(r->lock);
  if (r->closed || r->generation != static_cast<std::uint32_t>(key >> 32)) return;

  if (r->mask & kFdAccept) {
    if ((events & EPOLLIN) && !r->accept_posted) {
      if (r->starved) {
        r->starved = false;  // a new peer: try again
        --starved_listeners;
      }
      r->accept_posted = true;
      Notify(*r, kFdAccept);
    }
    return;
  }
  if (events & EPOLLPRI) r->urgent = true;
  const bool closing = events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
  // An edge of readable bytes is reported without counting them (the reader counts); bytes
  // that came with the close are reported before it, if there are any.
  if ((r->mask & kFdRead) && !r->read_posted && (closing ? Waiting(fd) > 0 : (events & EPOLLIN) != 0)) {
    r->read_posted = true;
    Notify(*r, kFdRead);
  }
  if ((events & EPOLLOUT) && !closing && r->write_wanted && (r->mask & kFdWrite)) {
    r->write_wanted = false;
    Notify(*r, kFdWrite);
  }
  if (closing && !r->close_posted && (r->mask & kFdClose)) {
    r->close_posted = true;
    int error = 0;
    if (events & (EPOLLERR | EPOLLHUP)) {
      socklen_t size = sizeof error;
      if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = 0;
    }
    Notify(*r, kFdClose, error & 0xffff);
  }
}

}  // namespace linux_detail

int SocketLibraryStartup() { return 0; }
int SocketLibraryCleanup() { return 0; }

int LastSocketError() { return last_error; }

bool IsResourceShortage(int code) { return code == EMFILE || code == ENFILE || code == ENOBUFS || code == ENOMEM; }

SocketHandle CreateTcpSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return fd < 0 ? Fail() : fd;
}

int BindAny(SocketHandle s, std::uint16_t port) { return BindAddress(s, INADDR_ANY, port); }

int BindAddress(SocketHandle s, std::uint32_t local, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(local);
  return bind(static_cast<int>(s), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? 0 : Fail();
}

// Looks up the notifier's record of a socket and locks it for the call that follows, so that a
// close from another thread cannot interleave. False (EBADF) when the socket was closed meanwhile.
bool Enter(int fd, std::shared_ptr<Registration>& r, std::unique_lock<std::mutex>& hold) {
  r = Find(fd);
  if (r) hold = std::unique_lock<std::mutex>(r->lock);
  if (r && r->closed) {
    last_error = EBADF;
    return false;
  }
  return true;
}

int Listen(SocketHandle s, int backlog) {
  return listen(static_cast<int>(s), backlog) == 0 ? 0 : Fail();
}

int MaxListenBacklog() {
  std::ifstream setting("/proc/sys/net/core/somaxconn");
  int largest = 0;
  return setting >> largest && largest > 0 ? largest : 0;
}

bool IsLocalBroadcastAddress(std::uint32_t address) {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (const ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
    if (!(i->ifa_flags & IFF_BROADCAST) || i->ifa_broadaddr == nullptr || i->ifa_broadaddr->sa_family != AF_INET) {
      continue;
    }
    found = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_broadaddr)->sin_addr.s_addr) == address;
  }
  ::freeifaddrs(list);
  return found;
}

SocketHandle Accept(SocketHandle listener) {
  const int fd = static_cast<int>(listener);
  std::shared_ptr<Registration> r;
  std::unique_lock<std::mutex> hold;
  if (!Enter(fd, r, hold)) return -1;
  int accepted = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
  const int saved = errno;
  // Short of descriptors or buffers: the waiting peer is refused, or, when even that is not
  // possible, the listener waits for a close instead of being reported again at once.
  const bool starved = accepted < 0 && IsResourceShortage(saved) && !RefuseOnePeer(fd);
  if (r) {
    r->accept_posted = false;
    if (starved) {
      if (!r->starved) ++starved_listeners;
      r->starved = true;
    } else {
      // Another connection may wait already; its arrival edge may have been absorbed by the
      // notification that is being answered now.
      pollfd p{fd, POLLIN, 0};
      if ((r->mask & kFdAccept) && poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
        r->accept_posted = true;
        Notify(*r, kFdAccept);
      }
    }
  }
  if (accepted < 0) {
    last_error = saved;
    return -1;
  }
  return accepted;
}

int Receive(SocketHandle s, void* buffer, int size) {
  const int fd = static_cast<int>(s);
  std::shared_ptr<Registration> r;
  std::unique_lock<std::mutex> hold;
  if (!Enter(fd, r, hold)) return -1;
  ssize_t n = recv(fd, buffer, size < 0 ? 0 : static_cast<std::size_t>(size), 0);
  const int saved = errno;
  if (r) {
    r->read_posted = false;
    if ((r->mask & kFdRead) && LeftBytes(*r, fd, n, size)) {
      r->read_posted = true;
      Notify(*r, kFdRead);
    }
  }
  if (n < 0) {
    last_error = saved;
    return -1;
  }
  return static_cast<int>(n);
}

int Send(SocketHandle s, const void* data, int size) {
  const int fd = static_cast<int>(s);
  const ssize_t n = send(fd, data, size < 0 ? 0 : static_cast<std::size_t>(size), MSG_NOSIGNAL);
  if (n >= 0) return static_cast<int>(n);
  last_error = errno;
  if (last_error != EWOULDBLOCK && last_error != EAGAIN) return -1;
  // The wish to hear when sending is possible again. The edge that ends the congestion may have
  // been handled since the send (and found no wish): so, once the wish is recorded under the
  // registration's lock, the socket is asked whether it can send already.
  std::shared_ptr<Registration> r;
  std::unique_lock<std::mutex> hold;
  if (Enter(fd, r, hold) && r && !r->write_wanted && (r->mask & kFdWrite)) {
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, 0) > 0 && (p.revents & POLLOUT) && !(p.revents & (POLLHUP | POLLERR))) {
      Notify(*r, kFdWrite);
    } else {
      r->write_wanted = true;
    }
  }
  last_error = EWOULDBLOCK;
  return -1;
}

// After a close: listeners that could not accept for lack of descriptors try again.
void RearmStarvedListeners() {
  if (starved_listeners.load() == 0) return;
  std::vector<std::shared_ptr<Registration>> all;
  {
    std::lock_guard<std::mutex> hold(registry_lock);
    for (auto& entry : registry()) all.push_back(entry.second);
  }
  for (auto& r : all) {
    std::lock_guard<std::mutex> hold(r->lock);
    if (!r->starved || r->closed) continue;
    r->starved = false;
    --starved_listeners;
    if (!r->accept_posted) {
      r->accept_posted = true;
      Notify(*r, kFdAccept);
    }
  }
}

int CloseSocket(SocketHandle s) {
  const int fd = static_cast<int>(s);
  int result;
  if (auto r = Unregister(fd)) {
    std::lock_guard<std::mutex> hold(r->lock);
    if (r->starved) {
      r->starved = false;
      --starved_listeners;
    }
    Detach(*r);
    result = close(fd) == 0 ? 0 : Fail();
  } else {
    result = close(fd) == 0 ? 0 : Fail();
  }
  RearmStarvedListeners();
  return result;
}

int BytesWaiting(SocketHandle s, int& count) {
  const int fd = static_cast<int>(s);
  count = 0;
  std::shared_ptr<Registration> r;
  std::unique_lock<std::mutex> hold;
  if (!Enter(fd, r, hold)) return -1;
  return ioctl(fd, FIONREAD, &count) == 0 ? 0 : Fail();
}

int LocalPort(SocketHandle s, int& port) {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&address), &size) != 0) return Fail();
  port = ntohs(address.sin_port);
  return 0;
}

int PeerAddress(SocketHandle s, std::string& address) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  if (getpeername(static_cast<int>(s), reinterpret_cast<sockaddr*>(&peer), &size) != 0) return Fail();
  char text[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
  address = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
  return 0;
}

int PeerIPv4Address(SocketHandle s, std::uint32_t& address) {
  sockaddr_in peer{};
  socklen_t size = sizeof peer;
  if (getpeername(static_cast<int>(s), reinterpret_cast<sockaddr*>(&peer), &size) != 0) return Fail();
  address = ntohl(peer.sin_addr.s_addr);
  return 0;
}

int UnsentBytes(SocketHandle s, int& count) {
  count = 0;
  return ioctl(static_cast<int>(s), SIOCOUTQ, &count) == 0 ? 0 : Fail();
}

int LookupTcpService(const char* name, std::uint16_t& port) {
  servent entry{};
  servent* found = nullptr;
  char buffer[1024];
  int rc = getservbyname_r(name, "tcp", &entry, buffer, sizeof buffer, &found);
  if (rc != 0) return rc;
  if (!found) return ENOENT;  // no such service
  port = ntohs(static_cast<std::uint16_t>(found->s_port));
  return 0;
}

int SetReuseAddress(SocketHandle s) {
  int one = 1;
  return setsockopt(static_cast<int>(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 ? 0 : Fail();
}

int SetNoDelay(SocketHandle s) {
  int one = 1;
  return setsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 ? 0 : Fail();
}

int SetKeepAlive(SocketHandle s) {
  const int fd = static_cast<int>(s);
  int one = 1, idle = 60, interval = 10, count = 6;
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) != 0) {
    return Fail();
  }
  return 0;
}

int SetResetOnClose(SocketHandle s) {
  linger reset{1, 0};
  return setsockopt(static_cast<int>(s), SOL_SOCKET, SO_LINGER, &reset, sizeof reset) == 0 ? 0 : Fail();
}

void AsyncSelect(SocketHandle s, WindowHandle window, std::uint32_t message, int mask) {
  const int fd = static_cast<int>(s);
  auto queue = window ? linux_detail::QueueOfWindow(window) : nullptr;
  if (mask == 0 || !queue) {
    if (auto r = Unregister(fd)) {
      std::lock_guard<std::mutex> hold(r->lock);
      Detach(*r);
    }
    SetBlocking(fd, true);
    return;
  }

  // A new registration replaces an old one, with a new generation so that readiness already
  // collected for the old one is ignored.
  if (auto old = Unregister(fd)) {
    std::lock_guard<std::mutex> hold(old->lock);
    Detach(*old);
  }
  if (mask & kFdAccept) {
    // A listener: the reserve descriptor is made now, while descriptors are surely at hand.
    std::lock_guard<std::mutex> hold_reserve(reserve_lock);
    KeepReserveLocked();
  }
  auto r = std::make_shared<Registration>();
  std::lock_guard<std::mutex> hold(r->lock);  // readiness waits until the setup is complete
  r->fd = fd;
  r->queue = queue;
  r->window = window;
  r->message = message;
  r->mask = mask;
  {
    std::lock_guard<std::mutex> hold_registry(registry_lock);
    r->generation = next_generation++;
    if (next_generation == 0) next_generation = 1;
    registry()[fd] = r;
  }
  SetBlocking(fd, false);
  epoll_event event{};
  // EPOLLPRI only to learn that urgent data came (see LeftBytes).
  event.events = EPOLLIN | EPOLLPRI | EPOLLOUT | EPOLLRDHUP | EPOLLET;
  event.data.u64 = KeyOf(*r);
  // Readiness present at registration (bytes or connections already waiting) is reported by
  // the first wait after this.
  epoll_ctl(linux_detail::EpollDescriptor(*queue), EPOLL_CTL_ADD, fd, &event);
  if (mask & kFdWrite) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0) {
      Notify(*r, kFdWrite);
    } else {
      r->write_wanted = true;  // not connected yet: report once it can send
    }
  }
}

}  // namespace platform
