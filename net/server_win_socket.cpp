#include "net/server_win_socket.h"

#include <algorithm>
#include <atomic>
#include <utility>

#include "base/warning_routing.h"
#include "net/server_client_win_socket.h"

using platform::kInvalidSocket;

TServerWinSocket::TServerWinSocket() : TCustomWinSocket(kInvalidSocket) {
  SetNotificationMask(platform::kFdAccept);
}

TServerWinSocket::~TServerWinSocket() {
  ClearSocketEventRoute();
  try {
    CloseSocketObject(SocketHandle());
  } catch (...) {
    // A destructor cannot report; the handle is given up.
  }
}

int TServerWinSocket::ConnectionCount() const {
  std::unique_lock<std::recursive_mutex> hold(list_lock_, std::defer_lock);
  if (!OnOwnerThread()) hold.lock();
  return static_cast<int>(connections_.size());
}

TServerClientWinSocket* TServerWinSocket::ConnectionAt(int index) const {
  std::unique_lock<std::recursive_mutex> hold(list_lock_, std::defer_lock);
  if (!OnOwnerThread()) hold.lock();
  if (index < 0 || index >= static_cast<int>(connections_.size())) {
    throw EListError(FormatText("List index out of bounds (%d)", index));
  }
  return connections_[static_cast<std::size_t>(index)];
}

void TServerWinSocket::ForEachConnection(const std::function<void(TServerClientWinSocket*)>& visit) const {
  std::lock_guard<std::recursive_mutex> hold(list_lock_);
  // A copy, so that a connection that a visit closes and whose owner then releases it cannot
  // disturb the walk; its destruction waits for the list lock.
  const std::vector<TServerClientWinSocket*> walk = connections_;
  for (TServerClientWinSocket* connection : walk) visit(connection);
}

TServerWinSocket::Traffic TServerWinSocket::ConnectionTraffic() const {
  std::lock_guard<std::recursive_mutex> hold(list_lock_);
  Traffic traffic = released_traffic_;
  for (const TServerClientWinSocket* connection : connections_) {
    traffic.received += connection->BytesReceived();
    traffic.sent += connection->BytesSent();
  }
  return traffic;
}

void TServerWinSocket::AddConnection(TServerClientWinSocket* connection) {
  std::lock_guard<std::recursive_mutex> hold(list_lock_);
  if (std::find(connections_.begin(), connections_.end(), connection) == connections_.end()) {
    connections_.push_back(connection);
  }
}

void TServerWinSocket::RemoveConnection(TServerClientWinSocket* connection) {
  std::lock_guard<std::recursive_mutex> hold(list_lock_);
  auto it = std::find(connections_.begin(), connections_.end(), connection);
  if (it == connections_.end()) return;
  connections_.erase(it);
  released_traffic_.received += connection->BytesReceived();
  released_traffic_.sent += connection->BytesSent();
}

void TServerWinSocket::CloseSocketObject(platform::SocketHandle handle) {
  std::lock_guard<std::recursive_mutex> hold(Lock());
  while (true) {
    TServerClientWinSocket* last;
    {
      std::lock_guard<std::recursive_mutex> hold_list(list_lock_);
      if (connections_.empty()) break;
      last = connections_.back();
    }
    delete last;  // leaves the list in its destructor; raises no events
  }
  open_connections_ = 0;
  TCustomWinSocket::CloseSocketObject(handle);
}

namespace {

// True from the first accept that failed for lack of descriptors or buffers until the next one
// that succeeds, on any listener of the process: one warning per such episode.
std::atomic<bool> short_of_resources{false};

}  // namespace

void TServerWinSocket::SetPaused(bool paused) {
  if (paused_ == paused) return;
  paused_ = paused;
  if (paused) return;
  ForEachConnection([](TServerClientWinSocket* connection) { connection->ResumeKeptBack(); });
  if (std::exchange(accept_kept_back_, false)) {
    platform::PostMessageTo(NotificationWindow(), kSocketNotifyMessage, static_cast<std::uintptr_t>(SocketHandle()),
                            platform::kFdAccept);
  }
}

