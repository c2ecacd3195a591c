// Event-log entries as syslog datagrams, received byte for byte by a test-bound socket.

#include <unistd.h>

#include <map>
#include <thread>
#include <vector>

#include "platform/console.h"
#include "platform/event_log.h"
#include "service/event_logger.h"
#include "service/service.h"
#include "tests/service/service_test_support.h"

namespace {

class EventLog : public ::testing::Test {
 protected:
  void SetUp() override { setenv("KORVENET_EVENTLOG", path_.c_str(), 1); }
  void TearDown() override { unsetenv("KORVENET_EVENTLOG"); }

  test::TempDir dir_;
  std::string path_ = dir_.file("log");
};

TEST_F(EventLog, EachEntryIsOneSyslogDatagram) {
  test::DatagramListener log(path_);
  ASSERT_TRUE(log.bound());
  TEventLogger logger("Rodivo_vedodaraz");
  // The system's own texts are code page 1251: "Cтарт сервиса" with a Latin C.
  logger.WriteEventLog("C\xF2\xE0\xF0\xF2 \xF1\xE5\xF0\xE2\xE8\xF1\xE0 \"Sarvelo\"", 4, 0, 0);
  test::ExpectSyslogEntry(log.Receive(), 30, "Rodivo_vedodaraz", getpid(),
                          "C\xD1\x82\xD0\xB0\xD1\x80\xD1\x82 \xD1\x81\xD0\xB5\xD1\x80\xD0\xB2\xD0\xB8\xD1\x81\xD0\xB0 \"Sarvelo\"");
  logger.WriteEventLog("failed", 1, 0, 0);
  test::ExpectSyslogEntry(log.Receive(), 27, "Rodivo_vedodaraz", getpid(), "failed");
  logger.WriteEventLog("careful", 2, 0, 0);
  test::ExpectSyslogEntry(log.Receive(), 28, "Rodivo_vedodaraz", getpid(), "careful");
  logger.WriteEventLog("other", 8, 3, 7);
  test::ExpectSyslogEntry(log.Receive(), 29, "Rodivo_vedodaraz", getpid(), "other");
  // Every byte of the text passes, line ends and the upper half of the code page included.
  logger.WriteEventLog("a\r\nb \xA8\xB8\xB9\x98", 1, 0, 0);
  test::ExpectSyslogEntry(log.Receive(), 27, "Rodivo_vedodaraz", getpid(),
                          "a\r\nb \xD0\x81\xD1\x91\xE2\x84\x96\xEF\xBF\xBD");
}

// Bytes from outside reach the log as UTF-8: as they are when they are UTF-8, read as code
// page 1251 (the channel file's) otherwise, each piece on its own; the source name too. Their
// control characters (C1 only where they are UTF-8) arrive escaped.
TEST_F(EventLog, BytesFromOutsideArriveAsUtf8) {
  test::DatagramListener log(path_);
  ASSERT_TRUE(log.bound());
  using platform::Text;
  const std::string path = "/srv/\xD0\xBA\xD0\xB0\xD1\x82", cp1251 = "\xCC\xE5\xF2\xF0";
  const std::string cp1251_in_utf8 = "\xD0\x9C\xD0\xB5\xD1\x82\xD1\x80";
  TEventLogger logger("tcp_\xC6_serv");
  const std::pair<Text, std::string> cases[] = {
      {Text::FromOutside(path), path},
      {Text::FromOutside(cp1251), cp1251_in_utf8},
      {Text("C\xF2 ") + Text::FromOutside(path) + Text::FromOutside(cp1251), "C\xD1\x82 " + path + cp1251_in_utf8},
      {Text::FromOutside("\x1B[2J\a\xC2\x9B\x7F\xD0\xBA"), "\\x1B[2J\\x07\\xC2\\x9B\\x7F\xD0\xBA"},
      {Text::FromOutside("\x9B\xF2\r"), "\xE2\x80\xBA\xD1\x82\\x0D"},
  };
  for (const auto& [text, shown] : cases) {
    logger.WriteEventLog(text, 1, 0, 0);
    test::ExpectSyslogEntry(log.Receive(), 27, "tcp_\xD0\x96_serv", getpid(), shown);
  }
}

// The first entries of a logger may come from several threads at once (serial event threads
// route their failures while the service thread writes): one source, every entry arrives.
TEST_F(EventLog, EntriesFromSeveralThreadsAtOnce) {
  test::DatagramListener log(path_);
  ASSERT_TRUE(log.bound());
  TEventLogger logger("tcp_port_serv");
  TService service;
  service.SetName("Rodivo_vedodaraz");
  constexpr int kThreads = 4, kEach = 10;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        logger.WriteEventLog("logger " + std::to_string(t), 1, 0, 0);
        service.WriteEventLog("service " + std::to_string(t));
      }
    });
  }
  std::map<std::string, int> seen;
  for (int n = 0; n < 2 * kThreads * kEach; ++n) {
    auto datagram = log.Receive();
    ASSERT_TRUE(datagram.has_value()) << n << " entries came";
    seen[datagram->substr(datagram->find(": ") + 2)]++;
  }
  for (auto& writer : writers) writer.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(seen["logger " + std::to_string(t)], kEach);
    EXPECT_EQ(seen["service " + std::to_string(t)], kEach);
  }
}

