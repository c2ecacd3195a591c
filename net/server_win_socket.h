#pragma once
// The listening socket object: accepts connections and keeps every accepted connection, in
// order of acceptance, from its construction until its destruction (also while it is closed
// and waits for release). It owns its connections and frees them when it is closed.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "net/custom_win_socket.h"

class TServerClientWinSocket;

class TServerWinSocket : public TCustomWinSocket {
 public:
  TServerWinSocket();
  ~TServerWinSocket() override;

  // Only the owner thread changes the list: it reads it with these two without the list lock,
  // another thread takes the lock for each (and ForEachConnection for a walk).
  int ConnectionCount() const;
  // The connection at 0-based `index`; EListError "List index out of bounds (%d)" outside.
  TServerClientWinSocket* ConnectionAt(int index) const;
  // Calls `visit` for every connection while holding the list lock, so that no connection
  // can be destroyed meanwhile: the safe way to walk the list from another thread than the
  // owner. `visit` must not close the listener nor wait for the owning thread.
  void ForEachConnection(const std::function<void(TServerClientWinSocket*)>& visit) const;

  // The bytes received from and sent to the listener's connections (BytesReceived, BytesSent),
  // those already released included. Any thread.
  struct Traffic {
    std::uint64_t received = 0;
    std::uint64_t sent = 0;
  };
  Traffic ConnectionTraffic() const;

  // Deactivation: destroys every connection (last first, without disconnect events), then
  // closes `handle` if it is the listening handle.
  void CloseSocketObject(platform::SocketHandle handle) override;

  // Owner thread. While paused the listener accepts no connection (they wait in the system's
  // queue) and keeps back the read and close notifications of its connections, so that what
  // their peers sent stays in their sockets, bounded by the system, until it resumes. Resuming
  // posts again what was kept back, so the reads take their turns in the owner's queue: the
  // connections' reads and closes first, then the accept, so that peers that left while it was
  // paused are gone before new ones are counted.
  void SetPaused(bool paused);
  bool Paused() const { return paused_; }

  // How many connections one accept notification takes at most.
  static constexpr int kAcceptsPerReadiness = 64;
  // Asked about every peer accepted while set, on the owner thread, right after the accept
  // and before any connection object exists (Sender is this listener), with the count of live
  // connections (LiveConnectionCount). A peer it leaves
  // refused is closed at once with a reset: nothing is read from it or sent to it, no event is
  // raised for it, and it never becomes a connection.
  TAdmitPeerEvent OnAdmitPeer;
  // The connections that are open now: listed and not closed (a closed one stays listed until
  // its release).
  int OpenConnectionCount() const { return open_connections_.load(); }
  // The open connections whose peer is still there: neither closing nor closed by their peer
  // (whose close may still wait for the bytes before it to be read). Owner thread.
  int LiveConnectionCount() const;

  TGetSocketEvent OnGetSocket;
  TSocketNotifyEvent OnClientConnect;
  TSocketNotifyEvent OnClientDisconnect;
  TSocketNotifyEvent OnClientRead;
  TSocketNotifyEvent OnClientWrite;
  TSocketErrorEvent OnClientError;

  // The thread-blocking mode (thread_blocking_mode.cpp): kept as a setting, never provided.
  // SetServerType raises "Can't change value while socket is active" when changed while open;
  // only stNonBlocking can listen.
  TServerType ServerType() const { return server_type_; }
  void SetServerType(TServerType type);
  int ThreadCacheSize() const { return thread_cache_size_; }
  void SetThreadCacheSize(int size) { thread_cache_size_ = size; }

 protected:
  // Accepts the connections that wait, at most kAcceptsPerReadiness (see above). The handlers
  // it calls (OnGetSocket, OnAccept, OnClientConnect) may close the listener, not destroy it.
  void AcceptPending(platform::SocketHandle handle) override;

 private:
  friend class TServerClientWinSocket;
  // One accepted socket: refused (Admitted) or given its options, its connection object and the
  // accept event.
  void TakeConnection(platform::SocketHandle accepted);
  // An accept that failed: a warning once per shortage of descriptors or buffers.
  void NoteFailedAccept();
  // Asks OnAdmitPeer about a socket just accepted; closes it when refused. True when it may
  // become a connection.
  bool Admitted(platform::SocketHandle accepted);
  void AddConnection(TServerClientWinSocket* connection);
  void RemoveConnection(TServerClientWinSocket* connection);
  // Where the connections' events and error reports go.
  void ClientEvent(TCustomWinSocket* sender, TCustomWinSocket* socket, SocketEventKind kind);
  void ClientError(TCustomWinSocket* sender, TCustomWinSocket* socket, TErrorEvent error, int& code);

  TServerType server_type_ = stNonBlocking;
  bool paused_ = false;          // owner thread
  bool accept_kept_back_ = false;  // an accept notification came while paused
  int thread_cache_size_ = 10;
  std::atomic<int> open_connections_{0};  // counted by the connect and disconnect events
  std::vector<TServerClientWinSocket*> connections_;
  Traffic released_traffic_;  // of the connections that left the list
  mutable std::recursive_mutex list_lock_;  // guards connections_ and released_traffic_
};
