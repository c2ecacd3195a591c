#include "platform/files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

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

// A link at a log's path is followed only when it belongs to this process's user or to root,
// the rule the kernel applies to links in shared directories: a link that another user planted
// beside the executable must not make the service write where that user chooses. The link
// followed must be the one that was judged, so it is looked at again after the open.
int OpenThroughTrustedLink(const std::string& path, int flags) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return -1;
  if (link.st_uid != ::geteuid() && link.st_uid != 0) {
    errno = EACCES;
    return -1;
  }
  int fd = ::open(path.c_str(), flags | O_CREAT, 0644);  // a trusted link may point at a new file
  if (fd < 0) return -1;
  struct stat again {};
  if (::lstat(path.c_str(), &again) != 0 || again.st_ino != link.st_ino || again.st_dev != link.st_dev ||
      again.st_uid != link.st_uid) {
    ::close(fd);
    errno = EACCES;
    return -1;
  }
  return fd;
}

}  // namespace

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool PathExists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
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

SmallFileRead ReadSmallFile(const std::string& path, std::size_t limit, std::string& contents, int& error) {
  contents.clear();
  error = 0;
  // O_NONBLOCK: a FIFO with no writer neither blocks the open nor reads as an empty file, since
  // it is refused before any read.
  Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat info {};
  if (file.get() < 0 || ::fstat(file.get(), &info) != 0) {
    error = errno;
    return SmallFileRead::kFailed;
  }
  if (!S_ISREG(info.st_mode)) return SmallFileRead::kNotRegular;
  if (static_cast<std::uintmax_t>(info.st_size) > limit) return SmallFileRead::kTooLarge;
  if (!TryLock(file.get(), LOCK_SH)) {
    error = errno;
    return SmallFileRead::kFailed;
  }
  char buffer[65536];
  while (true) {
    ssize_t n = ::read(file.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      contents.clear();
      return SmallFileRead::kFailed;
    }
    if (n == 0) return SmallFileRead::kRead;
    // A file that grows while it is read is held to the same bound.
    if (static_cast<std::size_t>(n) > limit - contents.size()) {
      contents.clear();
      return SmallFileRead::kTooLarge;
    }
    contents.append(buffer, static_cast<std::size_t>(n));
  }
}

bool AppendToFile(const std::string& path, std::string_view bytes) {
  // O_NONBLOCK keeps a FIFO standing at the path from blocking the open; it does not change
  // writes to a regular file. O_NOFOLLOW: a link at the path is followed only when it is
  // trusted (below), a dangling one included, which would otherwise create its target.
  const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK;
  bool created = false;
  int fd = ::open(path.c_str(), flags | O_NOFOLLOW);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CREAT | O_EXCL, 0644);
    created = fd >= 0;
    // Another writer created it meanwhile, or a dangling link stands there.
    if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), flags | O_NOFOLLOW);
  }
  if (fd < 0 && errno == ELOOP) fd = OpenThroughTrustedLink(path, flags);
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
