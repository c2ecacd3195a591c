// Message boxes on Linux are texts on the console: "caption: text", the information box on
// standard output, every other box on standard error.

#include "platform/console.h"

#include <unistd.h>

#include <cerrno>

#include "platform/linux/cp1251.h"

namespace platform {
namespace {

// One write per text, so that lines of different threads do not interleave.
void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

void ShowMessageBox(const std::string& caption, const std::string& text, BoxIcon icon) {
  std::string line = linux_side::Cp1251ToUtf8(caption + ": " + text) + "\n";
  WriteAll(icon == BoxIcon::kInformation ? STDOUT_FILENO : STDERR_FILENO, line);
}

void WriteConsoleLine(const std::string& text) {
  WriteAll(STDERR_FILENO, linux_side::Cp1251ToUtf8(text) + "\n");
}

}  // namespace platform
