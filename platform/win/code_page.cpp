#include "platform/win/code_page.h"

#include "platform/win/windows_api.h"

namespace platform::win_detail {
namespace {

constexpr UINT kCodePage = 1251;

std::wstring WidenFrom(UINT code_page, std::string_view text) {
  if (text.empty()) return std::wstring();
  const int size = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(code_page, 0, text.data(), size, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(code_page, 0, text.data(), size, wide.data(), n);
  return wide;
}

}  // namespace

std::wstring WidenCp1251(std::string_view text) { return WidenFrom(kCodePage, text); }

std::wstring Widen(const Text& text) {
  std::wstring wide;
  for (const Text::Piece& piece : text.Pieces()) {
    switch (piece.origin) {
      case Text::Origin::kOwn: wide += WidenFrom(kCodePage, piece.bytes); break;
      case Text::Origin::kOutsideUtf8: wide += WidenFrom(CP_UTF8, piece.bytes); break;
      case Text::Origin::kOutside: wide += WidenFrom(CP_ACP, piece.bytes); break;
    }
  }
  return wide;
}

std::string NarrowToCp1251(std::wstring_view text) {
  if (text.empty()) return std::string();
  const int size = static_cast<int>(text.size());
  const int n = ::WideCharToMultiByte(kCodePage, 0, text.data(), size, nullptr, 0, "?", nullptr);
  if (n <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(kCodePage, 0, text.data(), size, narrow.data(), n, "?", nullptr);
  return narrow;
}

}  // namespace platform::win_detail
