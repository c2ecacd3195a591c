// The flow control's rules with real sockets and a real serial line, on a clock the test
// moves: pausing and resuming a source, holding caught-up destinations at most the hold
// limit, cutting laggards and stalled destinations, and what joining peers change.

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <memory>
#include <utility>
#include <vector>

#include "net/server_client_win_socket.h"
#include "net/server_socket.h"
#include "relay/flow_control.h"
#include "serial/com_port.h"
#include "serial/serial_writer.h"
#include "tests/net/net_test_support.h"
#include "tests/serial/serial_test_support.h"

using nettest::PumpUntil;
using namespace std::chrono_literals;

namespace {

using Clock = FlowControl::Clock;
using CutReason = FlowControl::CutReason;

// A destination listener whose peers read only when asked to, and a listener that plays the
// source. The test thread owns both and dispatches their notifications.
class FlowControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    destination_.SetActive(true);
    source_.SetActive(true);
  }

  TServerWinSocket* listening() { return destination_.ListeningSocket(); }
  TServerWinSocket* source() { return source_.ListeningSocket(); }

  // Connects one more peer to the destination listener; answers its connection.
  TServerClientWinSocket* Join() {
    peers_.push_back(std::make_unique<test::Client>(listening()->BoundPort()));
    const int count = static_cast<int>(peers_.size());
    EXPECT_TRUE(PumpUntil([&] { return listening()->ConnectionCount() == count; }));
    return listening()->ConnectionAt(count - 1);
  }
  test::Client& peer(int i) { return *peers_.at(static_cast<std::size_t>(i)); }

  // Hands bytes to `connection`, as the relay does, until it keeps more than `kept`.
  void KeepMoreThan(TServerClientWinSocket* connection, std::size_t kept) {
    const ByteString chunk(std::string(64 * 1024, 'k'));
    while (connection->KeptBytes() <= kept) {
      connection->SendOrKeep(chunk);
      flow_.NoteSend(source(), listening(), connection);
    }
  }

  // The peer reads until the connection's kept bytes are gone.
  void Drain(int i, TServerClientWinSocket* connection) {
    ASSERT_TRUE(PumpUntil([&] {
      peer(i).Receive(1 << 20, 10ms);
      return connection->KeptBytes() == 0;
    }));
  }

  FlowControl::Hooks Hooks() {
    FlowControl::Hooks hooks;
    hooks.resume = [this](TServerWinSocket* s) { resumed_.push_back(s); };
    hooks.destinations = [this](const TServerWinSocket*) {
      FlowControl::Destinations d;
      d.listeners.push_back(listening());
      d.ports = ports_;
      return d;
    };
    hooks.cutting = [this](TServerWinSocket*, TServerClientWinSocket* c, CutReason why) { cut_.emplace_back(c, why); };
    hooks.dropped = [this](SerialWriter* p, std::size_t n, CutReason why) { dropped_.push_back({p, n, why}); };
    return hooks;
  }

  struct Dropped {
    SerialWriter* port;
    std::size_t count;
    CutReason why;
  };

  TServerSocket destination_, source_;
  std::vector<std::unique_ptr<test::Client>> peers_;
  std::vector<SerialWriter*> ports_;
  std::vector<TServerWinSocket*> resumed_;
  std::vector<std::pair<TServerClientWinSocket*, CutReason>> cut_;
  std::vector<Dropped> dropped_;
  FlowControl flow_{Hooks()};
};

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

// A serial line whose far end does not read, with a writer, as a destination.
class SerialFlowControlTest : public FlowControlTest {
 protected:
  void SetUp() override {
    FlowControlTest::SetUp();
    ASSERT_TRUE(line_.ok());
    port_.SetEvents({});
    port_.SetPort(line_.slave());
    port_.SetConnected(true);
    writer_ = std::make_unique<SerialWriter>(port_, FlowControl::kSerialLowWater, nullptr);
    ports_.push_back(writer_.get());
  }
  void TearDown() override { writer_.reset(); }

  serial_test::PtyPair line_;
  TComPort port_;
  std::unique_ptr<SerialWriter> writer_;
};

TEST_F(SerialFlowControlTest, StuckLinePausesItsSourceAndIsCutAfterTheStallLimit) {
  const ByteString chunk(std::string(8 * 1024, 's'));
  std::size_t handed = 0;
  while (!flow_.IsPaused(source())) {
    writer_->Write(chunk);
    handed += chunk.size();
    flow_.NoteSerialSend(source(), writer_.get());
  }
  EXPECT_GT(writer_->KeptBytes(), FlowControl::kSerialHighWater);
  const auto now = Clock::now();
  flow_.Tick(now + FlowControl::kHoldLimit + 1s);
  EXPECT_TRUE(dropped_.empty()) << "a line alone is waited for";

  const std::size_t kept = writer_->KeptBytes();
  flow_.Tick(now + FlowControl::kStallLimit + 1s);
  ASSERT_EQ(dropped_.size(), 1u);
  EXPECT_EQ(dropped_[0].port, writer_.get());
  EXPECT_EQ(dropped_[0].count, kept);
  EXPECT_EQ(dropped_[0].why, CutReason::kStalled);
  EXPECT_EQ(writer_->KeptBytes(), 0u);
  EXPECT_EQ(resumed_, std::vector<TServerWinSocket*>{source()});
  EXPECT_FALSE(flow_.HasWork());

  // The line works again once its far end reads: what the line had taken comes, then the new
  // bytes; what was dropped does not come.
  writer_->Write(ByteString(std::string("after")));
  std::string got;
  ASSERT_TRUE(test::WaitUntil([&] {
    got += line_.Read(1 << 20, 10ms);
    return got.find("after") != std::string::npos;
  }));
  EXPECT_EQ(got.find_first_not_of('s'), got.size() - 5);
  EXPECT_LT(got.size() - 5, handed);
}

TEST_F(SerialFlowControlTest, LineThatDrainsResumesItsSource) {
  const ByteString chunk(std::string(8 * 1024, 's'));
  while (!flow_.IsPaused(source())) {
    writer_->Write(chunk);
    flow_.NoteSerialSend(source(), writer_.get());
  }
  ASSERT_TRUE(test::WaitUntil([&] {
    line_.Read(1 << 20, 10ms);
    return writer_->KeptBytes() <= FlowControl::kSerialLowWater;
  }));
  flow_.NoteSerialDrained(writer_.get());
  EXPECT_EQ(resumed_, std::vector<TServerWinSocket*>{source()});
  EXPECT_TRUE(dropped_.empty());
}

}  // namespace
