// Output whose reader may stop: the queued writer (dropped items counted and noted once the
// reader is back, flushing, stopping), the limit on entries outside parties can cause, and the
// console and event-log sinks built on them, with texts that mix the system's own bytes and
// bytes from outside.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/entry_rate_limit.h"
#include "platform/event_log.h"
#include "platform/queued_writer.h"
#include "tests/service/service_test_support.h"

namespace {

using platform::detail::QueuedWriter;
using platform::detail::WriteOutcome;

// A reader that can be stopped: while stopped it takes nothing (each write waits its slice).
class Reader {
 public:
  WriteOutcome Write(std::string& item, int wait_ms) {
    std::unique_lock<std::mutex> hold(lock_);
    if (!changed_.wait_for(hold, std::chrono::milliseconds(wait_ms), [&] { return reading_; })) {
      return WriteOutcome::kNotNow;
    }
    taken_.push_back(item);
    return WriteOutcome::kWritten;
  }
  void SetReading(bool reading) {
    std::lock_guard<std::mutex> hold(lock_);
    reading_ = reading;
    changed_.notify_all();
  }
  std::vector<std::string> Taken() {
    std::lock_guard<std::mutex> hold(lock_);
    return taken_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool reading_ = true;
  std::vector<std::string> taken_;
};

QueuedWriter<std::string>::Sink SinkOf(Reader& reader) {
  return {[&reader](std::string& item, int wait_ms) { return reader.Write(item, wait_ms); },
          [](std::uint64_t dropped, const std::string&) { return "dropped " + std::to_string(dropped); }, nullptr,
          nullptr};
}

TEST(QueuedWriter, AStoppedReaderCostsDroppedItemsNeverTimeAndTheCountFollowsWhenItReadsAgain) {
  Reader reader;
  QueuedWriter<std::string> writer(3, SinkOf(reader));
  ASSERT_TRUE(writer.Push("first"));
  ASSERT_TRUE(writer.Flush(20000));
  reader.SetReading(false);
  // The writer holds one item for the stopped reader and queues three; the rest are dropped.
  // Which items are kept depends on when the writer's thread takes the first one off the queue,
  // so the pushes that were accepted are the ones expected, in order.
  std::vector<std::string> kept;
  for (int i = 0; i < 50; ++i) {
    std::string item = "item " + std::to_string(i);
    if (writer.Push(item)) kept.push_back(item);
  }
  const int accepted = static_cast<int>(kept.size());
  EXPECT_GE(accepted, 3);
  EXPECT_LE(accepted, 4);
  EXPECT_FALSE(writer.Flush(0));
  reader.SetReading(true);
  ASSERT_TRUE(writer.Flush(20000));
  // The note of the dropped count is queued once the reader takes the held item, which may be
  // after the flush above began: wait for it too.
  const std::size_t expected = static_cast<std::size_t>(accepted) + 2;
  EXPECT_TRUE(test::WaitUntil([&] { return reader.Taken().size() >= expected; }));
  std::vector<std::string> taken = reader.Taken();
  ASSERT_EQ(taken.size(), expected);
  EXPECT_EQ(taken[0], "first");
  EXPECT_EQ(std::vector<std::string>(taken.begin() + 1, taken.end() - 1), kept);
  EXPECT_EQ(taken.back(), "dropped " + std::to_string(50 - accepted));
  EXPECT_EQ(writer.Dropped(), static_cast<std::uint64_t>(50 - accepted));
}

TEST(QueuedWriter, StopWritesWhatIsQueuedAndGivesUpOnAReaderThatNeverComesBack) {
  Reader reader;
  {
    QueuedWriter<std::string> writer(10, SinkOf(reader));
    for (const char* item : {"a", "b", "c"}) writer.Push(item);
    writer.Stop(20000);
    EXPECT_EQ(reader.Taken(), (std::vector<std::string>{"a", "b", "c"}));
    writer.Push("late");  // after the stop: written at once by the caller
    EXPECT_EQ(reader.Taken().back(), "late");
  }
  reader.SetReading(false);
  QueuedWriter<std::string> stuck(10, SinkOf(reader));
  stuck.Push("never");
  const auto start = test::Clock::now();
  stuck.Stop(50);
  EXPECT_LT(test::Clock::now() - start, test::kDeadline);  // it ended; generous bound
  EXPECT_EQ(stuck.Dropped(), 1u);
}

TEST(QueuedWriter, ItemsFromManyThreadsKeepEachThreadsOrder) {
  Reader reader;
  QueuedWriter<std::string> writer(100000, SinkOf(reader));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) writer.Push(std::to_string(t) + ":" + std::to_string(i));
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_TRUE(writer.Flush(20000));
  std::vector<int> next(4, 0);
  for (const std::string& item : reader.Taken()) {
    const int t = item[0] - '0';
    EXPECT_EQ(item.substr(2), std::to_string(next[t]++));
  }
  EXPECT_EQ(next, (std::vector<int>{500, 500, 500, 500}));
}

using Limit = platform::detail::EntryRateLimit<int>;

TEST(EntryRateLimit, AFewOfAKindPerWindowThenOneSummary) {
  Limit limit(3, std::chrono::seconds(60), 8);
  const auto t0 = Limit::Clock::now();
  int admitted = 0;
  for (int i = 0; i < 10; ++i) admitted += limit.Admit("reset", i, t0 + std::chrono::seconds(i));
  EXPECT_EQ(admitted, 3);
  EXPECT_TRUE(limit.Admit("other", 0, t0));  // kinds are limited each on its own
  EXPECT_EQ(limit.NextEnd(), t0 + std::chrono::seconds(60));
  EXPECT_TRUE(limit.TakeEnded(t0 + std::chrono::seconds(59)).empty());
  auto ended = limit.TakeEnded(t0 + std::chrono::seconds(60));
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].left_out, 7u);
  EXPECT_EQ(ended[0].payload, 0);  // what the window's first entry carried
  EXPECT_FALSE(limit.NextEnd().has_value());
  // A new window: the kind is written again.
  EXPECT_TRUE(limit.Admit("reset", 11, t0 + std::chrono::seconds(61)));
}

