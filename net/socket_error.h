#pragma once
// The socket layer's exception and the check applied to platform socket calls.

#include <string>

#include "base/exception.h"

class ESocketError : public Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const override { return "ESocketError"; }
};

// "Windows socket error: %s (%d), on API '%s'" for `code` and `operation`.
ESocketError SocketCallError(int code, const char* operation);

// 0 when `result` is 0. Otherwise the calling thread's last socket error: a would-block code
// is answered unchanged, any other code raises SocketCallError(code, operation).
int CheckSocketCall(int result, const char* operation);

// The fixed texts.
inline constexpr const char* kCantListenOnOpenText = "Can't listen on an open socket";
inline constexpr const char* kCantCreateSocketText = "Can't create new socket";
inline constexpr const char* kCantChangeWhileActiveText = "Can't change value while socket is active";
