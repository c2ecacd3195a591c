#include "net/custom_win_socket.h"

#include <algorithm>
#include <climits>
#include <string>
#include <utility>

#include "base/exception_routing.h"

using platform::kInvalidSocket;

std::atomic<std::uintptr_t> TCustomWinSocket::next_lookup_request_{1};

TCustomWinSocket::TCustomWinSocket(platform::SocketHandle handle)
    : handle_(handle),
      open_(handle != kInvalidSocket),
      mask_(platform::kFdRead | platform::kFdWrite | platform::kFdConnect | platform::kFdClose) {
  const int result = platform::SocketLibraryStartup();
  if (result != 0) throw SocketCallError(result, "WSAStartup");
}

TCustomWinSocket::~TCustomWinSocket() {
  ClearSocketEventRoute();
  try {
    // Also closes a socket whose service lookup is still outstanding (handle but not open).
    if (handle_ != kInvalidSocket) CloseHandle(handle_);
  } catch (...) {
    // A destructor cannot report; the handle is given up.
  }
  if (window_) platform::DestroyNotificationWindow(window_);
  platform::SocketLibraryCleanup();
}

platform::WindowHandle TCustomWinSocket::NotificationWindow() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (!window_) TakeOwnership();
  return window_;
}

void TCustomWinSocket::TakeOwnership() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  const platform::ThreadId self = platform::CurrentThreadId();
  if (window_ && platform::WindowThread(window_) != self) {
    platform::DestroyNotificationWindow(window_);
    window_ = 0;
  }
  if (!window_) {
    window_ = platform::CreateNotificationWindow([this](const platform::Message& message) -> std::intptr_t {
      try {
        return HandleMessage(message);
      } catch (...) {
        routing::RouteException(this);
        return 0;
      }
    });
  }
  owner_thread_ = self;
}

std::intptr_t TCustomWinSocket::HandleMessage(const platform::Message& message) {
  switch (message.id) {
    case kSocketNotifyMessage:
      HandleNotification(static_cast<platform::SocketHandle>(message.wparam), static_cast<int>(message.lparam & 0xffff),
                         static_cast<int>((message.lparam >> 16) & 0xffff));
      return 0;
    case kReleaseMessage:
      delete this;
      return 0;
    case kLookupDoneMessage:
      HandleLookupDone(message);
      return 0;
    case kCloseLaterMessage:
      CloseSocketObject(static_cast<platform::SocketHandle>(message.wparam));
      return 0;
    default:
      return 0;  // what the default procedure of a hidden window answers
  }
}

void TCustomWinSocket::HandleNotification(platform::SocketHandle handle, int event, int error) {
  if (error != 0) {
    TErrorEvent kind = eeGeneral;
    switch (event) {
      case platform::kFdRead: kind = eeReceive; break;
      case platform::kFdWrite: kind = eeSend; break;
      case platform::kFdAccept: kind = eeAccept; break;
      case platform::kFdConnect: kind = eeConnect; break;
      case platform::kFdClose: kind = eeDisconnect; break;
      default: break;
    }
    int code = error;
    if (event == platform::kFdClose) {
      // A reset or aborted connection is gone: it is closed (and released) like one the peer
      // closed in order, and the error is raised after the close.
      try {
        ReportSocketError(this, kind, code);
      } catch (...) {
        CloseSocketObject(handle);
        throw;
      }
      CloseSocketObject(handle);
    } else {
      ReportSocketError(this, kind, code);
    }
    if (code != 0) throw ESocketError(FormatText("Asynchronous socket error %d", code), code);
    return;
  }
  switch (event) {
    case platform::kFdConnect: ConnectDone(handle); break;
    case platform::kFdClose: CloseSocketObject(handle); break;
    case platform::kFdRead: ReadReady(handle); break;
    case platform::kFdWrite: WriteReady(handle); break;
    case platform::kFdAccept: AcceptPending(handle); break;
    default: break;
  }
}

bool TCustomWinSocket::IsCurrentHandle(platform::SocketHandle handle) {
  // One look at the handle: a close may follow it all the same, with or without the lock.
  return handle != kInvalidSocket && handle_.load() == handle;
}

void TCustomWinSocket::AcceptPending(platform::SocketHandle) {}
void TCustomWinSocket::ConnectDone(platform::SocketHandle) {}

void TCustomWinSocket::ReadReady(platform::SocketHandle handle) {
  if (IsCurrentHandle(handle)) RaiseSocketEvent(this, seRead);
}

void TCustomWinSocket::WriteReady(platform::SocketHandle handle) {
  if (IsCurrentHandle(handle)) RaiseSocketEvent(this, seWrite);
}

void TCustomWinSocket::RaiseSocketEvent(TCustomWinSocket* socket, SocketEventKind kind) {
  if (event_route_) event_route_(this, socket, kind);
}

void TCustomWinSocket::ReportSocketError(TCustomWinSocket* socket, TErrorEvent error, int& code) {
  if (error_route_) error_route_(this, socket, error, code);
}

void TCustomWinSocket::SetNotificationMask(int mask) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  mask_ = mask;
  if (handle_ != kInvalidSocket) RegisterNotifications();
}

void TCustomWinSocket::RegisterNotifications() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (mask_ != 0) {
    platform::AsyncSelect(handle_, NotificationWindow(), kSocketNotifyMessage, mask_);
  } else {
    platform::AsyncSelect(handle_, 0, 0, 0);
  }
}

void TCustomWinSocket::CloseSocketObject(platform::SocketHandle handle) { CloseHandle(handle); }

bool TCustomWinSocket::CloseLater() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (!open_ || closing_later_.exchange(true)) return false;
  platform::PostMessageTo(NotificationWindow(), kCloseLaterMessage, static_cast<std::uintptr_t>(handle_.load()), 0);
  return true;
}

