#include "platform/error_text.h"

#include "platform/win/code_page.h"
#include "platform/win/windows_api.h"

namespace platform {

// The text from the system's message table in the default language, inserts ignored. It is
// taken wide and narrowed to code page 1251, the code page of every other text of the system,
// which is what the ANSI call gives on a Windows whose ANSI code page is 1251.
std::string ErrorMessage(int code) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string result = n > 0 && text ? win_detail::NarrowToCp1251(std::wstring_view(text, n)) : std::string();
  if (text) ::LocalFree(text);
  return result;
}

}  // namespace platform