TEST(EntryRateLimit, AWindowEndedByTheNextEntryStillGivesItsSummary) {
  Limit limit(1, std::chrono::seconds(60), 8);
  const auto t0 = Limit::Clock::now();
  EXPECT_TRUE(limit.Admit("k", 1, t0));
  EXPECT_FALSE(limit.Admit("k", 2, t0));
  EXPECT_TRUE(limit.Admit("k", 3, t0 + std::chrono::seconds(61)));
  EXPECT_EQ(limit.NextEnd(), Limit::Clock::time_point::min());  // due at once
  auto ended = limit.TakeEnded(t0 + std::chrono::seconds(61));
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].left_out, 1u);
  // At the end everything pending is summed up.
  EXPECT_FALSE(limit.Admit("k", 4, t0 + std::chrono::seconds(62)));
  ended = limit.TakeEnded(Limit::Clock::time_point::max());
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].left_out, 1u);
}

TEST(EntryRateLimit, MoreKindsThanItFollowsAreNotLimited) {
  Limit limit(1, std::chrono::seconds(60), 2);
  const auto t0 = Limit::Clock::now();
  EXPECT_TRUE(limit.Admit("a", 0, t0));
  EXPECT_TRUE(limit.Admit("b", 0, t0));
  EXPECT_TRUE(limit.Admit("c", 0, t0));
  EXPECT_TRUE(limit.Admit("c", 0, t0));
  EXPECT_FALSE(limit.Admit("a", 0, t0));
}

// The sinks: the system's own texts are code page 1251 and shown in UTF-8; bytes from outside
// (a directory "dir_Ж" as the file system gives it, in UTF-8) pass unchanged.
const std::string kOwnZhe = "\xC6";             // Ж in code page 1251
const std::string kUtf8Zhe = "\xD0\x96";        // Ж in UTF-8
const std::string kDir = "dir_" + kUtf8Zhe;     // from the file system

TEST(ConsoleOutput, OnlyTheSystemsOwnTextsAreConverted) {
  test::TempDir dir;
  test::CapturedStderr err(dir.file("stderr"));
  platform::ShowMessageBox(platform::Text::FromOutside(kDir), "own " + kOwnZhe, platform::BoxIcon::kError);
  platform::WriteConsoleLine(platform::Text("in ") + platform::Text::FromOutside(kDir) + ": " + kOwnZhe);
  ASSERT_TRUE(platform::FlushConsole(20000));
  EXPECT_EQ(err.Text(), kDir + ": own " + kUtf8Zhe + "\n" + "in " + kDir + ": " + kUtf8Zhe + "\n");
}