void TCustomWinSocket::CloseHandle(platform::SocketHandle handle) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  lookup_request_ = 0;  // an answer still on its way is ignored
  if (handle == kInvalidSocket || handle != handle_ || closing_) return;
  closing_ = true;
  try {
    RaiseSocketEvent(this, seDisconnect);
    known_port_ = -1;  // asked again should the close fail
    CheckSocketCall(platform::CloseSocket(handle), "closesocket");
  } catch (...) {
    closing_ = false;
    throw;
  }
  closing_ = false;
  handle_ = kInvalidSocket;
  open_ = false;
  closing_later_ = false;
}

void TCustomWinSocket::ReadPending(ByteString& out) { ReadPending(out, static_cast<std::size_t>(INT_MAX)); }

void TCustomWinSocket::ReadPending(ByteString& out, std::size_t limit) {
  if (limit <= kReceiveChunk) {
    out = ReceiveOnce(limit);
    return;
  }
  // Receive after receive until one comes back short (nothing waited any more) or the limit is
  // reached.
  std::string all;
  while (all.size() < limit) {
    const std::size_t want = std::min(limit - all.size(), kReceiveChunk);
    const ByteString piece = ReceiveOnce(want);
    all.append(piece.view());
    if (piece.size() < want) break;
  }
  out = ByteString(all);
}

ByteString TCustomWinSocket::ReceiveOnce(std::size_t size) {
  // The thread's receive buffer: a receive that fills it hands it on as it is; a shorter one is
  // copied into a string of its own size, so that bytes kept for a slow peer hold no more
  // memory than they count.
  thread_local ByteString buffer;
  if (buffer.size() < kReceiveChunk) buffer = ByteString::Uninitialized(kReceiveChunk);
  int received = 0;
  {
    std::lock_guard<std::recursive_mutex> hold(lock_);
    if (!open_) return ByteString();
    received = platform::Receive(handle_, buffer.MutableData(), static_cast<int>(size));
    if (received > 0) Count(bytes_received_, received);
    if (received == -1) {
      int code = platform::LastSocketError();
      if (code != platform::kSocketWouldBlock) {
        ReportSocketError(this, eeReceive, code);
        CloseSocketObject(handle_);
        if (code != 0) throw SocketCallError(code, "recv");
      }
    }
  }
  if (received <= 0) return ByteString();
  if (static_cast<std::size_t>(received) == buffer.size()) return std::exchange(buffer, ByteString());
  return ByteString(buffer.data(), static_cast<std::size_t>(received));
}

ByteString TCustomWinSocket::ReadPending() {
  ByteString out;
  ReadPending(out);
  return out;
}

int TCustomWinSocket::SendBytes(const ByteString& bytes) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  return SendLocked(bytes.data(), bytes.size(), false);
}

int TCustomWinSocket::WaitingBytes() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  int waiting = 0;
  if (!open_ || platform::BytesWaiting(handle_, waiting) != 0) return 0;
  return waiting;
}

int TCustomWinSocket::SendLocked(const char* data, std::size_t size, bool close_later) {
  if (!Connected()) return 0;
  const int count = size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
  const int sent = platform::Send(handle_, data, count);
  if (sent != -1) {
    Count(bytes_sent_, sent);
    return sent;
  }
  int code = platform::LastSocketError();
  if (code == platform::kSocketWouldBlock) return -1;
  ReportSocketError(this, eeSend, code);
  if (close_later) {
    CloseLater();
  } else {
    CloseSocketObject(handle_);
  }
  if (code != 0) throw SocketCallError(code, "send");
  return -1;
}

int TCustomWinSocket::BoundPort() {
  // The local port of an open handle never changes, and the relay asks for it on every read:
  // the system is asked once per handle, and the answer is given without the lock until the
  // close forgets it. A handle that is not open yet (a listener waiting for its service lookup)
  // may still be bound, so its answer is not kept.
  if (const int known = known_port_.load(); known >= 0) return known;
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (handle_ == kInvalidSocket) return -1;
  int port = 0;
  if (platform::LocalPort(handle_, port) != 0) return -1;
  if (open_) known_port_ = port;
  return port;
}

std::string TCustomWinSocket::PeerAddress() {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  std::string address;
  if (handle_ == kInvalidSocket || platform::PeerAddress(handle_, address) != 0) return std::string();
  return address;
}

void TCustomWinSocket::Listen(const std::string& service, std::uint16_t port, int backlog) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  // A socket waiting for its service lookup counts as open too: a second socket would leak.
  if (open_ || handle_ != kInvalidSocket) throw ESocketError(kCantListenOnOpenText);
  const platform::SocketHandle handle = platform::CreateTcpSocket();
  if (handle == kInvalidSocket) throw ESocketError(kCantCreateSocketText, platform::LastSocketError());
  handle_ = handle;
  try {
    TakeOwnership();
    RaiseSocketEvent(this, seLookup);
    // A quick restart may bind while old connections of the port are still closing.
    platform::SetReuseAddress(handle);
    if (!service.empty()) {
      ListenOnService(service, backlog);
      return;
    }
    ListenOnPort(port, backlog);
  } catch (...) {
    CloseSocketObject(handle);
    throw;
  }
}

void TCustomWinSocket::ListenOnPort(std::uint16_t port, int backlog) {
  known_port_ = -1;  // whatever was asked before the bind is out of date
  CheckSocketCall(platform::BindAddress(handle_, bind_address_, port), "bind");
  RegisterNotifications();
  backlog = std::clamp(backlog, 1, kLargestBacklog);
  RaiseSocketEvent(this, seListen);
  CheckSocketCall(platform::Listen(handle_, backlog), "listen");
  open_ = true;
  lookup_request_ = 0;
}
