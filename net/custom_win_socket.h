#pragma once
// The socket object every listener and accepted connection is built on: one platform socket,
// a re-entrant lock and a hidden notification window. The thread that starts listening, or
// accepts the connection, owns the object: its window is created on that thread, so socket
// notifications, events and error reports (and the release of a closed connection) run there.
// I/O (ReadPending, SendBytes) and the close routine may be called from any thread; each holds
// the object's lock.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/byte_string.h"
#include "base/tobject.h"
#include "net/socket_error.h"
#include "net/socket_types.h"

class TCustomWinSocket : public TObject {
 public:
  // Takes ownership of `handle` (platform::kInvalidSocket for none); open when it is valid.
  explicit TCustomWinSocket(platform::SocketHandle handle);
  ~TCustomWinSocket() override;

  // What one receive takes at most.
  static constexpr std::size_t kReceiveChunk = 64 * 1024;

  // Takes every byte waiting now (empty when none or when closed), without asking first how
  // many wait: one receive of kReceiveChunk bytes, and another while one comes back full. A
  // failed receive runs the error route (eeReceive) and the close routine, then raises
  // ESocketError.
  void ReadPending(ByteString& out);
  ByteString ReadPending();
  // The same, taking at most `limit` of the bytes waiting: one receive up to kReceiveChunk. A
  // result shorter than `limit` took all that waited; after a full one, bytes may wait still,
  // and a read notification follows for them.
  void ReadPending(ByteString& out, std::size_t limit);

  // Hands `bytes` to the platform in one call: the count it took, 0 when closed, -1 when it
  // could take nothing now. The rest is not kept. A failed send runs the error route (eeSend)
  // and the close routine, then raises ESocketError unless the route cleared the code.
  int SendBytes(const ByteString& bytes);

  // The bytes waiting to be read now; 0 when closed or when the system cannot tell.
  int WaitingBytes();

  // The local TCP port, -1 without a handle.
  int BoundPort();
  // The peer's address as "a.b.c.d:port"; empty without a handle or a peer.
  std::string PeerAddress();

  // The bytes ReadPending took from the socket and the sends handed to it, since the object
  // was made. Any thread: each is written under the lock, read without it.
  std::uint64_t BytesReceived() const { return bytes_received_.load(std::memory_order_relaxed); }
  std::uint64_t BytesSent() const { return bytes_sent_.load(std::memory_order_relaxed); }

  // The close routine: raises the disconnect event, closes the handle and marks the object
  // closed; does nothing unless `handle` is the current handle (a pending lookup is
  // forgotten in every case).
  virtual void CloseSocketObject(platform::SocketHandle handle);

  // Asks for the close routine on the owning thread, by a message to the object's window: it
  // runs after whatever the owner is handling now, never inside it. From the call on, the
  // object takes no more sends (Connected() is false), but what waits in its socket can still
  // be read until the close. Answers true for the call that asked first; any thread.
  virtual bool CloseLater();

  platform::SocketHandle SocketHandle() const { return handle_.load(); }
  // True while connected (a connection) or listening (a listener), and no close was asked for.
  bool Connected() const { return open_.load() && !closing_later_.load(); }

  // The thread that owns the object (see above); 0 before it listened or was accepted.
  platform::ThreadId OwnerThread() const { return owner_thread_.load(); }
  bool OnOwnerThread() const { return OwnerThread() == platform::CurrentThreadId(); }

  // The hidden window of the owning thread. An object that never listened nor was accepted
  // gets it, and its owner, at the first call.
  platform::WindowHandle NotificationWindow();

  int NotificationMask() const { return mask_; }
  // Stores the mask; re-registers when the object has a handle.
  void SetNotificationMask(int mask);

  void SetSocketEventRoute(TSocketEventRoute route) { event_route_ = std::move(route); }
  void SetErrorRoute(TSocketErrorRoute route) { error_route_ = std::move(route); }

