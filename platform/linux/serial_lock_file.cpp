#include "platform/linux/serial_lock_file.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace platform::linux_serial {
namespace {

constexpr char kLockDirectory[] = "/run/lock/";

std::atomic<unsigned> next_temporary{0};

// The process id a lock file names; 0 when it names none (empty, garbled, unreadable).
pid_t OwnerOf(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return 0;
  char text[32] = {};
  ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return 0;
  char* end = nullptr;
  long pid = std::strtol(text, &end, 10);  // leading blanks are allowed
  return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

bool Runs(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// Writes our id into a file of its own, then links it to the lock's name: the lock appears
// whole or not at all, so nobody ever reads a lock that is still being written.
// 0, EEXIST when the lock exists, another code when no lock file can be made here.
int Create(const std::string& lock) {
  const std::string temporary = std::string(kLockDirectory) + ".korvenet." + std::to_string(::getpid()) + "." +
                                std::to_string(next_temporary.fetch_add(1));
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return errno;
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(::getpid()));
  const bool written = ::write(fd, text, static_cast<std::size_t>(length)) == length;
  ::close(fd);
  int result = written ? 0 : EIO;
  if (written && ::link(temporary.c_str(), lock.c_str()) != 0) result = errno;
  ::unlink(temporary.c_str());
  return result;
}

}  // namespace

std::string SerialLockFile::PathFor(const std::string& device_path) {
  char resolved[PATH_MAX];
  std::string path = ::realpath(device_path.c_str(), resolved) ? std::string(resolved) : device_path;
  if (path.rfind("/dev/", 0) == 0) path.erase(0, 5);
  while (!path.empty() && path[0] == '/') path.erase(0, 1);
  for (char& c : path) {
    if (c == '/') c = '_';
  }
  return std::string(kLockDirectory) + "LCK.." + path;
}

int SerialLockFile::Take(const std::string& device_path) {
  Release();
  const std::string lock = PathFor(device_path);
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int result = Create(lock);
    if (result == 0) {
      held_ = lock;
      return 0;
    }
    if (result != EEXIST) return 0;  // no lock files here: the device's exclusive open guards
    // Held by a running process (this one included: another port object) means busy.
    if (Runs(OwnerOf(lock))) return EBUSY;
    ::unlink(lock.c_str());  // stale: its owner is gone
  }
  return EBUSY;
}

void SerialLockFile::Release() {
  if (held_.empty()) return;
  // Only a lock that still names this process is ours to remove.
  if (OwnerOf(held_) == ::getpid()) ::unlink(held_.c_str());
  held_.clear();
}

}  // namespace platform::linux_serial
