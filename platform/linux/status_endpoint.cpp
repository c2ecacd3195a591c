// The status endpoint on Linux: a Unix stream socket in the abstract namespace, served by the
// socket notifier of the owning thread (sockets.h), so that the thread's own message queue
// brings its accepts, requests and room to write. Peers are told apart by their credentials
// (SO_PEERCRED): root and the service's own user are served, anyone else gets the refusal.

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

constexpr std::uint32_t kNotifyMessage = kWmUser + 1;

// The abstract address of the directory's endpoint; `length` is the address's length.
sockaddr_un EndpointAddress(const std::string& directory, socklen_t& length) {
  const std::string name = detail::StatusEndpointName(directory);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());  // sun_path[0] = 0: abstract
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return address;
}

bool ServesPeer(int fd) {
  ucred peer{};
  socklen_t size = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) return false;
  return peer.uid == 0 || peer.uid == ::geteuid();
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
      if (message.id == kNotifyMessage) Handle(static_cast<int>(message.wparam), static_cast<int>(message.lparam & 0xffff));
      return 0;
    });
    socklen_t length = 0;
    const sockaddr_un address = EndpointAddress(directory, length);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
        ::listen(listener_, kMaxClients) != 0) {
      error_ = errno;
      if (listener_ >= 0) ::close(listener_);
      listener_ = -1;
      return;
    }
    AsyncSelect(listener_, window_, kNotifyMessage, kFdAccept);
  }

  ~Impl() {
    DestroyNotificationWindow(window_);
    for (const auto& [fd, client] : clients_) CloseSocket(fd);
    if (listener_ >= 0) CloseSocket(listener_);
  }

  int error() const { return error_; }
  bool serving() const { return !clients_.empty(); }

  void Tick(Clock::time_point now) {
    for (auto it = clients_.begin(); it != clients_.end();) {
      const int fd = it->first;
      const Client& client = it->second;
      ++it;
      if (client.deadline <= now) Drop(fd, client.out.empty() ? Misuse::kSilent : Misuse::kNotReading);
    }
  }

 private:
  struct Client {
    Clock::time_point deadline;  // of the request, or of the answer's next progress
    std::string request;
    std::string out;  // the answer's frame, once there is a request
    std::size_t sent = 0;
  };

  void Handle(int fd, int event) {
    if (fd == listener_) {
      if (event == kFdAccept) Accept();
      return;
    }
    auto it = clients_.find(fd);
    if (it == clients_.end()) return;
    Client& client = it->second;
    switch (event) {
      case kFdRead:
        if (client.out.empty()) Read(fd, client);
        break;
      case kFdWrite:
        if (!client.out.empty()) Flush(fd, client);
        break;
      case kFdClose:
        // The end of what the client sends also ends its request.
        if (!client.out.empty()) {
          Flush(fd, client);
        } else if (!client.request.empty()) {
          Answer(fd, client);
        } else {
          Close(fd);
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
      DrainAndClose(fd);
      Report(Misuse::kTooMany);
      return;
    }
    if (!ServesPeer(fd)) {
      ::send(fd, detail::kRefusal, sizeof detail::kRefusal - 1, MSG_DONTWAIT | MSG_NOSIGNAL);
      DrainAndClose(fd);
      Report(Misuse::kRefused);
      return;
    }
    clients_[fd] = Client{Clock::now() + kClientTimeout, {}, {}, 0};
    AsyncSelect(fd, window_, kNotifyMessage, kFdRead | kFdWrite | kFdClose);
  }

  void Read(int fd, Client& client) {
    char buffer[kMaxRequest + 1];
    const int n = Receive(fd, buffer, static_cast<int>(kMaxRequest + 1 - client.request.size()));
    if (n < 0) {
      if (LastSocketError() != kSocketWouldBlock) Close(fd);
      return;
    }
    if (n == 0) {  // the client ended its side: what came is the request
      if (client.request.empty()) {
        Close(fd);
      } else {
        Answer(fd, client);
      }
      return;
    }
    client.request.append(buffer, static_cast<std::size_t>(n));
    const std::size_t end = client.request.find('\n');
    if (end != std::string::npos) {
      client.request.resize(end);
      Answer(fd, client);
    } else if (client.request.size() > kMaxRequest) {
      Drop(fd, Misuse::kTooLong);
    }
  }

  void Answer(int fd, Client& client) {
    if (!client.request.empty() && client.request.back() == '\r') client.request.pop_back();
    client.out = detail::AnswerFrame(answer_(client.request));
    client.deadline = Clock::now() + kClientTimeout;
    Flush(fd, client);
  }

  // Sends what the socket takes now; the rest waits for room to write.
  void Flush(int fd, Client& client) {
    while (client.sent < client.out.size()) {
      const std::size_t left = client.out.size() - client.sent;
      const int n = Send(fd, client.out.data() + client.sent, static_cast<int>(std::min<std::size_t>(left, 1 << 20)));
      if (n < 0) {
        if (LastSocketError() != kSocketWouldBlock) Close(fd);
        return;
      }
      client.sent += static_cast<std::size_t>(n);
      client.deadline = Clock::now() + kClientTimeout;
    }
    Close(fd);
  }

  void Close(int fd) {
    clients_.erase(fd);
    DrainAndClose(fd);
  }

  void Drop(int fd, Misuse why) {
    Close(fd);
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
  std::map<int, Client> clients_;
};

StatusEndpoint::StatusEndpoint(const std::string& directory, Answerer answer, MisuseReport misuse)
    : impl_(std::make_unique<Impl>(directory, std::move(answer), std::move(misuse))) {}
StatusEndpoint::~StatusEndpoint() = default;
int StatusEndpoint::Error() const { return impl_->error(); }
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

StatusReply Ask(int fd, const std::string& directory, const std::string& request,
                std::chrono::steady_clock::time_point deadline) {
  socklen_t length = 0;
  const sockaddr_un address = EndpointAddress(directory, length);
  // A full backlog refuses for now (EAGAIN): try again until the deadline.
  while (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    if (errno != EAGAIN && errno != EINTR) return StatusReply{};
    if (std::chrono::steady_clock::now() >= deadline) return StatusReply{};
    ::poll(nullptr, 0, 10);
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
  while (WaitFor(fd, POLLIN, deadline)) {
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (n <= 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
    bool broken = false;
    StatusReply reply = detail::ReadFrame(received, broken);
    if (broken) break;
    if (reply.result != StatusAsk::kNoService) return reply;
  }
  bool broken = false;
  return detail::ReadFrame(received, broken);
}

}  // namespace

StatusReply AskStatusEndpoint(const std::string& directory, const std::string& request,
                              std::chrono::milliseconds timeout) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return StatusReply{};
  StatusReply reply = Ask(fd, directory, request, std::chrono::steady_clock::now() + timeout);
  ::close(fd);
  return reply;
}

}  // namespace platform
