// Operator output on Windows: characters on a console, the console's code page elsewhere.

#include "platform/operator_output.h"

#include "platform/win/code_page.h"
#include "platform/win/windows_api.h"

namespace platform {
namespace {

// Control characters would steer the console: each is shown escaped, as VisibleControls
// (text.h) shows it in UTF-8.
std::wstring WithoutControls(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) {
      const std::string utf8 = c < 0x80 ? std::string(1, static_cast<char>(c))
                                        : std::string{'\xC2', static_cast<char>(c)};
      for (char shown : VisibleControls(utf8, true)) out += static_cast<wchar_t>(shown);
    } else {
      out += c;
    }
  }
  return out;
}

void WriteWideLine(const std::wstring& text) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  std::wstring wide = WithoutControls(text) + L"\r\n";
  DWORD mode = 0;
  if (::GetConsoleMode(out, &mode)) {
    DWORD written = 0;
    ::WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  // A file or pipe: the code page a console of this program shows (its OEM code page when it
  // has no console).
  UINT code_page = ::GetConsoleOutputCP();
  if (code_page == 0) code_page = ::GetOEMCP();
  const int size = static_cast<int>(wide.size());
  const int n = ::WideCharToMultiByte(code_page, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return;
  std::string line(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(code_page, 0, wide.data(), size, line.data(), n, nullptr, nullptr);
  std::size_t done = 0;
  while (done < line.size()) {
    DWORD written = 0;
    if (!::WriteFile(out, line.data() + done, static_cast<DWORD>(line.size() - done), &written, nullptr) ||
        written == 0) {
      return;
    }
    done += written;
  }
}

}  // namespace

void WriteOutputLine(const std::string& text) { WriteWideLine(win_detail::WidenCp1251(text)); }

void WriteOutputLine(const Text& text) { WriteWideLine(win_detail::Widen(text)); }

std::string Utf8Of(const Text& text) {
  const std::wstring wide = win_detail::Widen(text);
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string utf8(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), n, nullptr, nullptr);
  return utf8;
}

std::string StartServiceCommand(const std::string& service_name) { return "net start " + service_name; }

std::vector<std::string> PlatformHelpLines(const std::string& service_name, const std::vector<std::string>& sources) {
  std::string list;
  for (const std::string& source : sources) list += (list.empty() ? "" : ", ") + source;
  return {
      "Service:      " + service_name + " in the service control manager (-install as an administrator)",
      "System log:   the Application event log, sources " + list,
  };
}

}  // namespace platform
