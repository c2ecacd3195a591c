// Message boxes on the interactive desktop; where the process has none (a service in its own
// window station, where a box would wait unseen for ever), the box becomes a line of text:
// "caption: text", the information box on standard output, every other box on standard
// error, as on Linux.

#include "platform/console.h"

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
  if (!HasInteractiveDesktop()) {
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