int TServerWinSocket::LiveConnectionCount() const {
  int live = 0;
  for (const TServerClientWinSocket* connection : connections_) live += connection->Connected() && !connection->PeerGone();
  return live;
}

void TServerWinSocket::AcceptPending(platform::SocketHandle handle) {
  if (handle == kInvalidSocket || handle != SocketHandle()) return;
  // Every connection that waits, up to the bound: a burst of peers leaves the system's queue at
  // once, and one more notification follows for those beyond the bound (the notifier reports
  // the listener again while a connection waits), so the other work keeps its turn.
  for (int taken = 0; taken < kAcceptsPerReadiness; ++taken) {
    if (paused_) {
      accept_kept_back_ = true;  // the system keeps the peers waiting; the notification is not repeated
      return;
    }
    const platform::SocketHandle accepted = platform::Accept(handle);
    if (accepted == kInvalidSocket) {
      NoteFailedAccept();
      return;
    }
    short_of_resources = false;
    TakeConnection(accepted);
    if (SocketHandle() != handle) return;  // a handler of the accept closed the listener
  }
}

void TServerWinSocket::NoteFailedAccept() {
  // None waits, or the accept failed: otherwise silent. For lack of resources the peer is
  // refused (or waits) and the listener goes on when they free up; established connections go
  // on meanwhile.
  const int code = platform::LastSocketError();
  if (platform::IsResourceShortage(code) && !short_of_resources.exchange(true)) {
    routing::ReportWarning(this, FormatText("Connections to port %d are refused while the system is short of "
                                            "descriptors or buffers: %s (%d)",
                                            BoundPort(), SystemErrorText(code).c_str(), code));
  }
}

void TServerWinSocket::TakeConnection(platform::SocketHandle accepted) {
  if (!Admitted(accepted)) return;
  // Relayed bytes go out at once, and a peer that vanished without a close is found.
  platform::SetNoDelay(accepted);
  platform::SetKeepAlive(accepted);
  TServerClientWinSocket* connection = nullptr;
  if (OnGetSocket) OnGetSocket(this, accepted, connection);
  if (!connection) connection = new TServerClientWinSocket(accepted, this);
  RaiseSocketEvent(connection, seAccept);
}

bool TServerWinSocket::Admitted(platform::SocketHandle accepted) {
  if (!OnAdmitPeer) return true;
  std::uint32_t peer = 0;
  // A peer that is gone already (reset before the accept) is not asked about.
  bool admit = platform::PeerIPv4Address(accepted, peer) == 0;
  try {
    if (admit) OnAdmitPeer(this, peer, LiveConnectionCount(), admit);
  } catch (...) {
    platform::CloseSocket(accepted);
    throw;
  }
  if (admit) return true;
  // A reset tells the peer at once and leaves nothing of the connection behind (no time-wait
  // for each peer of a flood); it learns no more than from a refused connect.
  platform::SetResetOnClose(accepted);
  platform::CloseSocket(accepted);
  return false;
}

void TServerWinSocket::ClientEvent(TCustomWinSocket*, TCustomWinSocket* socket, SocketEventKind kind) {
  switch (kind) {
    case seConnect:
      ++open_connections_;
      if (OnClientConnect) OnClientConnect(this, socket);
      break;
    case seDisconnect:
      --open_connections_;
      if (OnClientDisconnect) OnClientDisconnect(this, socket);
      if (server_type_ == stNonBlocking) static_cast<TServerClientWinSocket*>(socket)->ReleaseLater();
      break;
    case seRead:
      if (OnClientRead) OnClientRead(this, socket);
      break;
    case seWrite:
      if (OnClientWrite) OnClientWrite(this, socket);
      break;
    default:
      break;
  }
}

void TServerWinSocket::ClientError(TCustomWinSocket*, TCustomWinSocket* socket, TErrorEvent error, int& code) {
  if (OnClientError) OnClientError(this, socket, error, code);
}
