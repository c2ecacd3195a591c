#include "net/socket_error.h"

#include "platform/sockets.h"

ESocketError SocketCallError(int code, const char* operation) {
  return ESocketError(FormatText("Windows socket error: %s (%d), on API '%s'",
                                 SystemErrorText(code).c_str(), code, operation),
                      code);
}

int CheckSocketCall(int result, const char* operation) {
  if (result == 0) return 0;
  const int code = platform::LastSocketError();
  if (code == platform::kSocketWouldBlock) return code;
  throw SocketCallError(code, operation);
}
