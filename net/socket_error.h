#pragma once
// The socket layer's exception and the check applied to platform socket calls.

#include <string>

#include "base/exception.h"

class ESocketError : public Exception {
 public:
  // A failure the system gave no code for.
  explicit ESocketError(std::string message) : Exception(std::move(message)) {}
  // A failure of a platform socket call, with the system's error code (errno values on Linux,
  // socket-library codes on Windows).
  ESocketError(std::string message, int error_code) : Exception(std::move(message)), error_code_(error_code) {}

  // The system's error code; 0 when the failure has none.
  int ErrorCode() const { return error_code_; }
  const char* ClassName() const override { return "ESocketError"; }

 private:
  int error_code_ = 0;
};

// "Windows socket error: %s (%d), on API '%s'" for `code` and `operation`, carrying `code`.
ESocketError SocketCallError(int code, const char* operation);

// 0 when `result` is 0. Otherwise the calling thread's last socket error: a would-block code
// is answered unchanged, any other code raises SocketCallError(code, operation).
int CheckSocketCall(int result, const char* operation);

// The fixed texts.
inline constexpr const char* kCantListenOnOpenText = "Can't listen on an open socket";
inline constexpr const char* kCantCreateSocketText = "Can't create new socket";
inline constexpr const char* kCantChangeWhileActiveText = "Can't change value while socket is active";
