// The status endpoint on Linux: a Unix stream socket in the abstract namespace, served by the
// socket notifier of the owning thread (sockets.h), so that the thread's own message queue
// brings its accepts, requests and room to write. Each client's notifications carry a message
// of its own (its serial), so that one queued for a client that has ended never reaches a later
// client given the same descriptor. Peers are told apart by their credentials (SO_PEERCRED):
// root and the service's own user are served, anyone else gets the refusal; the client, in
// turn, believes only an endpoint of root or of its own user. The abstract namespace has no
// permissions, so any process may take the name first: the service then says who holds it, and
// its owner tries again later.

#include "platform/status_endpoint.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <map>

#include "platform/messages.h"
#include "platform/sockets.h"

namespace platform {
namespace {

constexpr std::uint32_t kListenerMessage = kWmUser + 1;
// A client's notifications: kClientMessages + its serial, which wraps below kSerials.
constexpr std::uint32_t kClientMessages = kWmUser + 2;
constexpr std::uint32_t kSerials = 1u << 24;

// The abstract address of the directory's endpoint; `length` is the address's length.
sockaddr_un EndpointAddress(const std::string& directory, socklen_t& length) {
  const std::string name = detail::StatusEndpointName(directory);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return address;
}

// Root and the process's own user: whom the service serves and whom a client believes.
bool Trusted(const ucred& peer) { return peer.uid == 0 || peer.uid == ::geteuid(); }

bool PeerOf(int fd, ucred& peer) {
  socklen_t size = sizeof peer;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
}

std::string Describe(const ucred& peer) {
  return "process " + std::to_string(peer.pid) + " of user " + std::to_string(peer.uid);
}

// Who listens at `address`, or empty when nobody can be reached there.
std::string HolderOf(const sockaddr_un& address, socklen_t length) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return std::string();
  ucred peer{};
  const bool known =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 && PeerOf(fd, peer);
  ::close(fd);
  return known ? Describe(peer) : std::string();
}

// Takes what a client sent beyond its request, so that closing the connection does not turn
// into a reset that could overtake the answer.
void DrainAndClose(int fd) {
  char sink[4096];
  for (int i = 0; i < 16 && ::recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
  CloseSocket(fd);
}

}  // namespace

class StatusEndpoint::Impl {
 public:
  Impl(const std::string& directory, Answerer answer, MisuseReport misuse)
      : answer_(std::move(answer)), misuse_(std::move(misuse)) {
    window_ = CreateNotificationWindow([this](const Message& message) -> std::intptr_t {
      const int event = static_cast<int>(message.lparam & 0xffff);
      if (message.id == kListenerMessage) {
        if (event == kFdAccept) Accept();
      } else if (message.id >= kClientMessages && message.id < kClientMessages + kSerials) {
        Handle(message.id - kClientMessages, static_cast<int>(message.wparam), event);
      }
      return 0;
    });
    address_ = EndpointAddress(directory, length_);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<const sockaddr*>(&address_), length_) != 0 ||
        ::listen(listener_, kMaxClients) != 0) {
      error_ = errno;
      if (listener_ >= 0) ::close(listener_);
      listener_ = -1;
      return;
    }
    AsyncSelect(listener_, window_, kListenerMessage, kFdAccept);
  }

  ~Impl() {
    DestroyNotificationWindow(window_);
    for (const auto& [serial, client] : clients_) CloseSocket(client.fd);
    if (listener_ >= 0) CloseSocket(listener_);
  }

  int error() const { return error_; }
  std::string holder() const { return error_ == EADDRINUSE ? HolderOf(address_, length_) : std::string(); }
  bool serving() const { return !clients_.empty(); }

  void Tick(Clock::time_point now) {
    for (auto it = clients_.begin(); it != clients_.end();) {
      Client& client = it->second;
      ++it;
      if (client.deadline <= now) Drop(client, client.out.empty() ? Misuse::kSilent : Misuse::kNotReading);
    }
  }

 private:
  struct Client {
    std::uint32_t serial = 0;
    int fd = -1;
    Clock::time_point deadline;  // of the request, or of the answer's next progress
    std::string request;
    std::string out;  // the answer's frame, once there is a request
    std::size_t sent = 0;
  };

  // A notification for the client of `serial`; one for a client that has ended is dropped.
  void Handle(std::uint32_t serial, int fd, int event) {
    auto it = clients_.find(serial);
    if (it == clients_.end() || it->second.fd != fd) return;
    Client& client = it->second;
    switch (event) {
      case kFdRead:
        if (client.out.empty()) Read(client);
        break;
      case kFdWrite:
        if (!client.out.empty()) Flush(client);
        break;
      case kFdClose:
        // The end of what the client sends also ends its request.
        if (!client.out.empty()) {
          Flush(client);
        } else if (!client.request.empty()) {
          Answer(client);
        } else {
          Close(client);
        }
        break;
      default:
        break;
    }
  }

  void Accept() {
    const SocketHandle accepted = platform::Accept(listener_);
    if (accepted == kInvalidSocket) return;
    const int fd = static_cast<int>(accepted);
    if (static_cast<int>(clients_.size()) >= kMaxClients) {
      // Told so, the client asks again later.
      ::send(fd, detail::kBusyFrame, sizeof detail::kBusyFrame - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
      DrainAndClose(fd);
      Report(Misuse::kTooMany);
      return;
    }
    ucred peer{};
    if (!PeerOf(fd, peer) || !Trusted(peer)) {
      ::send(fd, detail::kRefusal, sizeof detail::kRefusal - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
      DrainAndClose(fd);
      Report(Misuse::kRefused);
      return;
    }
    next_serial_ = (next_serial_ + 1) % kSerials;
    clients_[next_serial_] = Client{next_serial_, fd, Clock::now() + kClientTimeout, {}, {}, 0};
    AsyncSelect(fd, window_, kClientMessages + next_serial_, kFdRead | kFdWrite | kFdClose);
  }

  void Read(Client& client) {
    char buffer[kMaxRequest + 1];
    const int n = Receive(client.fd, buffer, static_cast<int>(kMaxRequest + 1 - client.request.size()));
    if (n < 0) {
      if (LastSocketError() != kSocketWouldBlock) Close(client);
      return;
    }
    if (n == 0) {  // the client ended its side: what came is the request
      if (client.request.empty()) {
        Close(client);
      } else {
        Answer(client);
      }
      return;
    }
    client.request.append(buffer, static_cast<std::size_t>(n));
    const std::size_t end = client.request.find('\n');
    if (end != std::string::npos) {
      client.request.resize(end);
      Answer(client);
    } else if (client.request.size() > kMaxRequest) {
      Drop(client, Misuse::kTooLong);
    }
  }

  void Answer(Client& client) {
    if (!client.request.empty() && client.request.back() == '\r') client.request.pop_back();
    client.out = detail::AnswerFrame(answer_(client.request));
    client.deadline = Clock::now() + kClientTimeout;
    Flush(client);
  }

  // Sends what the socket takes now; the rest waits for room to write.
  void Flush(Client& client) {
    while (client.sent < client.out.size()) {
      const std::size_t left = client.out.size() - client.sent;
      const int n =
          Send(client.fd, client.out.data() + client.sent, static_cast<int>(std::min<std::size_t>(left, 1 << 20)));
      if (n < 0) {
        if (LastSocketError() != kSocketWouldBlock) Close(client);
        return;
      }
      client.sent += static_cast<std::size_t>(n);
      client.deadline = Clock::now() + kClientTimeout;
    }
    Close(client);
  }

  // Ends the client; `client` is gone afterwards.
  void Close(Client& client) {
    const int fd = client.fd;
    const std::uint32_t serial = client.serial;
    clients_.erase(serial);
    DrainAndClose(fd);
  }

  void Drop(Client& client, Misuse why) {
    Close(client);
    Report(why);
  }

  void Report(Misuse why) {
    if (misuse_) misuse_(why);
  }

  Answerer answer_;
  MisuseReport misuse_;
  WindowHandle window_ = 0;
  int listener_ = -1;
  int error_ = 0;
  sockaddr_un address_{};
  socklen_t length_ = 0;
  std::uint32_t next_serial_ = 0;
  std::map<std::uint32_t, Client> clients_;  // by serial
};

StatusEndpoint::StatusEndpoint(const std::string& directory, Answerer answer, MisuseReport misuse)
    : impl_(std::make_unique<Impl>(directory, std::move(answer), std::move(misuse))) {}
StatusEndpoint::~StatusEndpoint() = default;
int StatusEndpoint::Error() const { return impl_->error(); }
std::string StatusEndpoint::Holder() const { return impl_->holder(); }
bool StatusEndpoint::Serving() const { return impl_->serving(); }
void StatusEndpoint::Tick(Clock::time_point now) { impl_->Tick(now); }

namespace {

// Waits until `fd` is ready for `events` or the deadline passes; answers whether it is.
bool WaitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) {
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0) return false;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

// One attempt; kBusy when the service was reached but gave no answer (it turned the client
// away, closed on it without a word, or did not finish before the deadline).
StatusReply Ask(int fd, const std::string& directory, const std::string& request,
                std::chrono::steady_clock::time_point deadline) {
  socklen_t length = 0;
  const sockaddr_un address = EndpointAddress(directory, length);
  StatusReply busy;
  busy.result = StatusAsk::kBusy;
  // A full backlog refuses for now (EAGAIN): try again until the deadline.
  while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    if (errno != EAGAIN && errno != EINTR) return StatusReply{};
    if (std::chrono::steady_clock::now() >= deadline) return busy;
    ::poll(nullptr, 0, 10);
  }
  ucred peer{};
  if (!PeerOf(fd, peer) || !Trusted(peer)) {
    StatusReply foreign;
    foreign.result = StatusAsk::kForeign;
    foreign.holder = Describe(peer);
    return foreign;
  }
  const std::string line = request + "\n";
  for (std::size_t sent = 0; sent < line.size();) {
    const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN && WaitFor(fd, POLLOUT, deadline)) {
      continue;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // a refusal may have closed the connection already: read what it said
    }
  }
  std::string received;
  bool broken = false;
  while (WaitFor(fd, POLLIN, deadline)) {
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
    StatusReply reply = detail::ReadFrame(received, broken);
    if (broken) break;
    if (reply.result != StatusAsk::kNoService) return reply;
  }
  return broken ? StatusReply{} : busy;
}

}  // namespace

StatusReply AskStatusEndpoint(const std::string& directory, const std::string& request,
                              std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int pause_ms = 10;
  while (true) {
    StatusReply reply;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd >= 0) {
      reply = Ask(fd, directory, request, deadline);
      ::close(fd);
    } else if (IsResourceShortage(errno)) {
      reply.result = StatusAsk::kBusy;  // short of descriptors here: that passes too
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (reply.result != StatusAsk::kBusy || left <= 0) return reply;
    ::poll(nullptr, 0, static_cast<int>(std::min<long long>(pause_ms, left)));
    pause_ms = std::min(pause_ms * 2, 200);
  }
}

}  // namespace platform