class EventLogOutput : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KORVENET_EVENTLOG", log_.path().c_str(), 1); }
  void TearDown() override {
    platform::SetEventEcho(false);
    unsetenv("KORVENET_EVENTLOG");
  }
  test::TempDir dir_;
  test::DatagramListener log_{dir_.file("log")};
};

TEST_F(EventLogOutput, SourceNamesAndBytesFromOutsideAreKeptAsTheyAre) {
  platform::SetEventEcho(true);
  const std::string source = "tcp_" + kUtf8Zhe;
  platform::EventSourceHandle handle = platform::OpenEventSource(source);
  ASSERT_NE(handle, 0u);
  std::string echoed;
  {
    test::CapturedStderr err(dir_.file("stderr"));
    platform::ReportEvent(handle, platform::kEventError, 0, 0,
                          platform::Text(kOwnZhe + " in ") + platform::Text::FromOutside(kDir));
    test::ExpectSyslogEntry(log_.Receive(), 27, source, getpid(), kUtf8Zhe + " in " + kDir);
    ASSERT_TRUE(platform::FlushConsole(20000));
    echoed = err.Text();
  }
  EXPECT_EQ(echoed, source + " (error): " + kUtf8Zhe + " in " + kDir + "\n");
  platform::CloseEventSource(handle);
}

// A log that stops reading holds up nobody: reports return at once, what the queue cannot
// keep is dropped, and once the log reads again the entries come in order with the count.
TEST_F(EventLogOutput, ALogThatStopsReadingCostsDroppedEntriesAndTheirCount) {
  platform::EventSourceHandle handle = platform::OpenEventSource("stalled");
  ASSERT_NE(handle, 0u);
  // Fill the log's queue from outside, so that it takes nothing more.
  int filler = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, log_.path().c_str(), sizeof address.sun_path - 1);
  int filled = 0;
  while (::sendto(filler, "x", 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address) == 1) ++filled;
  ::close(filler);
  constexpr int kReports = 3000;
  const auto start = test::Clock::now();
  for (int i = 0; i < kReports; ++i) platform::ReportEvent(handle, platform::kEventError, 0, 0, std::to_string(i));
  EXPECT_LT(test::Clock::now() - start, std::chrono::seconds(10));  // no report waited for the log
  for (int i = 0; i < filled; ++i) ASSERT_EQ(log_.Receive(), std::optional<std::string>("x"));
  int received = 0, previous = -1;
  std::string last;
  while (auto datagram = log_.Receive(std::chrono::seconds(5))) {
    last = datagram->substr(datagram->find("]: ") + 3);
    if (last.find("dropped") != std::string::npos) break;
    EXPECT_GT(std::stoi(last), previous) << "entries came out of order";
    previous = std::stoi(last);
    ++received;
  }
  EXPECT_GE(received, 1024);  // what the queue holds
  EXPECT_LT(received, kReports);
  EXPECT_EQ(last, std::to_string(kReports - received) +
                      " event-log entries were dropped while the log did not take them");
  platform::CloseEventSource(handle);
}

TEST_F(EventLogOutput, LimitedEntriesAreCutAfterAFewAndSummedUpAtTheEnd) {
  platform::EventSourceHandle handle = platform::OpenEventSource("limited");
  ASSERT_NE(handle, 0u);
  const std::string text = "reset " + std::to_string(getpid());  // a kind no other test has
  for (int i = 0; i < 50; ++i) platform::ReportLimitedEvent(handle, platform::kEventError, text);
  for (int i = 0; i < platform::kLimitedEntriesPerMinute; ++i) {
    test::ExpectSyslogEntry(log_.Receive(), 27, "limited", getpid(), text);
  }
  ASSERT_TRUE(platform::FlushEventLog(20000));
  EXPECT_FALSE(log_.Receive(std::chrono::milliseconds(0)).has_value());
  platform::CloseEventSource(handle);
}

}  // namespace
