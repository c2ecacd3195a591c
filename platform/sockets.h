#pragma once
// TCP sockets and the socket notifier.
//
// The notifier (AsyncSelect) makes a socket non-blocking and posts one message per event to a
// window, in that window's thread queue: wparam is the socket handle, lparam holds the event
// (low 16 bits, one of the kFd values) and an error code (high 16 bits). It reports
//  - kFdAccept while a connection waits, again after each Accept;
//  - kFdRead once when bytes arrive, again after each Receive while bytes remain (the bytes
//    may have been taken meanwhile, so a read may find none). A Receive that comes back
//    shorter than its buffer took all that waited: the reader need not ask how many wait
//    first. Where the platform can (Linux),
//    not again while one still waits in the queue, so a Receive of the reader's own accord
//    does not give the socket a second place there (Windows posts one all the same);
//  - kFdWrite after registration and after a Send that would have blocked, once sending is
//    possible;
//  - kFdClose once when the peer has closed, with the error code when the connection was reset
//    or aborted. Bytes that arrived with the close are reported as a read before the close.
// The cost of one notification does not depend on how many sockets are registered.
// Receive, Send, Accept and CloseSocket may be called from any thread, also while the owning
// thread handles readiness of the same socket; a notification that was collected for a socket
// closed or registered anew meanwhile is dropped.

#include <cstdint>
#include <string>

#include "platform/messages.h"

namespace platform {

using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;

constexpr int kFdRead = 1;
constexpr int kFdWrite = 2;
constexpr int kFdOob = 4;
constexpr int kFdAccept = 8;
constexpr int kFdConnect = 16;
constexpr int kFdClose = 32;

// The error code of a call that would have blocked (EWOULDBLOCK on Linux, 10035 on Windows).
extern const int kSocketWouldBlock;
// The error code of an invalid argument (EINVAL on Linux, 10022 on Windows).
extern const int kSocketInvalidArgument;

// Start-up and clean-up of the socket library, paired per socket object. 0 or an error code.
int SocketLibraryStartup();
int SocketLibraryCleanup();

// The error code of the calling thread's last failed socket call.
int LastSocketError();
// True for a code that means the system is short of descriptors or buffers (EMFILE, ENFILE,
// ENOBUFS, ENOMEM; WSAEMFILE, WSAENOBUFS): a condition that passes once some are freed.
bool IsResourceShortage(int code);

// The calls below answer 0 (or a handle, or a count) on success and -1 on failure, leaving
// the error for LastSocketError().
SocketHandle CreateTcpSocket();
int BindAny(SocketHandle s, std::uint16_t port);  // all local IPv4 addresses
// One local IPv4 address (host byte order; 0 is every address, as BindAny). An address that
// is not on this machine fails (EADDRNOTAVAIL, WSAEADDRNOTAVAIL).
int BindAddress(SocketHandle s, std::uint32_t address, std::uint16_t port);
int Listen(SocketHandle s, int backlog);
// The largest backlog the system gives a listener (Linux: net.core.somaxconn); a larger one is
// lowered to it. 0 where the system does not tell (Windows lowers it silently).
int MaxListenBacklog();
// True when `address` (host byte order) is the broadcast address of a network of one of this
// machine's interfaces (Linux lets a listener bind it, and no peer can reach it there). Always
// false on Windows, where only the bind itself judges an address.
bool IsLocalBroadcastAddress(std::uint32_t address);
// Takes the next waiting connection. When the system is short of descriptors or buffers the
// call fails (IsResourceShortage) without leaving the listener to spin: on Linux the waiting
// peer is refused at once through a descriptor kept in reserve for this (so it is told, and
// the next one is tried on the next notification); where that is not possible, the listener
// is not reported again until a socket of the process is closed.
SocketHandle Accept(SocketHandle listener);
int Receive(SocketHandle s, void* buffer, int size);
int Send(SocketHandle s, const void* data, int size);
int CloseSocket(SocketHandle s);
// FIONREAD.
int BytesWaiting(SocketHandle s, int& count);
int LocalPort(SocketHandle s, int& port);
// The peer's IPv4 address and port, as "a.b.c.d:port".
int PeerAddress(SocketHandle s, std::string& address);
// The peer's IPv4 address alone (host byte order).
int PeerIPv4Address(SocketHandle s, std::uint32_t& address);
// Bytes handed to the socket that have not yet left its send queue (not yet taken by the peer's
// side): SIOCOUTQ on Linux. Windows has no such query: there it always fails (with the code of
// an operation that is not supported), and a caller judges a peer's progress by what its
// sends take instead.
int UnsentBytes(SocketHandle s, int& count);
// Resolves a TCP service name to a port (host byte order). 0 or an error code.
int LookupTcpService(const char* name, std::uint16_t& port);

// Socket options: listener address reuse, and on accepted connections no send coalescing
// and keepalive probes. Each answers 0 or -1.
int SetReuseAddress(SocketHandle s);
int SetNoDelay(SocketHandle s);
int SetKeepAlive(SocketHandle s);
// Makes CloseSocket reset the connection instead of closing it in order (a linger time of 0):
// the peer is told at once, and the system keeps nothing of the connection afterwards.
int SetResetOnClose(SocketHandle s);

// Registers the socket with the notifier of `window`'s thread (see above). An empty mask
// (or window 0) unregisters it and puts the socket back into blocking mode.
void AsyncSelect(SocketHandle s, WindowHandle window, std::uint32_t message, int mask);

}  // namespace platform
