#include "platform/files.h"

#include "platform/win/windows_api.h"

namespace platform {
namespace {

// Closes a file handle when it goes out of scope; the error of a failed call survives.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (handle_ == INVALID_HANDLE_VALUE) return;
    const DWORD saved = ::GetLastError();
    ::CloseHandle(handle_);
    ::SetLastError(saved);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

}  // namespace

bool IsRegularFile(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

bool PathExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int ReadWholeFile(const std::string& path, std::string& contents) {
  bool complete = false;
  return ReadFileHead(path, contents.max_size(), contents, complete);
}

int ReadFileHead(const std::string& path, std::size_t limit, std::string& contents, bool& complete) {
  contents.clear();
  complete = false;
  // Other readers are admitted; a file another process holds open for writing fails to open
  // (sharing violation), and no one may open it for writing while it is read.
  FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return static_cast<int>(::GetLastError());
  char buffer[65536];
  while (true) {
    // One byte beyond the limit tells a file of exactly `limit` bytes from a longer one.
    const std::size_t room = contents.size() < limit ? limit - contents.size() : 0;
    const DWORD want = room < sizeof buffer ? static_cast<DWORD>(room + 1) : static_cast<DWORD>(sizeof buffer);
    DWORD n = 0;
    if (!::ReadFile(file.get(), buffer, want, &n, nullptr)) {
      const int code = static_cast<int>(::GetLastError());
      contents.clear();
      return code;
    }
    if (n == 0) {
      complete = true;
      break;
    }
    if (n > room) {
      contents.append(buffer, room);
      break;
    }
    contents.append(buffer, n);
  }
  return 0;
}

SmallFileRead ReadSmallFile(const std::string& path, std::size_t limit, std::string& contents, int& error) {
  contents.clear();
  error = 0;
  // As ReadFileHead opens it; a directory fails to open (access denied) and counts as failed.
  FileHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    error = static_cast<int>(::GetLastError());
    return SmallFileRead::kFailed;
  }
  // Only files on a disk: not a device, a pipe or a console standing at the name.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return SmallFileRead::kNotRegular;
  char buffer[65536];
  while (true) {
    DWORD n = 0;
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &n, nullptr)) {
      error = static_cast<int>(::GetLastError());
      contents.clear();
      return SmallFileRead::kFailed;
    }
    if (n == 0) return SmallFileRead::kRead;
    // The bound holds while reading: at most `limit` bytes and one buffer are ever held.
    if (n > limit - contents.size()) {
      contents.clear();
      return SmallFileRead::kTooLarge;
    }
    contents.append(buffer, n);
  }
}

bool AppendToFile(const std::string& path, std::string_view bytes) {
  // Created when missing; readers are admitted, a second writer is not: its open fails with a
  // sharing violation instead of waiting or interleaving. A read-only file refuses the open.
  FileHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  // Only files on a disk: not a device such as a serial port or NUL standing at the name.
  if (::GetFileType(file.get()) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER zero{};
  if (!::SetFilePointerEx(file.get(), zero, nullptr, FILE_END)) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    const DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD n = 0;
    if (!::WriteFile(file.get(), bytes.data() + done, chunk, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

}  // namespace platform
