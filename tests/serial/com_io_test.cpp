// PortRead and PortWrite on pseudo-terminals.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <atomic>
#include <thread>

#include "serial/com_port.h"
#include "tests/serial/serial_test_support.h"

namespace {

using serial_test::ComErrorOf;
using serial_test::PtyPair;

class SerialIO : public ::testing::Test {
 protected:
  void SetUp() override {
    main_thread::SetMainThread();
    ASSERT_TRUE(pty.ok());
    port.SetEvents({});  // the tests read for themselves
    port.SetPort(pty.slave());
    port.SetConnected(true);
  }
  bool BytesArrive(int count) {
    return test::WaitUntil([&] { return port.BytesWaiting() == count; });
  }
  PtyPair pty;
  TComPort port;
};

TEST_F(SerialIO, EmptyRequestsTransferNothing) {
  EXPECT_EQ(port.PortWrite(ByteString()), 0);
  ByteString data(std::string("stale"));
  EXPECT_EQ(port.PortRead(data, 0), 0);
  EXPECT_TRUE(data.empty());
  EXPECT_EQ(port.PortRead(data, -5), 0);
  EXPECT_TRUE(data.empty());
}

TEST_F(SerialIO, ReadReturnsWhatWaitsWithoutWaitingForMore) {
  ByteString data;
  // Nothing waits: the read ends with nothing (a read that waited for bytes would not end).
  std::atomic<bool> ended{false};
  std::thread empty_read([&] {
    EXPECT_EQ(port.PortRead(data, 10), 0);
    ended = true;
  });
  const bool empty_read_ended = test::WaitUntil([&] { return ended.load(); });
  if (!empty_read_ended) pty.Write("release");
  empty_read.join();
  EXPECT_TRUE(empty_read_ended) << "a read with nothing waiting waited for bytes";
  EXPECT_TRUE(data.empty());

  // Two bytes wait and ten are asked for: once the read has taken the two, more bytes arrive.
  // A read that returns at once has ended with the two; one that waits for more takes them too.
  ASSERT_TRUE(pty.Write("ab"));
  ASSERT_TRUE(BytesArrive(2));
  std::thread short_read([&] { EXPECT_EQ(port.PortRead(data, 10), 2); });
  EXPECT_TRUE(BytesArrive(0));
  ASSERT_TRUE(pty.Write("cd"));
  short_read.join();
  EXPECT_EQ(data.str(), "ab");
  ASSERT_TRUE(BytesArrive(2));
  EXPECT_EQ(port.PortRead(data, 10), 2);
  EXPECT_EQ(data.str(), "cd");

  ASSERT_TRUE(pty.Write("abc"));
  ASSERT_TRUE(BytesArrive(3));
  EXPECT_EQ(port.PortRead(data, 10), 3);
  EXPECT_EQ(data.str(), "abc");

  ASSERT_TRUE(pty.Write("12345"));
  ASSERT_TRUE(BytesArrive(5));
  EXPECT_EQ(port.PortRead(data, 2), 2);
  EXPECT_EQ(data.str(), "12");
  EXPECT_EQ(port.PortRead(data, 10), 3);
  EXPECT_EQ(data.str(), "345");
}

TEST_F(SerialIO, EveryByteValuePassesBothWays) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));

  EXPECT_EQ(port.PortWrite(ByteString(all)), 256);
  EXPECT_EQ(pty.Read(256), all);

  ASSERT_TRUE(pty.Write(all));
  ASSERT_TRUE(BytesArrive(256));
  ByteString data;
  EXPECT_EQ(port.PortRead(data, 1000), 256);
  EXPECT_EQ(data.str(), all);
}

TEST_F(SerialIO, DiscardNullDropsZeroBytes) {
  port.SetDiscardNull(true);
  ASSERT_TRUE(pty.Write(std::string("a\0b\0\0c", 6)));
  ASSERT_TRUE(BytesArrive(6));
  ByteString data;
  EXPECT_EQ(port.PortRead(data, 10), 3);
  EXPECT_EQ(data.str(), "abc");
}

