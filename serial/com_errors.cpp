#include "serial/com_errors.h"

#include "serial/message_translation.h"

namespace {

const char* const kEnglishTexts[kComErrorCount + 1] = {
    "",
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};

std::array<std::string, kComErrorCount + 1> FillComErrorMessages() {
  translation::AddTextDomain("serial");
  std::array<std::string, kComErrorCount + 1> texts;
  for (int code = 1; code <= kComErrorCount; ++code) texts[code] = translation::Translate(kEnglishTexts[code]);
  return texts;
}

std::string MessageText(std::int32_t code) {
  const auto& texts = ComErrorMessages();
  return code >= 1 && code <= kComErrorCount ? texts[code] : std::string();
}

// Fills the table at program start; a use from another start-up initialiser fills it earlier.
[[maybe_unused]] const bool filled_at_start = !ComErrorMessages().empty();

}  // namespace

const std::array<std::string, kComErrorCount + 1>& ComErrorMessages() {
  static const std::array<std::string, kComErrorCount + 1> texts = FillComErrorMessages();
  return texts;
}

EComPort::EComPort(std::int32_t com_error_code, std::int32_t win_error_code)
    : Exception([&] {
        // The suffix is translated as a whole and its one "%d" filled in here, so a translated
        // text can never be misread as a format.
        std::string suffix = translation::Translate(" (win error code: %d)");
        std::size_t at = suffix.find("%d");
        if (at != std::string::npos) suffix.replace(at, 2, std::to_string(win_error_code));
        return MessageText(com_error_code) + suffix;
      }()),
      win_error_code_(win_error_code),
      com_error_code_(com_error_code) {}

EComPort::EComPort(std::int32_t com_error_code)
    : Exception(MessageText(com_error_code)), win_error_code_(-1), com_error_code_(com_error_code) {}
