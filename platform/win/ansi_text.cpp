#include "platform/win/ansi_text.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace platform::win_text {
namespace {

constexpr UINT kCp1251 = 1251;

std::wstring Widen(UINT code_page, const std::string& text) {
  if (text.empty()) return std::wstring();
  int length = ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  ::MultiByteToWideChar(code_page, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string Narrow(UINT code_page, const std::wstring& text) {
  if (text.empty()) return std::string();
  int length = ::WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                     nullptr, nullptr);
  if (length <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(length), '\0');
  ::WideCharToMultiByte(code_page, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                        nullptr);
  return narrow;
}

}  // namespace

bool AnsiIsCp1251() { return ::GetACP() == kCp1251; }

std::wstring WideFromCp1251(const std::string& text) { return Widen(kCp1251, text); }

std::string Cp1251FromAnsi(const std::string& text) {
  if (AnsiIsCp1251()) return text;
  return Narrow(kCp1251, Widen(CP_ACP, text));
}

}  // namespace platform::win_text
