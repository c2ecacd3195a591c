#pragma once
// The listening socket component: accepts TCP connections on one local port, of all IPv4
// addresses or of one, and passes its connections' events to its OnClient... slots.

#include <memory>
#include <string>

#include "net/server_client_win_socket.h"
#include "net/server_win_socket.h"

class TServerSocket : public TObject {
 public:
  TServerSocket();
  // Destroys ListeningSocket, which closes every connection (without disconnect events).
  ~TServerSocket() override;

  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  int Tag() const { return tag_; }
  void SetTag(int tag) { tag_ = tag; }

  // True while listening. Setting true listens (with Backlog) on Port, or on the port of Service;
  // failures raise ESocketError and leave it false. A Port outside 0..65535 fails as a bind
  // with the system's "invalid argument" code, before any socket exists. Setting false
  // closes every connection (without OnClientDisconnect) and the listening socket.
  bool Active() const { return active_; }
  void SetActive(bool active);

  // Setting another value while active raises "Can't change value while socket is active".
  int Port() const { return port_; }
  void SetPort(int port);
  // The local IPv4 address to listen on ("10.1.2.3"); empty, the default, for all of them.
  // Setting another value while active raises as Port does. One that is no IPv4 address fails
  // the activation as a bind with the system's "invalid argument" code.
  const std::string& Address() const { return address_; }
  void SetAddress(const std::string& address);

  // How many connections may wait in the system's queue until they are accepted: 5 unless set;
  // taken when listening starts, within 1..65535 (the system lowers it to its own maximum).
  static constexpr int kDefaultBacklog = 5;
  int Backlog() const { return backlog_; }
  void SetBacklog(int backlog) { backlog_ = backlog; }

  // Sender is this component; Socket is ListeningSocket (OnListen) or the new connection
  // (OnAccept).
  TSocketNotifyEvent OnListen;
  TSocketNotifyEvent OnAccept;

  // The client slots live in ListeningSocket; Sender is ListeningSocket, Socket the connection.
  const TSocketNotifyEvent& OnClientConnect() const { return listening_->OnClientConnect; }
  void SetOnClientConnect(TSocketNotifyEvent slot) { listening_->OnClientConnect = std::move(slot); }
  const TSocketNotifyEvent& OnClientDisconnect() const { return listening_->OnClientDisconnect; }
  void SetOnClientDisconnect(TSocketNotifyEvent slot) { listening_->OnClientDisconnect = std::move(slot); }
  const TSocketNotifyEvent& OnClientRead() const { return listening_->OnClientRead; }
  void SetOnClientRead(TSocketNotifyEvent slot) { listening_->OnClientRead = std::move(slot); }
  const TSocketNotifyEvent& OnClientWrite() const { return listening_->OnClientWrite; }
  void SetOnClientWrite(TSocketNotifyEvent slot) { listening_->OnClientWrite = std::move(slot); }
  const TSocketErrorEvent& OnClientError() const { return listening_->OnClientError; }
  void SetOnClientError(TSocketErrorEvent slot) { listening_->OnClientError = std::move(slot); }
  const TGetSocketEvent& OnGetSocket() const { return listening_->OnGetSocket; }
  void SetOnGetSocket(TGetSocketEvent slot) { listening_->OnGetSocket = std::move(slot); }
  const TAdmitPeerEvent& OnAdmitPeer() const { return listening_->OnAdmitPeer; }
  void SetOnAdmitPeer(TAdmitPeerEvent slot) { listening_->OnAdmitPeer = std::move(slot); }

  // Client event slots by index: 0 OnClientRead, 1 OnClientWrite, 2 OnClientConnect,
  // 3 OnClientDisconnect. Another index does nothing: the query leaves `handler` untouched
  // and answers false.
  bool ClientEventSlot(int index, TSocketNotifyEvent& handler) const;
  TSocketNotifyEvent ClientEventSlot(int index) const;  // empty for another index
  void AssignClientEventSlot(int index, const TSocketNotifyEvent& handler);

  TServerWinSocket* ListeningSocket() const { return listening_.get(); }

  // Loading from stored settings: between the two calls Active is only stored; Loaded()
  // then activates when the stored value is true.
  void BeginLoading() { loading_ = true; }
  void Loaded();

  // Not used by the relay, which listens on port numbers in the non-blocking mode:
  // A service name that replaces Port when not empty; compared ignoring ASCII case
  // (service_lookup.cpp).
  const std::string& Service() const { return service_; }
  void SetService(const std::string& service);
  // Only stNonBlocking listens; activating in stThreadBlocking raises ESocketError
  // (thread_blocking_mode.cpp).
  TServerType ServerType() const { return listening_->ServerType(); }
  void SetServerType(TServerType type) { listening_->SetServerType(type); }
  int ThreadCacheSize() const { return listening_->ThreadCacheSize(); }
  void SetThreadCacheSize(int size) { listening_->SetThreadCacheSize(size); }

 private:
  TSocketNotifyEvent* ClientSlot(int index) const;
  void Activate();
  void SocketEvent(TCustomWinSocket* sender, TCustomWinSocket* socket, SocketEventKind kind);
  void SocketError(TCustomWinSocket* sender, TCustomWinSocket* socket, TErrorEvent error, int& code);

  std::string name_;
  int tag_ = 0;
  bool active_ = false;
  bool loading_ = false;
  int port_ = 0;
  int backlog_ = kDefaultBacklog;
  std::string address_;
  std::string service_;
  std::unique_ptr<TServerWinSocket> listening_;
};
