// The status endpoint on Linux: whom the client believes, how it takes a busy or oversized
// answer, and which client a queued notification belongs to.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/messages.h"
#include "platform/status_endpoint.h"
#include "tests/support/test_support.h"

namespace {

using platform::StatusAsk;

sockaddr_un Address(const std::string& directory, socklen_t& length) {
  const std::string name = platform::detail::StatusEndpointName(directory);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  name.copy(address.sun_path + 1, name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  return address;
}

// An endpoint held by a child process of user `uid`: it answers its n-th client with
// `replies[n]` (an empty one closes at once), then ends.
struct FakeEndpoint {
  FakeEndpoint(const std::string& directory, uid_t uid, const std::vector<std::string>& replies) {
    socklen_t length = 0;
    const sockaddr_un address = Address(directory, length);
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    pid = ::fork();
    if (pid == 0) {
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (::setresuid(uid, uid, uid) != 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
          ::listen(fd, 8) != 0 || ::write(ready[1], "!", 1) != 1)
        ::_exit(1);
      for (const std::string& reply : replies) {
        const int client = ::accept(fd, nullptr, nullptr);
        for (std::size_t sent = 0; sent < reply.size();) {
          const ssize_t n = ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += static_cast<std::size_t>(n);
        }
        ::close(client);
      }
      ::_exit(0);
    }
    char byte = 0;
    EXPECT_EQ(::read(ready[0], &byte, 1), 1) << "the endpoint did not open";
    ::close(ready[0]);
    ::close(ready[1]);
  }
  ~FakeEndpoint() {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  pid_t pid;
};

TEST(StatusEndpointClient, BelievesOnlyItsOwnUserOrRootRetriesWhenTurnedAwayAndBoundsTheAnswer) {
  const struct {
    uid_t uid;
    std::vector<std::string> replies;
    StatusAsk result;
    std::string answer;
  } cases[] = {
      {65534, {"OK 8\nall fine"}, StatusAsk::kForeign, ""},
      {0, {"", "BUSY\n", "OK 8\nall fine"}, StatusAsk::kAnswered, "all fine"},
      {0, {"OK 16777217\n" + std::string(1 << 20, 'x')}, StatusAsk::kTooLong, ""},
      {0, {"OK 16777216\n" + std::string(16 << 20, 'x')}, StatusAsk::kAnswered, std::string(16 << 20, 'x')},
  };
  test::TempDir dir;
  for (const auto& c : cases) {
    const std::string directory = dir.file(std::to_string(&c - cases)) + "/";
    FakeEndpoint endpoint(directory, c.uid, c.replies);
    const platform::StatusReply reply = platform::AskStatusEndpoint(directory, "text", std::chrono::seconds(10));
    EXPECT_EQ(reply.result, c.result) << "case " << &c - cases;
    EXPECT_TRUE(reply.answer == c.answer) << "case " << &c - cases << ": " << reply.answer.substr(0, 80);
  }
}

// A client dropped while its close waits in the queue, and the next one given its descriptor.
TEST(StatusEndpointService, AQueuedCloseOfADroppedClientLeavesTheNextOneAlone) {
  test::TempDir dir;
  const std::string directory = dir.path().string() + "/";
  platform::StatusEndpoint endpoint(directory, [](const std::string&) { return std::string("fine"); }, nullptr);
  ASSERT_EQ(endpoint.Error(), 0);
  socklen_t length = 0;
  const sockaddr_un address = Address(directory, length);
  auto connect = [&] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&address), length), 0);
    return fd;
  };
  platform::Message message;
  auto next = [&] {
    EXPECT_TRUE(test::WaitUntil([&] { return platform::PeekMessage(message); }));
    return message;
  };
  const int first = connect();
  ASSERT_TRUE(test::WaitUntil([&] {
    while (platform::PeekMessage(message)) platform::DispatchMessage(message);
    return endpoint.Serving();
  }));
  while (platform::PeekMessage(message)) platform::DispatchMessage(message);
  const int second = connect();
  const platform::Message accept = next();
  ::shutdown(first, SHUT_WR);
  const platform::Message close = next();
  endpoint.Tick(platform::StatusEndpoint::Clock::now() + std::chrono::minutes(1));  // drops the first
  platform::DispatchMessage(accept);
  platform::DispatchMessage(close);
  EXPECT_EQ(::send(second, "text\n", 5, MSG_NOSIGNAL), 5);
  std::string received;
  EXPECT_TRUE(test::WaitUntil([&] {
    while (platform::PeekMessage(message)) platform::DispatchMessage(message);
    char buffer[64];
    const ssize_t n = ::recv(second, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) received.append(buffer, static_cast<std::size_t>(n));
    return n == 0 || (n < 0 && errno != EAGAIN);
  }));
  EXPECT_EQ(received, "OK 4\nfine");
  ::close(first);
  ::close(second);
}

}  // namespace
