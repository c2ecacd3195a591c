#pragma once
// An accepted connection. Besides the base operations it can keep bytes the socket cannot
// take now and send them, in order, when sending is possible again (SendOrKeep).
//
// While its listener is paused (TServerWinSocket::SetPaused), the connection's read and close
// notifications wait until the listener resumes: what waits in the socket stays there, unread,
// and is read in order, before the peer's close, when reading goes on. A peer that closed with
// bytes unread has them read first, by read events in the turns reads take (and not at all while
// the listener is paused); the close follows once none wait, or once a read event takes none.

#include <chrono>
#include <cstddef>
#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>

#include "net/custom_win_socket.h"

class TServerWinSocket;

class TServerClientWinSocket : public TCustomWinSocket {
 public:
  using Clock = std::chrono::steady_clock;
  // How many kept bytes a connection may hold; one more and it is closed instead. Well above
  // what one read of a socket can bring (the system's largest receive buffer), so a healthy
  // peer that is only briefly slower than its source never reaches it.
  static constexpr std::size_t kDefaultKeptBytesLimit = 16u * 1024u * 1024u;

  // Joins `server`'s list, makes the calling (accepting) thread its owner, registers for
  // notifications on that thread's window and raises the connect event.
  TServerClientWinSocket(platform::SocketHandle handle, TServerWinSocket* server);
  ~TServerClientWinSocket() override;

  TServerWinSocket* ServerWinSocket() const { return server_; }
  // A number that no other connection of the process has had.
  std::uint64_t Id() const { return id_; }
  // When the connection was accepted, on the steady clock and on the calendar.
  Clock::time_point AcceptedAt() const { return accepted_at_; }
  std::chrono::system_clock::time_point AcceptedOn() const { return accepted_on_; }

  // Asks for this object's destruction by a message to its own window; returns at once.
  void ReleaseLater();

  // Sends what the socket takes now (the send path of SendBytes, repeated until it would
  // block) and keeps the rest behind the bytes kept before; never sends out of order. Kept
  // bytes go out on the next write notification, before the write event, or with the next
  // SendOrKeep. Answers the bytes handed to the platform now (0 when closed). When the kept
  // bytes would exceed KeptBytesLimit() nothing is kept and the connection is closed by
  // CloseLater. A failed send runs the error route (eeSend), asks for the close by CloseLater
  // and raises ESocketError unless the route cleared the code. So the close routine never runs
  // inside the caller's delivery, nor on another thread than the owner. Safe from any thread
  // while the object lives.
  int SendOrKeep(const ByteString& bytes);
  // Bytes kept and not yet sent.
  std::size_t KeptBytes();
  // The bytes that every connection of the process keeps, together. Any thread.
  static std::size_t AllKeptBytes() { return all_kept_.load(); }
  // When the kept bytes last made progress (or began to wait); Clock::time_point() when none wait.
  // Progress is bytes leaving for the peer: kept bytes taken by the socket, or, checked by
  // CheckProgress, bytes leaving the socket's send queue (where the platform can tell).
  Clock::time_point StalledSince();
  // True when bytes are kept and have made no progress for longer than `limit`.
  bool IsStalled(Clock::time_point now, Clock::duration limit);
  // While bytes are kept: sends what the socket takes now, and counts it as progress when the
  // socket's send queue shrank since the last check, so that a peer that reads slowly (and so
  // frees too little room for a write notification) is seen to move. A failed send closes the
  // connection as in SendBytes, without raising. Any thread.
  void CheckProgress(Clock::time_point now);

  // True once the peer's close (or reset) was seen, though the close may still wait for the
  // bytes before it to be read. Owner thread.
  bool PeerGone() const { return peer_gone_; }

  std::size_t KeptBytesLimit();
  void SetKeptBytesLimit(std::size_t limit);

  // Also drops the kept bytes once the handle is closed.
  void CloseSocketObject(platform::SocketHandle handle) override;
  // Also drops the kept bytes, which can no longer go anywhere.
  bool CloseLater() override;

 protected:
  void WriteReady(platform::SocketHandle handle) override;
  // Keeps read and close notifications back while the listener is paused.
  std::intptr_t HandleMessage(const platform::Message& message) override;

 private:
  struct KeptPiece {
    ByteString bytes;
    std::size_t offset;  // bytes of `bytes` already sent
  };
  // Sends kept bytes until all are gone or the socket would block; answers how many went.
  // Caller holds the lock.
  std::size_t FlushKept();
  void DropKept();
  // Owner thread: the listener resumed; the notifications kept back are posted again.
  friend class TServerWinSocket;
  void ResumeKeptBack();
  // The peer's close came with bytes unread: runs a read event first. True when the close waits
  // (kept back, or posted again behind the other work); false when it runs now.
  bool ReadBeforeClose(const platform::Message& close);

  TServerWinSocket* server_;
  std::deque<KeptPiece> kept_;
  // Changed under the lock; read without it (KeptBytes).
  std::atomic<std::size_t> kept_total_{0};
  Clock::time_point stalled_since_{};
  int last_unsent_ = -1;  // the send queue at the last progress check; -1: not known
  std::size_t kept_limit_ = kDefaultKeptBytesLimit;
  const Clock::time_point accepted_at_ = Clock::now();
  const std::chrono::system_clock::time_point accepted_on_ = std::chrono::system_clock::now();
  const std::uint64_t id_;
  // The notifications that wait for the listener to resume (owner thread).
  std::optional<platform::Message> kept_back_read_;
  std::optional<platform::Message> kept_back_close_;
  bool peer_gone_ = false;  // owner thread
  static std::atomic<std::size_t> all_kept_;
};