  // Starts listening on the bind address (all local IPv4 addresses unless one was set): on
  // `port`, or, when `service` is not empty, on the port that service name resolves to (the
  // listen then completes in the dispatch of the lookup answer, service_lookup.cpp). The
  // backlog is kept within 1..kLargestBacklog (the system lowers it further to its own
  // maximum). The calling thread becomes the owner.
  static constexpr int kLargestBacklog = 65535;
  void Listen(const std::string& service, std::uint16_t port, int backlog);
  // The local IPv4 address the next Listen binds (host byte order); 0, the default, for all.
  void SetBindAddress(std::uint32_t address) { bind_address_ = address; }
  std::uint32_t BindAddress() const { return bind_address_; }

  // The object's lock; the close routine and all I/O hold it.
  std::recursive_mutex& Lock() { return lock_; }

 protected:
  virtual void AcceptPending(platform::SocketHandle handle);
  virtual void ConnectDone(platform::SocketHandle handle);
  virtual void ReadReady(platform::SocketHandle handle);
  virtual void WriteReady(platform::SocketHandle handle);

  virtual void RaiseSocketEvent(TCustomWinSocket* socket, SocketEventKind kind);
  virtual void ReportSocketError(TCustomWinSocket* socket, TErrorEvent error, int& code);

  // Makes the calling thread the owner and creates the window there (a window of another
  // thread is replaced).
  void TakeOwnership();

  // Registers the current mask with the notifier (an empty mask puts the socket back into
  // blocking mode).
  void RegisterNotifications();

  // One receive of at most `size` (<= kReceiveChunk) bytes under the lock, with the failure
  // handling of ReadPending.
  ByteString ReceiveOnce(std::size_t size);

  // One send call with the failure handling of SendBytes; the caller holds the lock. With
  // `close_later` a failed send asks for the close by CloseLater instead of running it at once.
  int SendLocked(const char* data, std::size_t size, bool close_later);

  // Handles one message of the notification window; the window procedure routes whatever
  // escapes. Overrides must pass messages they do not handle on.
  virtual std::intptr_t HandleMessage(const platform::Message& message);

  // Stops raising socket events (destructors call this first).
  void ClearSocketEventRoute() { event_route_ = TSocketEventRoute(); }

 private:
  void HandleNotification(platform::SocketHandle handle, int event, int error);
  void ListenOnPort(std::uint16_t port, int backlog);
  // Listening on a service name (service_lookup.cpp): the lookup, then ListenOnPort when its
  // answer is dispatched.
  void ListenOnService(const std::string& service, int backlog);
  void HandleLookupDone(const platform::Message& message);
  // The base part of the close routine, also used by the destructor.
  void CloseHandle(platform::SocketHandle handle);
  bool IsCurrentHandle(platform::SocketHandle handle);
  // Adds to a byte count; the caller holds the lock, so a plain add is enough.
  static void Count(std::atomic<std::uint64_t>& counter, int bytes) {
    counter.store(counter.load(std::memory_order_relaxed) + static_cast<std::uint64_t>(bytes),
                  std::memory_order_relaxed);
  }

  std::atomic<platform::SocketHandle> handle_;
  std::atomic<bool> open_;
  std::atomic<bool> closing_later_{false};  // CloseLater asked for the close of the current handle
  std::atomic<platform::WindowHandle> window_{0};
  std::atomic<platform::ThreadId> owner_thread_{0};
  int mask_;
  TSocketEventRoute event_route_;
  TSocketErrorRoute error_route_;
  std::recursive_mutex lock_;
  std::atomic<int> known_port_{-1};  // the local port of the open handle, once asked; -1 otherwise
  std::uint32_t bind_address_ = 0;
  bool closing_ = false;  // the close routine runs; a nested call for the same close returns
  std::atomic<std::uint64_t> bytes_received_{0};
  std::atomic<std::uint64_t> bytes_sent_{0};

  // An outstanding service-name lookup: its request number and what listening continues with.
  std::uintptr_t lookup_request_ = 0;
  std::uint16_t lookup_port_ = 0;
  int lookup_backlog_ = 0;
  static std::atomic<std::uintptr_t> next_lookup_request_;
};
