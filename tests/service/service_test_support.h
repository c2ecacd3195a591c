#pragma once
// Test helpers of the service host: a test-bound Unix datagram socket (the listening end of
// the notify and syslog protocols), status datagrams, and the real executable run as a child
// process in a temporary directory.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/linux/notify_fields.h"
#include "tests/support/test_support.h"

extern char** environ;

namespace test {

// A Unix datagram socket bound at a path; what the process under test sends arrives here.
class DatagramListener {
 public:
  explicit DatagramListener(std::string path) : path_(std::move(path)) {
    // A path starting with "@" names a socket in the abstract namespace.
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    socklen_t length = sizeof address;
    if (path_[0] == '@') {
      address.sun_path[0] = '\0';
      length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_.size());
    } else {
      ::unlink(path_.c_str());
    }
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
  }
  ~DatagramListener() { Close(); }
  DatagramListener(const DatagramListener&) = delete;
  DatagramListener& operator=(const DatagramListener&) = delete;

  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // The next datagram, whole whatever its length, or nothing when none came within the timeout.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout = kDeadline) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    const ssize_t length = ::recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC);
    if (length < 0) return std::nullopt;
    std::string buffer(static_cast<std::size_t>(length), '\0');
    ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(n));
    return buffer;
  }

  // Closes the socket but leaves its file: senders are then refused.
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

// A copy of the built executable in a directory of its own.
inline std::string CopyExecutable(const std::filesystem::path& directory) {
  std::filesystem::create_directories(directory);
  auto target = directory / "tcp_port_serv";
  std::filesystem::copy_file(KORVENET_EXE, target, std::filesystem::copy_options::overwrite_existing);
  return target.string();
}

// The executable run as a child process: its output goes to files in `directory` (beside the
// executable when empty), which is also its working directory, or its standard error to
// `stderr_fd` when one is given; the environment is the test's own with the given changes (an
// empty value removes a variable).
class ChildProcess {
 public:
  ChildProcess(const std::string& exe, const std::vector<std::string>& arguments,
               const std::map<std::string, std::string>& environment, const std::string& directory = "",
               int stderr_fd = -1) {
    std::string dir = directory.empty() ? std::filesystem::path(exe).parent_path().string() : directory;
    out_path_ = dir + "/child.out";
    err_path_ = dir + "/child.err";
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      std::string key = entry.substr(0, entry.find('='));
      if (!environment.count(key)) env_strings.push_back(entry);
    }
    for (auto& [key, value] : environment) {
      if (!value.empty()) env_strings.push_back(key + "=" + value);
    }
    std::vector<std::string> arg_strings{exe};
    arg_strings.insert(arg_strings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv, envp;
    for (auto& a : arg_strings) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env_strings) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (stderr_fd >= 0) {
      posix_spawn_file_actions_adddup2(&files, stderr_fd, 2);
    } else {
      posix_spawn_file_actions_addopen(&files, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addchdir_np(&files, dir.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    if (posix_spawnp(&pid_, exe.c_str(), &files, &attributes, argv.data(), envp.data()) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
  }
  ~ChildProcess() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status_, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int pid() const { return pid_; }
  void Signal(int number) { ::kill(pid_, number); }

  // Waits for the end of the process; false when it is still running at the deadline.
  bool Wait(std::chrono::milliseconds timeout = kDeadline) {
    if (pid_ <= 0) return false;
    return WaitUntil(
        [&] {
          if (!exited_ && ::waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
          return exited_;
        },
        timeout);
  }
  bool ExitedNormally() const { return exited_ && WIFEXITED(status_); }
  int ExitCode() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  std::string Stdout() const { return ReadFile(out_path_); }
  std::string Stderr() const { return ReadFile(err_path_); }

 private:
  pid_t pid_ = -1;
  int status_ = 0;
  bool exited_ = false;
  std::string out_path_, err_path_;
};

}  // namespace test

#include <gtest/gtest.h>

namespace test {

// "Mmm dd hh:mm:ss " with the day padded by a blank, as syslog() writes it.
inline bool StampLooksRight(const std::string& stamp) {
  static const std::string kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  auto digit = [&](std::size_t i) { return i < stamp.size() && stamp[i] >= '0' && stamp[i] <= '9'; };
  return stamp.size() == 16 && kMonths.find(stamp.substr(0, 3)) != std::string::npos &&
         kMonths.find(stamp.substr(0, 3)) % 3 == 0 && stamp[3] == ' ' &&
         (stamp[4] == ' ' || (stamp[4] >= '1' && stamp[4] <= '3')) && digit(5) && stamp[6] == ' ' &&
         digit(7) && digit(8) && stamp[9] == ':' && digit(10) && digit(11) && stamp[12] == ':' && digit(13) &&
         digit(14) && stamp[15] == ' ';
}

// A syslog datagram as the C library's syslog() sends it: "<PRI>Mmm dd hh:mm:ss source[pid]: text".
inline void ExpectSyslogEntry(const std::optional<std::string>& datagram, int pri, const std::string& source,
                              int pid, const std::string& text) {
  ASSERT_TRUE(datagram.has_value()) << "no entry for: " << text;
  std::ostringstream head_text, rest_text;
  head_text << '<' << pri << '>';
  rest_text << source << '[' << pid << "]: " << text;
  const std::string head = head_text.str();
  ASSERT_EQ(datagram->substr(0, head.size()), head) << *datagram;
  const std::string stamp = datagram->substr(head.size(), 16);
  EXPECT_TRUE(StampLooksRight(stamp)) << stamp;
  EXPECT_EQ(datagram->substr(head.size() + 16), rest_text.str());
}

// The relay's start entry: information from the module's source, "Cтарт сервиса "Sarvelo""
// (the first letter Latin) in UTF-8.
inline void ExpectStartEntry(const std::optional<std::string>& datagram, int pid) {
  ExpectSyslogEntry(datagram, 30, "Rodivo_vedodaraz", pid,
                    "C\xD1\x82\xD0\xB0\xD1\x80\xD1\x82 \xD1\x81\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB8\xD1\x81\xD0\xB0 "
                    "\"Sarvelo\"");
}

// Sends standard error to a file while it lives.
class CapturedStderr {
 public:
  explicit CapturedStderr(std::string path) : path_(std::move(path)) {
    saved_ = ::dup(2);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~CapturedStderr() { Restore(); }
  std::string Text() {
    Restore();
    return test::ReadFile(path_);
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }
  std::string path_;
  int saved_ = -1;
};

}  // namespace test
