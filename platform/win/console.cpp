// Message boxes on the interactive desktop. Where nobody can see a box, it would wait for ever
// for a click: a service in a window station of its own, or Wine drawing on its null display
// driver (a machine without a display). There the box becomes a line of text, "caption: text",
// written where the foreground run writes: the information box on standard output, every
// other box on standard error, as on Linux; and the program goes on at once. Console lines go
// through the queued writer, so a console that does not read (a pipe nobody reads) holds up
// nobody but the writer's own thread.

#include "platform/console.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/queued_writer.h"
#include "platform/win/code_page.h"
#include "platform/win/windows_api.h"

namespace platform {
namespace {

constexpr std::size_t kQueuedLines = 1024;
constexpr int kBoxWaitMs = 2000;
constexpr int kExitFlushMs = 300;  // two writers stalled at once still end within a second

using detail::WriteOutcome;

struct Line {
  DWORD which = STD_ERROR_HANDLE;
  Text text;
};

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

// One write per line, so that lines do not interleave. A console gets the text as
// characters; a file or pipe gets the bytes as they are (the system's own in code page 1251).
WriteOutcome WriteLine(Line& line, int /*wait_ms: a write to a pipe cannot be bounded here*/) {
  HANDLE out = ::GetStdHandle(line.which);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return WriteOutcome::kRefused;
  DWORD mode = 0;
  if (::GetConsoleMode(out, &mode)) {
    std::wstring wide = win_detail::Widen(line.text) + L"\r\n";
    DWORD written = 0;
    return ::WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr)
               ? WriteOutcome::kWritten
               : WriteOutcome::kRefused;
  }
  std::string bytes = line.text.Bytes() + "\r\n";
  std::size_t done = 0;
  while (done < bytes.size()) {
    DWORD n = 0;
    if (!::WriteFile(out, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n, nullptr) || n == 0) {
      return WriteOutcome::kRefused;
    }
    done += n;
  }
  return WriteOutcome::kWritten;
}

Line DroppedNote(std::uint64_t dropped, const Line&) {
  std::string note = "(";
  note += std::to_string(dropped);
  note += " console lines were dropped: nothing read them)";
  return Line{STD_ERROR_HANDLE, note};
}

detail::QueuedWriter<Line>& Writer() {
  static auto* const writer = [] {
    auto* made = new detail::QueuedWriter<Line>(kQueuedLines, {WriteLine, DroppedNote, nullptr, nullptr});
    std::atexit([] { Writer().Stop(kExitFlushMs); });
    return made;
  }();
  return *writer;
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

void ShowMessageBox(const Text& caption, const Text& text, BoxIcon icon) {
  if (!SomeoneCanSeeABox()) {
    Writer().Push(Line{icon == BoxIcon::kInformation ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE, caption + ": " + text});
    Writer().Flush(kBoxWaitMs);
    return;
  }
  // Without an owner window, task-modal is what makes the box modal to the program. The box's
  // own loop goes on dispatching the thread's messages while it is open.
  ::MessageBoxW(nullptr, win_detail::Widen(text).c_str(), win_detail::Widen(caption).c_str(),
                MB_OK | MB_TASKMODAL | IconStyle(icon));
}

void WriteConsoleLine(const Text& text) { Writer().Push(Line{STD_ERROR_HANDLE, text}); }

bool FlushConsole(int timeout_ms) { return Writer().Flush(timeout_ms); }

}  // namespace platform