TEST_F(SerialIO, WriteThatTheLineCannotTakeEndsAtItsTimeout) {
  // Nobody reads the far end, so the terminal's buffer fills and the write stops at its
  // time-out, reporting the bytes that went.
  port.Timeouts().SetWriteTotalMultiplier(0);
  port.Timeouts().SetWriteTotalConstant(300);
  std::string big(1 << 20, 'x');
  auto start = test::Clock::now();
  std::int32_t written = port.PortWrite(ByteString(big));
  EXPECT_LT(test::Clock::now() - start, std::chrono::seconds(15));
  EXPECT_GT(written, 0);
  EXPECT_LT(written, static_cast<std::int32_t>(big.size()));
}

TEST_F(SerialIO, AbortEndsAWaitingWriteAtOnceAndSparesLaterOnes) {
  // Nobody reads the far end; with the default time-outs the write would wait for minutes.
  std::string big(256 * 1024, 'x');
  std::atomic<bool> ended{false};
  std::pair<int, int> error;
  std::thread writer([&] {
    error = ComErrorOf([&] { port.PortWrite(ByteString(big)); });
    ended = true;
  });
  // Abort until the write has ended: an abort that comes before it starts does not touch it.
  EXPECT_TRUE(test::WaitUntil([&] {
    port.AbortWrites();
    return ended.load();
  }));
  writer.join();
  EXPECT_EQ(error, std::make_pair(2, ECANCELED));

  // The next write goes out once the far end reads the line empty (given time for that).
  port.Timeouts().SetWriteTotalConstant(20000);
  std::int32_t written = 0;
  std::thread next([&] { written = port.PortWrite(ByteString(std::string("next"))); });
  std::string got;
  EXPECT_TRUE(test::WaitUntil([&] {
    got += pty.Read(1 << 20, std::chrono::milliseconds(10));
    return got.size() >= 4 && got.compare(got.size() - 4, 4, "next") == 0;
  }));
  next.join();
  EXPECT_EQ(written, 4);
  EXPECT_EQ(got.find_first_not_of('x'), got.size() - 4);
}

TEST_F(SerialIO, ClosingThePortEndsAWaitingWrite) {
  std::string big(256 * 1024, 'x');
  std::atomic<bool> ended{false};
  std::thread writer([&] {
    ComErrorOf([&] { port.PortWrite(ByteString(big)); });
    ended = true;
  });
  ASSERT_TRUE(test::WaitUntil([&] {
    int waiting = 0;
    return ::ioctl(pty.master(), FIONREAD, &waiting) == 0 && waiting > 0;
  }));
  port.SetConnected(false);
  EXPECT_TRUE(test::WaitUntil([&] { return ended.load(); }));
  writer.join();
}

TEST_F(SerialIO, ReadWithTotalTimeoutWaitsForTheBytes) {
  port.Timeouts().SetReadInterval(0);
  port.Timeouts().SetReadTotalConstant(20000);  // generous: the bytes come much earlier
  std::thread far_end([&] { pty.Write("late"); });
  ByteString data;
  EXPECT_EQ(port.PortRead(data, 4), 4);
  EXPECT_EQ(data.str(), "late");
  far_end.join();
}

TEST_F(SerialIO, ClosedPortRefusesReadsAndWrites) {
  port.SetConnected(false);
  ByteString data;
  EXPECT_EQ(ComErrorOf([&] { port.PortWrite(ByteString(std::string("x"))); }), std::make_pair(2, EBADF));
  EXPECT_EQ(ComErrorOf([&] { port.PortRead(data, 1); }), std::make_pair(3, EBADF));
  EXPECT_EQ(port.PortWrite(ByteString()), 0);  // nothing to write is not a failure
}

}  // namespace
