// The writer of a port on pseudo-terminals: order, lines that cannot take bytes, pieces that
// time out, dropping, stopping, and the drained report.
#include "serial/serial_writer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "serial/com_port.h"
#include "tests/serial/serial_test_support.h"

namespace {

using namespace std::chrono_literals;
using serial_test::PtyPair;

class SerialWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(line.ok());
    port.SetEvents({});
    port.SetPort(line.slave());
    port.SetConnected(true);
  }

  // Hands bytes over until the line has stopped taking them: the writer then waits in a write.
  std::size_t FillLine() {
    std::size_t handed = 0;
    const ByteString chunk(std::string(SerialWriter::kPieceBytes, 'f'));
    for (int i = 0; i < 16; ++i) {
      writer.Write(chunk);
      handed += chunk.size();
    }
    // A pseudo-terminal takes a few KiB; what it does not take stays kept, and the line has
    // taken nothing for a while.
    EXPECT_TRUE(test::WaitUntil([&] { return writer.IsStalled(test::Clock::now(), 200ms); }));
    EXPECT_LT(writer.KeptBytes(), handed);
    return handed;
  }

  // Reads the line until `marker` came; answers everything read.
  std::string ReadUntil(const std::string& marker) {
    std::string got;
    test::WaitUntil([&] {
      got += line.Read(1 << 20, 10ms);
      return got.find(marker) != std::string::npos;
    });
    return got;
  }

  PtyPair line;
  TComPort port;
  std::atomic<int> drained{0};
  std::atomic<int> failures{0};  // writes the writer reported failed
  SerialWriter writer{port, 1024, [this] { ++drained; }, [this](const EComPort&) { ++failures; }};
};

// Every byte handed over reaches the line or is counted as dropped: also when a drop ends a write
// of which the line took a part, and when a line that went away fails a write.
TEST_F(SerialWriterTest, BytesTakenAndBytesDroppedAddUpToWhatWasHandedOver) {
  const std::size_t handed = FillLine();
  writer.DropKept();
  writer.Write(ByteString(std::string("!end")));
  EXPECT_EQ(ReadUntil("!end").size() - 4 + writer.Dropped(), handed);
  const std::uint64_t before = writer.Dropped();
  line.CloseMaster();
  writer.Write(ByteString(std::string(100, 'x')));
  EXPECT_TRUE(test::WaitUntil([&] { return failures > 0; }));
  EXPECT_EQ(writer.Dropped(), before + 100);
}

TEST_F(SerialWriterTest, BytesReachTheLineInOrder) {
  std::string expected;
  for (int round = 0; round < 200; ++round) {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>((i + round) & 0xff));
    writer.Write(ByteString(bytes));
    expected += bytes;
  }
  EXPECT_EQ(line.Read(expected.size()), expected);
  EXPECT_TRUE(test::WaitUntil([&] { return writer.KeptBytes() == 0; }));
  EXPECT_FALSE(writer.IsStalled(test::Clock::now() + 1h, 1s)) << "nothing kept, nothing stalled";
}

TEST_F(SerialWriterTest, LineThatTakesNothingKeepsTheBytesAndReportsTheStall) {
  const std::size_t handed = FillLine();
  EXPECT_FALSE(writer.IsStalled(test::Clock::now(), 1h));
  EXPECT_TRUE(writer.IsStalled(test::Clock::now() + 1h, 1s));

  // Once the far end reads, everything arrives, in order, and the writer reports it drained.
  const int reports = drained;
  std::string got = line.Read(handed);
  EXPECT_EQ(got, std::string(handed, 'f'));
  EXPECT_TRUE(test::WaitUntil([&] { return writer.KeptBytes() == 0 && drained == reports + 1; }));
}

TEST_F(SerialWriterTest, PieceThatTimesOutKeepsWhatItDidNotWriteFirstInLine) {
  port.Timeouts().SetWriteTotalMultiplier(0);
  port.Timeouts().SetWriteTotalConstant(50);
  std::string expected;
  for (int i = 0; i < 32; ++i) {
    std::string piece(SerialWriter::kPieceBytes - 100, static_cast<char>('a' + i % 26));
    writer.Write(ByteString(piece));
    expected += piece;
  }
  // Several writes time out with the line full (each after 50 ms); nothing may be lost or
  // repeated.
  ASSERT_TRUE(test::WaitUntil([&] { return writer.IsStalled(test::Clock::now(), 300ms); }));
  EXPECT_EQ(line.Read(expected.size()), expected);
}

