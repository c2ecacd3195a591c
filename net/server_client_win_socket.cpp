#include "net/server_client_win_socket.h"

#include <utility>

#include "net/server_win_socket.h"

using platform::kInvalidSocket;

namespace {
std::atomic<std::uint64_t> next_connection_id{1};
}  // namespace

std::atomic<std::size_t> TServerClientWinSocket::all_kept_{0};

TServerClientWinSocket::TServerClientWinSocket(platform::SocketHandle handle, TServerWinSocket* server)
    : TCustomWinSocket(handle), server_(server), id_(next_connection_id.fetch_add(1)) {
  server_->AddConnection(this);
  try {
    TakeOwnership();
    if (server_->NotificationMask() != 0) {
      SetSocketEventRoute(TSocketEventRoute::Bind(server_, &TServerWinSocket::ClientEvent));
      SetErrorRoute(TSocketErrorRoute::Bind(server_, &TServerWinSocket::ClientError));
    }
    RegisterNotifications();
    if (Connected()) RaiseSocketEvent(this, seConnect);
  } catch (...) {
    // A connection that could not be set up must not stay listed once it is freed.
    server_->RemoveConnection(this);
    throw;
  }
}

TServerClientWinSocket::~TServerClientWinSocket() {
  // First, so that a thread walking the list under its lock finishes with this object before
  // anything of it is freed.
  server_->RemoveConnection(this);
  ClearSocketEventRoute();
  all_kept_ -= kept_total_;
}

void TServerClientWinSocket::ReleaseLater() {
  platform::PostMessageTo(NotificationWindow(), kReleaseMessage, 0, 0);
}

void TServerClientWinSocket::CloseSocketObject(platform::SocketHandle handle) {
  std::lock_guard<std::recursive_mutex> hold(Lock());
  TCustomWinSocket::CloseSocketObject(handle);
  if (SocketHandle() == kInvalidSocket) DropKept();
}

bool TServerClientWinSocket::CloseLater() {
  std::lock_guard<std::recursive_mutex> hold(Lock());
  DropKept();
  return TCustomWinSocket::CloseLater();
}

std::intptr_t TServerClientWinSocket::HandleMessage(const platform::Message& message) {
  if (message.id == kSocketNotifyMessage) {
    const int event = static_cast<int>(message.lparam & 0xffff);
    if (event == platform::kFdClose) peer_gone_ = true;
    if (server_->Paused()) {
      switch (event) {
        case platform::kFdRead:
          kept_back_read_ = message;
          return 0;
        case platform::kFdClose:
          kept_back_close_ = message;
          return 0;
        default:
          break;
      }
    }
    // An orderly close; a reset has nothing left to read.
    if (event == platform::kFdClose && ((message.lparam >> 16) & 0xffff) == 0 && ReadBeforeClose(message)) return 0;
  }
  return TCustomWinSocket::HandleMessage(message);
}

bool TServerClientWinSocket::ReadBeforeClose(const platform::Message& close) {
  const auto handle = static_cast<platform::SocketHandle>(close.wparam);
  if (handle != SocketHandle()) return false;
  const int before = WaitingBytes();
  if (before <= 0) return false;
  // Read as any read is (a reader that passes bytes on takes what its destinations can take),
  // so that a peer that leaves with much unread is not read at once, whatever the pace of the
  // rest.
  ReadReady(handle);
  if (handle != SocketHandle()) return false;  // closed by the read
  if (server_->Paused()) {
    kept_back_close_ = close;
    return true;
  }
  const int after = WaitingBytes();
  if (after <= 0 || after >= before) return false;  // all read, or the reader takes none
  platform::PostMessageTo(NotificationWindow(), close.id, close.wparam, close.lparam);
  return true;
}

void TServerClientWinSocket::ResumeKeptBack() {
  // The read first: what the peer sent before it closed is read before the close.
  for (std::optional<platform::Message>* kept : {&kept_back_read_, &kept_back_close_}) {
    if (const std::optional<platform::Message> message = std::exchange(*kept, std::nullopt)) {
      platform::PostMessageTo(NotificationWindow(), message->id, message->wparam, message->lparam);
    }
  }
}

