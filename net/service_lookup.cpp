// Listening on a service name instead of a port number: the listener's Service property and
// the lookup that turns the name into a port. The relay always listens on port numbers.

#include "base/ascii_text.h"
#include "net/custom_win_socket.h"
#include "net/server_socket.h"

void TServerSocket::SetService(const std::string& service) {
  if (SameTextIgnoringAsciiCase(service, service_)) return;
  if (!loading_ && active_) throw ESocketError(kCantChangeWhileActiveText);
  service_ = service;
}

void TCustomWinSocket::ListenOnService(const std::string& service, int backlog) {
  // The name is resolved at once; listening goes on when the answer is dispatched, as with an
  // asynchronous lookup.
  std::uint16_t found = 0;
  const int error = platform::LookupTcpService(service.c_str(), found);
  lookup_request_ = next_lookup_request_.fetch_add(1);
  lookup_port_ = found;
  lookup_backlog_ = backlog;
  platform::PostMessageTo(NotificationWindow(), kLookupDoneMessage, lookup_request_,
                          static_cast<std::intptr_t>((error & 0xffff) << 16));
}

void TCustomWinSocket::HandleLookupDone(const platform::Message& message) {
  std::lock_guard<std::recursive_mutex> hold(lock_);
  if (lookup_request_ == 0 || message.wparam != lookup_request_) return;
  lookup_request_ = 0;
  const platform::SocketHandle handle = handle_;
  const int error = static_cast<int>((message.lparam >> 16) & 0xffff);
  if (error != 0) {
    int code = error;
    ReportSocketError(this, eeLookup, code);
    CloseSocketObject(handle);
    if (code != 0) throw SocketCallError(error, "ASync Lookup");
    return;
  }
  try {
    ListenOnPort(lookup_port_, lookup_backlog_);
  } catch (...) {
    CloseSocketObject(handle);
    throw;
  }
}
