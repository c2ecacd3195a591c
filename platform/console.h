#pragma once
// Message boxes and console output. Texts are the system's own bytes (code page 1251).

#include <string>

namespace platform {

enum class BoxIcon { kError, kInformation, kStop };

// Shows a modal box with one OK button and returns when it has been closed.
void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon);

// Writes one line to the console's error output (where there is one).
void WriteConsoleLine(const std::string& text);

}  // namespace platform
