// The status endpoint on Linux: an answer over the bound, and which client a queued
// notification belongs to.

#include <gtest/gtest.h>

#include "platform/messages.h"
#include "tests/support/linux/status_squatter.h"
#include "tests/support/test_support.h"

namespace {

TEST(StatusEndpointClient, AnAnswerLongerThanTheBoundIsNotTaken) {
  test::TempDir dir;
  const std::string directory = dir.path().string() + "/";
  test::StatusSquatter endpoint(directory, 0, "OK 16777217\n" + std::string(1 << 20, 'x'));
  ASSERT_TRUE(endpoint.holding());
  EXPECT_EQ(platform::AskStatusEndpoint(directory, "text", std::chrono::seconds(10)).result,
            platform::StatusAsk::kTooLong);
}

// A client dropped while its close waits in the queue, and the next one given its descriptor.
TEST(StatusEndpointService, AQueuedCloseOfADroppedClientLeavesTheNextOneAlone) {
  test::TempDir dir;
  const std::string directory = dir.path().string() + "/";
  platform::StatusEndpoint endpoint(directory, [](const std::string&) { return std::string("fine"); }, nullptr);
  ASSERT_EQ(endpoint.Error(), 0);
  const std::string name = platform::detail::StatusEndpointName(directory);
  sockaddr_un address{AF_UNIX, {}};
  name.copy(address.sun_path + 1, name.size());
  auto connect = [&] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), offsetof(sockaddr_un, sun_path) + 1 + name.size()), 0);
    return fd;
  };
  platform::Message message;
  auto pump = [&] {
    while (platform::PeekMessage(message)) platform::DispatchMessage(message);
  };
  auto next = [&] {
    EXPECT_TRUE(test::WaitUntil([&] { return platform::PeekMessage(message); }));
    return message;
  };
  const int first = connect();
  ASSERT_TRUE(test::WaitUntil([&] { return pump(), endpoint.Serving(); }));
  pump();
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
    pump();
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
