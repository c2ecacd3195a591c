#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {
namespace {

// Closes a descriptor when it goes out of scope; errno of the failed call survives the close.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ < 0) return;
    int saved = errno;
    ::close(fd_);
    errno = saved;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A lock that cannot be taken at once fails: there is no waiting for the other holder.
bool TryLock(int fd, int kind) {
  while (::flock(fd, kind | LOCK_NB) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

int ReadWholeFile(const std::string& path, std::string& contents) {
  bool complete = false;
  return ReadFileHead(path, contents.max_size(), contents, complete);
}

int ReadFileHead(const std::string& path, std::size_t limit, std::string& contents, bool& complete) {
  contents.clear();
  complete = false;
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return errno;
  // Readers share the lock; a writer holding it exclusively makes the read fail.
  if (!TryLock(file.get(), LOCK_SH)) return errno;
  char buffer[65536];
  while (true) {
    // One byte beyond the limit tells a file of exactly `limit` bytes from a longer one.
    const std::size_t room = contents.size() < limit ? limit - contents.size() : 0;
    const std::size_t want = room < sizeof buffer ? room + 1 : sizeof buffer;
    ssize_t n = ::read(file.get(), buffer, want);
    if (n < 0) {
      if (errno == EINTR) continue;
      int code = errno;
      contents.clear();
      return code;
    }
    if (n == 0) {
      complete = true;
      break;
    }
    if (static_cast<std::size_t>(n) > room) {
      contents.append(buffer, room);
      break;
    }
    contents.append(buffer, static_cast<std::size_t>(n));
  }
  return 0;
}

bool AppendToFile(const std::string& path, std::string_view bytes) {
  // O_NONBLOCK keeps a FIFO standing at the path from blocking the open; it does not change
  // writes to a regular file.
  const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK;
  bool created = false;
  int fd = ::open(path.c_str(), flags);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path.c_str(), flags | O_CREAT, 0644);
    created = true;
  }
  Descriptor file(fd);
  if (file.get() < 0) return false;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  // An existing file that nobody may write is read-only, even for the superuser, whom the
  // permission check would let through.
  if (!created && (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return false;
  // Only one writer at a time: a second one fails instead of waiting or interleaving.
  if (!TryLock(file.get(), LOCK_EX)) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(file.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace platform