void TServerClientWinSocket::DropKept() {
  all_kept_ -= kept_total_;
  kept_.clear();
  kept_total_ = 0;
  stalled_since_ = Clock::time_point();
  last_unsent_ = -1;
}

std::size_t TServerClientWinSocket::FlushKept() {
  std::size_t flushed = 0;
  while (!kept_.empty()) {
    KeptPiece& piece = kept_.front();
    const int sent = SendLocked(piece.bytes.data() + piece.offset, piece.bytes.size() - piece.offset, true);
    if (sent <= 0) return flushed;  // would block (a write notification follows) or closed
    piece.offset += static_cast<std::size_t>(sent);
    kept_total_ -= static_cast<std::size_t>(sent);
    all_kept_ -= static_cast<std::size_t>(sent);
    flushed += static_cast<std::size_t>(sent);
    stalled_since_ = Clock::now();
    if (piece.offset == piece.bytes.size()) kept_.pop_front();
  }
  stalled_since_ = Clock::time_point();
  last_unsent_ = -1;
  return flushed;
}

void TServerClientWinSocket::CheckProgress(Clock::time_point now) {
  std::lock_guard<std::recursive_mutex> hold(Lock());
  if (kept_.empty() || !Connected()) return;
  std::size_t flushed = 0;
  try {
    flushed = FlushKept();
  } catch (const ESocketError&) {
    return;  // the send failed and closed the connection, which keeps nothing now
  }
  if (kept_.empty() || !Connected()) return;
  if (flushed > 0) stalled_since_ = now;
  int unsent = 0;
  if (platform::UnsentBytes(SocketHandle(), unsent) != 0) return;  // not known: sends alone tell
  // Bytes just handed over grow the queue; only a check that added none can see it shrink.
  if (flushed == 0 && last_unsent_ >= 0 && unsent < last_unsent_) stalled_since_ = now;
  last_unsent_ = unsent;
}

int TServerClientWinSocket::SendOrKeep(const ByteString& bytes) {
  std::lock_guard<std::recursive_mutex> hold(Lock());
  if (!Connected() || bytes.empty()) return 0;
  FlushKept();  // older bytes go first
  if (!Connected()) return 0;
  std::size_t offset = 0;
  if (kept_.empty()) {
    while (offset < bytes.size()) {
      const int sent = SendLocked(bytes.data() + offset, bytes.size() - offset, true);
      if (sent <= 0) break;
      offset += static_cast<std::size_t>(sent);
    }
    if (offset == bytes.size() || !Connected()) return static_cast<int>(offset);
  }
  const std::size_t rest = bytes.size() - offset;
  if (kept_total_ + rest > kept_limit_) {
    // A peer this far behind is not reading: close it rather than hold ever more bytes.
    CloseLater();
    return static_cast<int>(offset);
  }
  if (kept_.empty()) stalled_since_ = Clock::now();
  kept_.push_back(KeptPiece{bytes, offset});
  kept_total_ += rest;
  all_kept_ += rest;
  return static_cast<int>(offset);
}

std::size_t TServerClientWinSocket::KeptBytes() { return kept_total_; }

TServerClientWinSocket::Clock::time_point TServerClientWinSocket::StalledSince() {
  std::lock_guard<std::recursive_mutex> hold(Lock());
  return stalled_since_;
}

bool TServerClientWinSocket::IsStalled(Clock::time_point now, Clock::duration limit) {
  std::lock_guard<std::recursive_mutex> hold(Lock());
  return kept_total_ > 0 && now - stalled_since_ > limit;
}

std::size_t TServerClientWinSocket::KeptBytesLimit() {
  std::lock_guard<std::recursive_mutex> hold(Lock());
  return kept_limit_;
}

void TServerClientWinSocket::SetKeptBytesLimit(std::size_t limit) {
  std::lock_guard<std::recursive_mutex> hold(Lock());
  kept_limit_ = limit;
}

void TServerClientWinSocket::WriteReady(platform::SocketHandle handle) {
  {
    std::lock_guard<std::recursive_mutex> hold(Lock());
    if (handle != kInvalidSocket && handle == SocketHandle() && !kept_.empty()) FlushKept();
  }
  TCustomWinSocket::WriteReady(handle);
}
