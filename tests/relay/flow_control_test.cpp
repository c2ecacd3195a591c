// The flow control's rules with real sockets, on a clock the test moves: pausing and resuming
// a source, holding caught-up destinations at most the hold limit, cutting laggards and stalled
// destinations, and what joining peers change.

#include "tests/relay/flow_control_fixture.h"

namespace {

using namespace flow_test;

TEST_F(FlowControlTest, SourcePausesAboveHighWaterAndResumesOnceDrained) {
  TServerClientWinSocket* connection = Join();
  KeepMoreThan(connection, 0);
  EXPECT_FALSE(flow_.IsPaused(source())) << "a little kept does not pause";
  EXPECT_TRUE(flow_.HasWork()) << "kept bytes are watched";
  KeepMoreThan(connection, FlowControl::kHighWater);
  ASSERT_TRUE(flow_.IsPaused(source()));

  flow_.NoteDrained(listening());
  EXPECT_TRUE(resumed_.empty()) << "still above the low-water mark";

  Drain(0, connection);
  flow_.NoteDrained(listening());
  EXPECT_EQ(resumed_, std::vector<TServerWinSocket*>{source()});
  EXPECT_FALSE(flow_.IsPaused(source()));
  flow_.Tick(Clock::now());
  EXPECT_FALSE(flow_.HasWork());
}

TEST_F(FlowControlTest, TickResumesWhenNoWriteNotificationDid) {
  TServerClientWinSocket* connection = Join();
  KeepMoreThan(connection, FlowControl::kHighWater);
  ASSERT_TRUE(flow_.IsPaused(source()));
  connection->CloseSocketObject(connection->SocketHandle());  // a closed destination keeps nothing
  flow_.Tick(Clock::now());
  EXPECT_EQ(resumed_, std::vector<TServerWinSocket*>{source()});
  EXPECT_TRUE(cut_.empty());
}

TEST_F(FlowControlTest, LoneDestinationIsWaitedForUntilItStalls) {
  TServerClientWinSocket* connection = Join();
  KeepMoreThan(connection, FlowControl::kHighWater);
  const auto now = Clock::now();
  flow_.Tick(now + FlowControl::kHoldLimit + 1s);
  flow_.Tick(now + FlowControl::kStallLimit - 1s);
  EXPECT_TRUE(connection->Connected()) << "with no other destination the pause holds nobody hostage";
  EXPECT_TRUE(flow_.IsPaused(source()));

  flow_.Tick(now + FlowControl::kStallLimit + 1s);
  EXPECT_FALSE(connection->Connected());
  ASSERT_EQ(cut_.size(), 1u);
  EXPECT_EQ(cut_[0], std::make_pair(connection, CutReason::kStalled));
  EXPECT_EQ(resumed_, std::vector<TServerWinSocket*>{source()});
  EXPECT_TRUE(PumpUntil([&] { return listening()->ConnectionCount() == 0; }));
  EXPECT_TRUE(peer(0).ClosedByPeer());
}

TEST_F(FlowControlTest, DestinationThatReadsIsNeverTakenForStalled) {
  TServerClientWinSocket* connection = Join();
  KeepMoreThan(connection, 4u << 20);
  const auto start = Clock::now();
  // The peer reads a little between checks; however long the pause lasts, each check finds
  // that it took something since the one before.
  for (int second = 10; second <= 3 * FlowControl::kStallLimit.count(); second += 10) {
    const auto now = start + std::chrono::seconds(second);
    ASSERT_TRUE(test::WaitUntil([&] {
      peer(0).Receive(64 * 1024, 10ms);
      flow_.Tick(now);
      return connection->StalledSince() == now;
    })) << "no progress seen at " << second << " s, kept " << connection->KeptBytes();
    ASSERT_TRUE(connection->Connected());
  }
  EXPECT_TRUE(cut_.empty());
}

TEST_F(FlowControlTest, LaggardBesideACaughtUpDestinationIsCutAfterTheHold) {
  TServerClientWinSocket* healthy = Join();
  TServerClientWinSocket* laggard = Join();
  KeepMoreThan(laggard, FlowControl::kHighWater);
  ASSERT_TRUE(flow_.IsPaused(source()));

  const auto now = Clock::now();
  flow_.Tick(now);
  flow_.Tick(now + FlowControl::kHoldLimit - 100ms);
  EXPECT_TRUE(cut_.empty()) << "held less than the hold limit";
  EXPECT_TRUE(resumed_.empty());

  flow_.Tick(now + FlowControl::kHoldLimit + 100ms);
  ASSERT_EQ(cut_.size(), 1u);
  EXPECT_EQ(cut_[0], std::make_pair(laggard, CutReason::kFellBehind));
  EXPECT_FALSE(laggard->Connected());
  EXPECT_TRUE(healthy->Connected());
  EXPECT_EQ(resumed_, std::vector<TServerWinSocket*>{source()});
  EXPECT_FALSE(flow_.IsPaused(source()));
}

TEST_F(FlowControlTest, PeersJoiningDuringAPauseNeitherLengthenNorShortenIt) {
  TServerClientWinSocket* laggard = Join();
  KeepMoreThan(laggard, 1u << 20);
  ASSERT_TRUE(flow_.IsPaused(source()));
  const auto start = Clock::now();
  flow_.Tick(start);

  // A peer that joins now has taken all it was given (nothing), but it has not shown that it
  // keeps up: a laggard that still takes bytes is not cut for it.
  Join();
  flow_.Tick(start + 100ms);
  const auto progress = start + 1s;
  ASSERT_FALSE(peer(0).Receive(128 * 1024, 1s).empty());
  ASSERT_TRUE(test::WaitUntil([&] {
    flow_.Tick(progress);
    return laggard->StalledSince() == progress;
  }));
  flow_.Tick(start + FlowControl::kHoldLimit + 500ms);
  EXPECT_TRUE(laggard->Connected());
  EXPECT_TRUE(cut_.empty());

  // More peers join; the hold began when the first one was seen caught up, and it is over for
  // a laggard that stops taking bytes.
  Join();
  Join();
  flow_.Tick(progress + FlowControl::kHoldLimit + 100ms);
  ASSERT_EQ(cut_.size(), 1u);
  EXPECT_EQ(cut_[0], std::make_pair(laggard, CutReason::kFellBehind));
  EXPECT_EQ(resumed_, std::vector<TServerWinSocket*>{source()});
}

}  // namespace
