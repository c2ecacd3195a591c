#pragma once
// Message boxes and console output. Texts keep apart the system's own texts (code page 1251)
// and bytes from outside (text.h).
//
// Console lines go through a bounded queue to a writer thread of their own, so a console that
// does not read (standard error on a pipe nobody reads) never holds up the thread that writes:
// lines it cannot take are dropped and counted, and the count is written once it reads again.
// Any thread may call these.

#include "platform/text.h"

namespace platform {

enum class BoxIcon { kError, kInformation, kStop };

// Shows a modal box with one OK button and returns when it has been closed. Where the box is
// a line of text (no desktop), it returns once the line is written, or after a bounded wait.
void ShowMessageBox(const Text& caption, const Text& text, BoxIcon icon);

// Writes one line to the console's error output (where there is one), in the order of calls.
void WriteConsoleLine(const Text& text);

// Waits until the lines queued so far are written or dropped, at most `timeout_ms`; answers
// whether they are. At process exit the queue is flushed the same way, for a bounded time.
bool FlushConsole(int timeout_ms);

}  // namespace platform
