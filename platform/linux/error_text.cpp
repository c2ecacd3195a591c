#include "platform/error_text.h"

#include <cstring>

namespace platform {

std::string ErrorMessage(int code) {
  char buffer[256];
  // GNU strerror_r answers a pointer that may or may not be the buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text ? std::string(text) : std::string();
}

}  // namespace platform