TEST_F(SerialWriterTest, DroppingEndsTheWaitingWriteAtOnce) {
  const std::size_t handed = FillLine();
  const std::size_t kept = writer.KeptBytes();
  // The write in progress has a time-out of minutes (1000 + 100 ms a byte): only the drop can
  // end it within the deadline.
  EXPECT_EQ(writer.DropKept(), kept);
  EXPECT_EQ(writer.KeptBytes(), 0u);
  writer.Write(ByteString(std::string("#after#")));
  std::string got = ReadUntil("#after#");
  ASSERT_NE(got.find("#after#"), std::string::npos);
  EXPECT_EQ(got.find_first_not_of('f'), got.size() - 7);
  EXPECT_LE(got.size() - 7, handed - kept + SerialWriter::kPieceBytes) << "dropped bytes came after all";
  EXPECT_EQ(failures, 0) << "a write the drop ended is no failure of the line";
}

TEST_F(SerialWriterTest, StopEndsTheWaitingWriteAtOnceAndIgnoresLaterWrites) {
  FillLine();
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    writer.Stop();
    stopped = true;
  });
  EXPECT_TRUE(test::WaitUntil([&] { return stopped.load(); }));
  stopper.join();
  writer.Write(ByteString(std::string("late")));
  EXPECT_EQ(writer.KeptBytes(), 0u);
  EXPECT_EQ(failures, 0) << "a write the stop ended is no failure of the line";
}

// A drop or a stop that comes after the writer has taken its piece and let go of its lock, but
// before the piece reached the port, still ends that write: the stop does not wait for a line
// that takes nothing, and the dropped piece never reaches the line.
TEST_F(SerialWriterTest, DropOrStopJustBeforeTheWriteBeginsEndsIt) {
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stop" : "drop");
    SerialWriter late{port, 1024, nullptr, [this](const EComPort&) { ++failures; }};
    std::atomic<bool> in_window{false}, release{false}, stopped{false};
    late.SetBeforeWriteHook([&] {
      if (!in_window.exchange(true)) test::WaitUntil([&] { return release.load(); });
    });
    // The line fills up until it has taken nothing for 200 ms; then a write would wait minutes.
    port.Timeouts().SetWriteTotalConstant(200);
    port.Timeouts().SetWriteTotalMultiplier(0);
    while (port.PortWrite(ByteString(std::string(SerialWriter::kPieceBytes, 'f'))) > 0) {
    }
    port.Timeouts().SetWriteTotalMultiplier(100);
    late.Write(ByteString(std::string(SerialWriter::kPieceBytes, 'd')));
    ASSERT_TRUE(test::WaitUntil([&] { return in_window.load(); }));
    std::thread stopper([&] {
      if (stop) late.Stop();
      stopped = true;
    });
    if (!stop) {
      EXPECT_EQ(late.DropKept(), SerialWriter::kPieceBytes);
    }
    EXPECT_TRUE(test::WaitUntil([&] { return late.KeptBytes() == 0; }));  // aborted under the lock
    release = true;

    EXPECT_TRUE(test::WaitUntil([&] { return stopped.load(); })) << "the stop waited for the line";
    std::string got;
    test::WaitUntil([&] {  // a stop that waits for the line ends once the far end reads
      got += line.Read(1 << 20, 10ms);
      return stopped.load();
    });
    stopper.join();
    if (!stop) late.Write(ByteString(std::string("#after#")));
    got += stop ? line.Read(1 << 20, 100ms) : ReadUntil("#after#");
    EXPECT_NE(got.find(stop ? "f" : "#after#"), std::string::npos);
    EXPECT_EQ(got.find('d'), std::string::npos) << "the dropped piece reached the line";
  }
  EXPECT_EQ(failures, 0) << "a write that a drop or the stop ended is no failure of the line";
}

TEST_F(SerialWriterTest, PortThatClosesDropsTheBytesOfItsFailedWritesAndReportsThem) {
  port.SetConnected(false);
  writer.Write(ByteString(std::string("lost")));
  EXPECT_TRUE(test::WaitUntil([&] { return writer.KeptBytes() == 0 && failures == 1; }));
  // Bytes kept behind a write that then fails: the writer's thread reports it.
  port.SetConnected(true);
  FillLine();
  port.SetConnected(false);
  EXPECT_TRUE(test::WaitUntil([&] { return writer.KeptBytes() == 0 && failures >= 2; }));
}

}  // namespace
