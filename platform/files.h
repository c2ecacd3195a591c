#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// True only for a regular file (a directory of that name is not one).
bool IsRegularFile(const std::string& path);

// True when anything stands at the path: a file, a directory, a device, a link (also one that
// leads nowhere).
bool PathExists(const std::string& path);

// Reads the whole file, opened for reading with other writers shut out while it is read.
// Returns 0, or the system error code of the failed open or read.
int ReadWholeFile(const std::string& path, std::string& contents);

// Reads at most `limit` bytes from the start of the file, opened as ReadWholeFile opens it;
// `complete` tells whether that was the whole file. Returns 0 or the system error code.
int ReadFileHead(const std::string& path, std::size_t limit, std::string& contents, bool& complete);

// What ReadSmallFile found.
enum class SmallFileRead {
  kRead,        // the whole file is in `contents`
  kFailed,      // the open or the read failed: `error` is the system's code
  kNotRegular,  // a directory, a device, a FIFO, ...: nothing was read from it
  kTooLarge,    // more than `limit` bytes
};

// Reads a regular file of at most `limit` bytes whole, opened as ReadWholeFile opens it (so a
// writer holding it makes the read fail), without blocking on whatever stands at the path.
// `contents` is empty unless the file was read.
SmallFileRead ReadSmallFile(const std::string& path, std::size_t limit, std::string& contents, int& error);

// Appends `bytes` to the file, creating it when missing. The file is opened for writing with
// other openers allowed to read only: when another writer holds it, the append fails. A
// symbolic link at the path is followed only when it belongs to the process's own user or to
// the superuser; the append fails at a link of anyone else. (On Windows, where making a link
// needs an administrator's right, links are followed as the system follows them.)
// Returns false on any failure; a failed write may leave part of the bytes written.
bool AppendToFile(const std::string& path, std::string_view bytes);

}  // namespace platform
