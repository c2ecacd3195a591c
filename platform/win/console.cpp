// Message boxes on the interactive desktop. Where nobody can see a box, it would wait for ever
// for a click: a service in a window station of its own, or Wine drawing on its null display
// driver (a machine without a display). There the box becomes a line of text, "caption: text",
// written where the foreground run writes: the information box on standard output, every
// other box on standard error, as on Linux; and the program goes on at once.

#include "platform/console.h"

#include <cstdint>
#include <string>

#include "platform/win/code_page.h"
#include "platform/win/windows_api.h"

namespace platform {
namespace {

bool HasInteractiveDesktop() {
  HWINSTA station = ::GetProcessWindowStation();
  if (station == nullptr) return false;
  USEROBJECTFLAGS flags{};
  DWORD needed = 0;
  if (!::GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) return true;
  return (flags.dwFlags & WSF_VISIBLE) != 0;
}

// Wine keeps the display driver of a desktop in the registry key of the desktop's display
// device, whose GUID it attaches to the desktop window; "null" draws nowhere. Windows has no
// such property, so this answers false there.
bool WineDrawsNowhere() {
  const HANDLE atom = ::GetPropW(::GetDesktopWindow(), L"__wine_display_device_guid");
  if (atom == nullptr) return false;
  wchar_t guid[64] = {};
  if (::GlobalGetAtomNameW(static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(atom)), guid, 64) == 0) return false;
  const std::wstring key = L"System\\CurrentControlSet\\Control\\Video\\{" + std::wstring(guid) + L"}\\0000";
  HKEY device = nullptr;
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &device) != ERROR_SUCCESS) return false;
  wchar_t driver[64] = {};
  DWORD size = sizeof driver - sizeof(wchar_t);
  DWORD type = 0;
  const bool read = ::RegQueryValueExW(device, L"GraphicsDriver", nullptr, &type, reinterpret_cast<BYTE*>(driver),
                                       &size) == ERROR_SUCCESS;
  ::RegCloseKey(device);
  return read && type == REG_SZ && std::wstring(driver) == L"null";
}

bool SomeoneCanSeeABox() { return HasInteractiveDesktop() && !WineDrawsNowhere(); }

// One write per text, so that lines of different threads do not interleave. A console gets
// the text as characters; a file or pipe gets the system's own bytes.
void WriteLine(DWORD which, const std::string& text) {
  HANDLE out = ::GetStdHandle(which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (::GetConsoleMode(out, &mode)) {
    std::wstring wide = win_detail::WidenCp1251(text) + L"\r\n";
    DWORD written = 0;
    ::WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  std::string line = text + "\r\n";
  std::size_t done = 0;
  while (done < line.size()) {
    DWORD n = 0;
    if (!::WriteFile(out, line.data() + done, static_cast<DWORD>(line.size() - done), &n, nullptr) || n == 0) return;
    done += n;
  }
}

UINT IconStyle(BoxIcon icon) {
  switch (icon) {
    case BoxIcon::kInformation: return MB_ICONINFORMATION;
    case BoxIcon::kStop: return MB_ICONSTOP;
    case BoxIcon::kError: break;
  }
  return MB_ICONERROR;
}

}  // namespace

void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) {
  if (!SomeoneCanSeeABox()) {
    WriteLine(icon == BoxIcon::kInformation ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, caption + ": " + text);
    return;
  }
  // Without an owner window, task-modal is what makes the box modal to the program. The box's
  // own loop goes on dispatching the thread's messages while it is open.
  ::MessageBoxW(nullptr, win_detail::WidenCp1251(text).c_str(), win_detail::WidenCp1251(caption).c_str(),
                MB_OK | MB_TASKMODAL | IconStyle(icon));
}

void WriteConsoleLine(const std::string& text) { WriteLine(STD_ERROR_HANDLE, text); }

}  // namespace platform
