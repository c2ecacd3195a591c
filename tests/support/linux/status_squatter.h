#pragma once
// A process that holds the status endpoint's name of a directory in the service's place, as
// the user `uid` (the tests run as root, so the child may become anyone), and answers every
// client with `reply`. Linux; test thread. It ends when destroyed.

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <string>

#include "platform/status_endpoint.h"

namespace test {

class StatusSquatter {
 public:
  StatusSquatter(const std::string& directory, uid_t uid, const std::string& reply) {
    const std::string name = platform::detail::StatusEndpointName(directory);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    name.copy(address.sun_path + 1, name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {  // only async-signal-safe calls from here on
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (::setresuid(uid, uid, uid) != 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
          ::listen(fd, 8) != 0 || ::write(ready[1], "!", 1) != 1)
        ::_exit(1);
      for (int client; (client = ::accept(fd, nullptr, nullptr)) >= 0; ::close(client)) {
        for (ssize_t sent = 0, n = 0; sent < static_cast<ssize_t>(reply.size()); sent += n) {
          if ((n = ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL)) <= 0) break;
        }
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    char byte = 0;
    holding_ = ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
  }
  ~StatusSquatter() { Leave(); }
  StatusSquatter(const StatusSquatter&) = delete;
  StatusSquatter& operator=(const StatusSquatter&) = delete;

  bool holding() const { return holding_; }
  pid_t pid() const { return pid_; }
  void Leave() {
    if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool holding_ = false;
};

}  // namespace test
