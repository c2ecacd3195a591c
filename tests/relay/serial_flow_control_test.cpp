// The flow control with a real serial line as a destination: a line that takes nothing pauses
// its source and is cut after the stall limit; one that drains resumes it; one whose device
// went away is forgotten.

#include "serial/com_port.h"
#include "tests/relay/flow_control_fixture.h"
#include "tests/serial/serial_test_support.h"

namespace {

using namespace flow_test;

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

// A line whose device went away: its writer is forgotten before it goes. The source that waited
// for it alone resumes, and nothing looks at the writer again.
TEST_F(SerialFlowControlTest, ForgottenLineResumesItsSourceAndIsNeverLookedAtAgain) {
  const ByteString chunk(std::string(8 * 1024, 's'));
  while (!flow_.IsPaused(source())) {
    writer_->Write(chunk);
    flow_.NoteSerialSend(source(), writer_.get());
  }
  ASSERT_GT(writer_->KeptBytes(), 0u);
  flow_.Forget(writer_.get());
  EXPECT_EQ(resumed_, std::vector<TServerWinSocket*>{source()});
  writer_.reset();
  flow_.Tick(Clock::now() + FlowControl::kStallLimit + 1s);
  EXPECT_TRUE(dropped_.empty());
  EXPECT_FALSE(flow_.HasWork());
}

}  // namespace