TEST_F(EventLog, MissingLogDropsTheEntryAndALaterEntryRetries) {
  TEventLogger logger("tcp_port_serv");
  logger.WriteEventLog("lost", 1, 0, 0);  // nothing listens: no error, no entry
  EXPECT_TRUE(platform::FlushEventLog(20000));
  test::DatagramListener log(path_);
  ASSERT_TRUE(log.bound());
  logger.WriteEventLog("found", 1, 0, 0);
  test::ExpectSyslogEntry(log.Receive(), 27, "tcp_port_serv", getpid(), "found");
  EXPECT_FALSE(log.Receive(std::chrono::milliseconds(0)).has_value());
}

TEST_F(EventLog, RestartedLogIsReachedAgain) {
  TEventLogger logger("tcp_port_serv");
  {
    test::DatagramListener first(path_);
    logger.WriteEventLog("one", 1, 0, 0);
    test::ExpectSyslogEntry(first.Receive(), 27, "tcp_port_serv", getpid(), "one");
    first.Close();
    logger.WriteEventLog("refused", 1, 0, 0);  // the log refuses: dropped silently
    EXPECT_TRUE(platform::FlushEventLog(20000));
  }
  test::DatagramListener second(path_);
  ASSERT_TRUE(second.bound());
  logger.WriteEventLog("two", 1, 0, 0);
  test::ExpectSyslogEntry(second.Receive(), 27, "tcp_port_serv", getpid(), "two");
  EXPECT_FALSE(second.Receive(std::chrono::milliseconds(0)).has_value());
}

}  // namespace

namespace {

TEST_F(EventLog, ForegroundRunEchoesEveryEntryAndReachesTheLogLater) {
  platform::SetEventEcho(true);
  TEventLogger logger("Rodivo_vedodaraz");
  std::string echoed;
  {
    test::CapturedStderr err(dir_.file("stderr"));
    logger.WriteEventLog("C\xF2\xE0\xF0\xF2", 4, 0, 0);  // no log yet: only the console has it
    EXPECT_TRUE(platform::FlushEventLog(20000));
    test::DatagramListener log(path_);
    logger.WriteEventLog("broken", 1, 0, 0);
    test::ExpectSyslogEntry(log.Receive(), 27, "Rodivo_vedodaraz", getpid(), "broken");
    EXPECT_TRUE(platform::FlushConsole(20000));
    echoed = err.Text();
  }
  platform::SetEventEcho(false);
  EXPECT_EQ(echoed,
            "Rodivo_vedodaraz (information): C\xD1\x82\xD0\xB0\xD1\x80\xD1\x82\n"
            "Rodivo_vedodaraz (error): broken\n");
}

}  // namespace
