// Message boxes on the interactive desktop; where the process has none (a service in its own
// window station, where a box would wait unseen for ever), the box becomes a line of text:
// "caption: text", the information box on standard output, every other box on standard
// error, as on Linux. Console lines go through the queued writer, so a console that does not
// read (a pipe nobody reads) holds up nobody but the writer's own thread.

#include "platform/console.h"

#include <cstdlib>

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
  if (!HasInteractiveDesktop()) {
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
