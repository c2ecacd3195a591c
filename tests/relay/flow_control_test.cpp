// Keeping a slow destination from losing bytes: pausing the sources that feed it, resuming
// them once it drained, and closing it when it stalls.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "net/server_socket.h"
#include "relay/flow_control.h"
#include "tests/net/net_test_support.h"

using nettest::Pump;
using nettest::PumpUntil;

namespace {

// A destination listener with one connection whose peer does not read until asked to, and a
// second listener that plays the source.
class FlowControl : public ::testing::Test {
 protected:
  void SetUp() override {
    flow_control::Reset();
    destination_ = std::make_unique<TServerSocket>();
    destination_->SetActive(true);
    source_ = std::make_unique<TServerSocket>();
    source_->SetActive(true);
    ASSERT_TRUE(peer_.Connect(destination_->ListeningSocket()->BoundPort()));
    ASSERT_TRUE(PumpUntil([&] { return listening()->ConnectionCount() == 1; }));
    connection_ = listening()->ConnectionAt(0);
  }
  void TearDown() override { flow_control::Reset(); }

  TServerWinSocket* listening() { return destination_->ListeningSocket(); }
  TServerWinSocket* source() { return source_->ListeningSocket(); }

  // Hands bytes to the connection until it keeps more than `kept`.
  void KeepMoreThan(std::size_t kept) {
    const ByteString chunk(std::string(64 * 1024, 'k'));
    while (connection_->KeptBytes() <= kept) {
      connection_->SendOrKeep(chunk);
      flow_control::NoteSend(source(), listening(), connection_);
    }
  }

  std::unique_ptr<TServerSocket> destination_, source_;
  TServerClientWinSocket* connection_ = nullptr;
  test::Client peer_;
};

TEST_F(FlowControl, SourcePausesAboveHighWaterAndResumesOnceDrained) {
  KeepMoreThan(0);
  EXPECT_FALSE(flow_control::IsPaused(source())) << "a little kept does not pause";
  KeepMoreThan(flow_control::kHighWater);
  ASSERT_TRUE(flow_control::IsPaused(source()));

  std::vector<TServerWinSocket*> resumed;
  auto resume = [&](TServerWinSocket* s) { resumed.push_back(s); };
  flow_control::NoteDrained(listening(), resume);
  EXPECT_TRUE(resumed.empty()) << "still above the low-water mark";

  // The peer reads; the write notifications send what was kept.
  ASSERT_TRUE(PumpUntil([&] {
    peer_.Receive(1 << 20, std::chrono::milliseconds(10));
    return connection_->KeptBytes() == 0;
  }));
  flow_control::NoteDrained(listening(), resume);
  EXPECT_EQ(resumed, std::vector<TServerWinSocket*>{source()});
  EXPECT_FALSE(flow_control::IsPaused(source()));
}

TEST_F(FlowControl, TickResumesWhenNoWriteNotificationDid) {
  KeepMoreThan(flow_control::kHighWater);
  ASSERT_TRUE(flow_control::IsPaused(source()));
  connection_->CloseSocketObject(connection_->SocketHandle());  // a closed destination keeps nothing
  std::vector<TServerWinSocket*> resumed;
  flow_control::Tick(std::chrono::steady_clock::now(), [&](TServerWinSocket* s) { resumed.push_back(s); });
  EXPECT_EQ(resumed, std::vector<TServerWinSocket*>{source()});
}

TEST_F(FlowControl, StalledDestinationIsClosedAndReleased) {
  KeepMoreThan(0);
  auto nothing = [](TServerWinSocket*) {};
  const auto now = std::chrono::steady_clock::now();
  flow_control::Tick(now, nothing);
  EXPECT_TRUE(connection_->Connected()) << "not stalled yet";
  flow_control::Tick(now + flow_control::kStallLimit + std::chrono::seconds(1), nothing);
  EXPECT_FALSE(connection_->Connected());
  EXPECT_TRUE(PumpUntil([&] { return listening()->ConnectionCount() == 0; }));
  EXPECT_TRUE(peer_.ClosedByPeer());
}

}  // namespace
