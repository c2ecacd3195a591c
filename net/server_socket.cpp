#include "net/server_socket.h"

#include "base/ipv4_address.h"

TServerSocket::TServerSocket() : listening_(std::make_unique<TServerWinSocket>()) {
  listening_->SetSocketEventRoute(TSocketEventRoute::Bind(this, &TServerSocket::SocketEvent));
  listening_->SetErrorRoute(TSocketErrorRoute::Bind(this, &TServerSocket::SocketError));
  listening_->SetThreadCacheSize(10);
}

TServerSocket::~TServerSocket() { listening_.reset(); }

void TServerSocket::SetActive(bool active) {
  if (active == active_) return;
  if (loading_) {
    active_ = active;
    return;
  }
  if (active) {
    Activate();
  } else {
    listening_->CloseSocketObject(listening_->SocketHandle());
  }
}

void TServerSocket::Activate() {
  if (listening_->Connected()) return;
  if (listening_->ServerType() != stNonBlocking) {
    throw ESocketError("The thread-blocking server mode is not supported");
  }
  // A port number outside the TCP range is refused: its low 16 bits would be another port,
  // perhaps another program's or another channel's, whose connections never match it.
  if (service_.empty() && (port_ < 0 || port_ > 0xffff)) {
    throw SocketCallError(platform::kSocketInvalidArgument, "bind");
  }
  std::uint32_t local = 0;  // every local address
  if (!address_.empty()) {
    const std::optional<IPv4Address> parsed = ParseIPv4Address(address_);
    if (!parsed) throw SocketCallError(platform::kSocketInvalidArgument, "bind");
    local = *parsed;
  }
  listening_->SetBindAddress(local);
  listening_->Listen(service_, static_cast<std::uint16_t>(port_), backlog_);
}

void TServerSocket::Loaded() {
  loading_ = false;
  const bool stored = active_;
  active_ = false;
  if (stored) SetActive(true);
}

void TServerSocket::SetPort(int port) {
  if (port == port_) return;
  if (!loading_ && active_) throw ESocketError(kCantChangeWhileActiveText);
  port_ = port;
}

void TServerSocket::SetAddress(const std::string& address) {
  if (address == address_) return;
  if (!loading_ && active_) throw ESocketError(kCantChangeWhileActiveText);
  address_ = address;
}

TSocketNotifyEvent* TServerSocket::ClientSlot(int index) const {
  switch (index) {
    case 0: return &listening_->OnClientRead;
    case 1: return &listening_->OnClientWrite;
    case 2: return &listening_->OnClientConnect;
    case 3: return &listening_->OnClientDisconnect;
    default: return nullptr;
  }
}

bool TServerSocket::ClientEventSlot(int index, TSocketNotifyEvent& handler) const {
  TSocketNotifyEvent* slot = ClientSlot(index);
  if (!slot) return false;
  handler = *slot;
  return true;
}

TSocketNotifyEvent TServerSocket::ClientEventSlot(int index) const {
  TSocketNotifyEvent handler;
  ClientEventSlot(index, handler);
  return handler;
}

void TServerSocket::AssignClientEventSlot(int index, const TSocketNotifyEvent& handler) {
  if (TSocketNotifyEvent* slot = ClientSlot(index)) *slot = handler;
}

void TServerSocket::SocketEvent(TCustomWinSocket*, TCustomWinSocket* socket, SocketEventKind kind) {
  switch (kind) {
    case seConnect:
    case seListen:
      active_ = true;
      break;
    case seDisconnect:
      active_ = false;
      break;
    default:
      break;
  }
  if (kind == seListen && OnListen) OnListen(this, socket);
  if (kind == seAccept && OnAccept) OnAccept(this, socket);
}

void TServerSocket::SocketError(TCustomWinSocket*, TCustomWinSocket*, TErrorEvent, int&) {
  // A listener has no error slot of its own: the error is raised as it stands.
}
