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
class FlowControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    destination_ = std::make_unique<TServerSocket>();
    destination_->SetActive(true);
    source_ = std::make_unique<TServerSocket>();
    source_->SetActive(true);
    ASSERT_TRUE(peer_.Connect(destination_->ListeningSocket()->BoundPort()));
    ASSERT_TRUE(PumpUntil([&] { return listening()->ConnectionCount() == 1; }));
    connection_ = listening()->ConnectionAt(0);
  }

  TServerWinSocket* listening() { return destination_->ListeningSocket(); }
  TServerWinSocket* source() { return source_->ListeningSocket(); }

  // Hands bytes to the connection until it keeps more than `kept`.
  void KeepMoreThan(std::size_t kept) {
    const ByteString chunk(std::string(64 * 1024, 'k'));
    while (connection_->KeptBytes() <= kept) {
      connection_->SendOrKeep(chunk);
      flow_.NoteSend(source(), listening(), connection_);
    }
  }

  std::unique_ptr<TServerSocket> destination_, source_;
  std::vector<TServerWinSocket*> resumed_;
  FlowControl flow_{[this](TServerWinSocket* s) { resumed_.push_back(s); }};
  TServerClientWinSocket* connection_ = nullptr;
  test::Client peer_;
};

TEST_F(FlowControlTest, SourcePausesAboveHighWaterAndResumesOnceDrained) {
  KeepMoreThan(0);
  EXPECT_FALSE(flow_.IsPaused(source())) << "a little kept does not pause";
  KeepMoreThan(FlowControl::kHighWater);
  ASSERT_TRUE(flow_.IsPaused(source()));

  flow_.NoteDrained(listening());
  EXPECT_TRUE(resumed_.empty()) << "still above the low-water mark";

  // The peer reads; the write notifications send what was kept.
  ASSERT_TRUE(PumpUntil([&] {
    peer_.Receive(1 << 20, std::chrono::milliseconds(10));
    return connection_->KeptBytes() == 0;
  }));
  flow_.NoteDrained(listening());
  EXPECT_EQ(resumed_, std::vector<TServerWinSocket*>{source()});
  EXPECT_FALSE(flow_.IsPaused(source()));
}

TEST_F(FlowControlTest, TickResumesWhenNoWriteNotificationDid) {
  KeepMoreThan(FlowControl::kHighWater);
  ASSERT_TRUE(flow_.IsPaused(source()));
  connection_->CloseSocketObject(connection_->SocketHandle());  // a closed destination keeps nothing
  flow_.Tick(std::chrono::steady_clock::now());
  EXPECT_EQ(resumed_, std::vector<TServerWinSocket*>{source()});
}

TEST_F(FlowControlTest, StalledDestinationIsClosedAndReleased) {
  KeepMoreThan(0);
  const auto now = std::chrono::steady_clock::now();
  flow_.Tick(now);
  EXPECT_TRUE(connection_->Connected()) << "not stalled yet";
  flow_.Tick(now + FlowControl::kStallLimit + std::chrono::seconds(1));
  EXPECT_FALSE(connection_->Connected());
  EXPECT_TRUE(PumpUntil([&] { return listening()->ConnectionCount() == 0; }));
  EXPECT_TRUE(peer_.ClosedByPeer());
}

}  // namespace
