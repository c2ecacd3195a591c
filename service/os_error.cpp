#include "service/os_error.h"

#include "platform/service_manager.h"

std::string ServiceErrorText(std::uint32_t code) {
  return CutErrorText(platform::ServiceErrorMessage(code));
}

std::string OSErrorMessage(std::uint32_t code) {
  if (code == 0) return "A call to an OS function failed";
  return FormatText("System Error.  Code: %d.\r\n%s", static_cast<int>(code), ServiceErrorText(code).c_str());
}

void RaiseLastOSError(std::uint32_t code) {
  throw EOSError(static_cast<int>(code), OSErrorMessage(code));
}
