// The server type property. Only the non-blocking mode, in which the owning thread's
// notifications drive accepting and reading, is provided; the thread-blocking mode can be
// chosen but not activated.

#include "net/server_win_socket.h"

void TServerWinSocket::SetServerType(TServerType type) {
  if (type == server_type_) return;
  if (Connected()) throw ESocketError(kCantChangeWhileActiveText);
  server_type_ = type;
  SetNotificationMask(type == stNonBlocking ? platform::kFdAccept : 0);
}
