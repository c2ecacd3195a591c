#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/test_support.h"

namespace test {

const int kErrorConnectionReset = ECONNRESET;
const int kErrorAddressInUse = EADDRINUSE;
const int kErrorNotASocket = EBADF;
const int kErrorFileHeld = EWOULDBLOCK;
const int kErrorNoSuchService = ENOENT;
const int kErrorInvalidArgument = EINVAL;
const int kErrorNoUnsentCount = 0;
const int kReuseAddressOn = 1;
const bool kOneReadNotificationAtATime = true;

bool RunningUnderWine() { return false; }

// The writer's exclusive lock, which the relay's reads and appends honour.
HeldByWriter::HeldByWriter(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  handle_ = fd;
  locked_ = fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

HeldByWriter::~HeldByWriter() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
}

}  // namespace test
