#pragma once
// The serial layer's one exception class and its numbered messages.

#include <array>
#include <cstdint>
#include <string>

#include "base/exception.h"

// Message codes (indexes into ComErrorMessages()).
enum ComErrorCodes : std::int32_t {
  CError_OpenFailed = 1,
  CError_WriteFailed = 2,
  CError_ReadFailed = 3,
  CError_InvalidAsync = 4,
  CError_PurgeFailed = 5,
  CError_AsyncCheck = 6,
  CError_SetStateFailed = 7,
  CError_TimeoutsFailed = 8,
  CError_SetupComFailed = 9,
  CError_ClearComFailed = 10,
  CError_ModemStatFailed = 11,
  CError_EscapeComFailed = 12,
  CError_TransmitFailed = 13,
  CError_ConnChangeProp = 14,
  CError_EnumPortsFailed = 15,
  CError_StoreFailed = 16,
  CError_LoadFailed = 17,
  CError_RegFailed = 18,
  CError_LedStateFailed = 19,
  CError_ThreadCreated = 20,
  CError_WaitFailed = 21,
  CError_HasLink = 22,
  CError_RegError = 23,
};

constexpr int kComErrorCount = 23;

// The 23 message texts, index 1 to 23 (index 0 is empty). Filled once, before main() runs,
// by passing each English text through the message-translation step (serial domain added
// first); read-only afterwards, so any thread may read it without a lock.
const std::array<std::string, kComErrorCount + 1>& ComErrorMessages();

class EComPort : public Exception {
 public:
  // With the operating system's code: the message gets " (win error code: N)" appended.
  EComPort(std::int32_t com_error_code, std::int32_t win_error_code);
  // Without one: WinErrorCode is -1 and the message is the table's text alone.
  explicit EComPort(std::int32_t com_error_code);

  std::int32_t WinErrorCode() const { return win_error_code_; }
  std::int32_t ComErrorCode() const { return com_error_code_; }
  const char* ClassName() const override { return "EComPort"; }

 private:
  std::int32_t win_error_code_;
  std::int32_t com_error_code_;
};
