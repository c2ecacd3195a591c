#include <winsock2.h>
#include <windows.h>

#include "tests/support/test_support.h"

namespace test {

const int kErrorConnectionReset = WSAECONNRESET;
const int kErrorAddressInUse = WSAEADDRINUSE;
const int kErrorNotASocket = WSAENOTSOCK;
const int kErrorFileHeld = ERROR_SHARING_VIOLATION;
const int kErrorNoSuchService = WSANO_DATA;
const int kErrorInvalidArgument = WSAEINVAL;
const int kErrorNoUnsentCount = WSAEOPNOTSUPP;
const int kReuseAddressOn = 0;
const bool kOneReadNotificationAtATime = false;

bool RunningUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Open for writing, shared with readers only: a reader that shuts out writers cannot open it.
HeldByWriter::HeldByWriter(const std::string& path) {
  const HANDLE file = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  locked_ = file != INVALID_HANDLE_VALUE;
  handle_ = locked_ ? reinterpret_cast<std::intptr_t>(file) : -1;
}

HeldByWriter::~HeldByWriter() {
  if (locked_) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

}  // namespace test
