// The event thread: receive notifications under the three delivery methods, failures that
// must not silence a port, a far end that goes away, and stops that must not hang.
#include <gtest/gtest.h>

#include <thread>

#include "platform/messages.h"
#include "serial/com_port.h"
#include "serial/com_thread.h"
#include "tests/serial/serial_test_support.h"

namespace {

using serial_test::PtyPair;
using serial_test::RoutedExceptions;
using serial_test::ServeMainThreadUntil;

// An OnRxChar handler that reads what it is told about and notes where it ran.
class Receiver {
 public:
  void RxChar(TObject* sender, std::int32_t count) {
    auto* port = dynamic_cast<TComPort*>(sender);
    if (fail_next_.exchange(false)) throw Exception("handler failed");
    ByteString data;
    // The count is what waited when the step ran, so all of it can be read.
    EXPECT_EQ(port->PortRead(data, count), count);
    std::lock_guard<std::mutex> hold(lock_);
    counts_.push_back(count);
    threads_.push_back(std::this_thread::get_id());
    received_ += data.str();
  }
  void FailNext() { fail_next_ = true; }
  std::string Received() {
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
  }
  std::vector<std::int32_t> Counts() {
    std::lock_guard<std::mutex> hold(lock_);
    return counts_;
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard<std::mutex> hold(lock_);
    return threads_;
  }

 private:
  std::atomic<bool> fail_next_{false};
  std::mutex lock_;
  std::string received_;
  std::vector<std::int32_t> counts_;
  std::vector<std::thread::id> threads_;
};

class SerialEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    main_thread::SetMainThread();
    ASSERT_TRUE(pty.ok());
    port.SetPort(pty.slave());
    port.OnRxChar = TRxCharEvent::Bind(&receiver, &Receiver::RxChar);
  }
  PtyPair pty;
  Receiver receiver;
  RoutedExceptions routed;
  TComPort port;  // destroyed first
};

TEST_F(SerialEvents, ThreadSyncDeliversOnTheMainThreadWithTheWaitingCount) {
  port.SetConnected(true);
  ASSERT_TRUE(pty.Write("hello"));
  ASSERT_TRUE(ServeMainThreadUntil([&] { return receiver.Received().size() == 5; }));
  EXPECT_EQ(receiver.Received(), "hello");
  for (auto id : receiver.Threads()) EXPECT_EQ(id, std::this_thread::get_id());
  for (auto count : receiver.Counts()) EXPECT_GE(count, 1);

  // Bytes that arrive later lead to further calls.
  ASSERT_TRUE(pty.Write(" world"));
  ASSERT_TRUE(ServeMainThreadUntil([&] { return receiver.Received().size() == 11; }));
  EXPECT_EQ(receiver.Received(), "hello world");
  EXPECT_EQ(routed.Count(), 0u);
}

TEST_F(SerialEvents, NoneDeliversOnTheEventThread) {
  port.SetSyncMethod(smNone);
  port.SetConnected(true);
  ASSERT_TRUE(pty.Write("abc"));
  ASSERT_TRUE(test::WaitUntil([&] { return receiver.Received() == "abc"; }));
  for (auto id : receiver.Threads()) EXPECT_NE(id, std::this_thread::get_id());
}

TEST_F(SerialEvents, WindowSyncDeliversOnTheOpeningThread) {
  port.SetSyncMethod(smWindowSync);
  port.SetConnected(true);
  ASSERT_TRUE(pty.Write("xyz"));
  ASSERT_TRUE(test::WaitUntil([&] {
    platform::Message m;
    while (platform::PeekMessage(m)) platform::DispatchMessage(m);
    return receiver.Received() == "xyz";
  }));
  for (auto id : receiver.Threads()) EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(SerialEvents, WindowSyncCloseDoesNotWaitForUndispatchedMessages) {
  // The opening thread closes without dispatching: the event thread may be blocked sending to
  // its window, and the close must still end.
  port.SetSyncMethod(smWindowSync);
  port.SetConnected(true);
  ASSERT_TRUE(pty.Write("pending"));
  ASSERT_TRUE(test::WaitUntil([&] { return port.BytesWaiting() == 7; }));
  port.SetConnected(false);
  EXPECT_FALSE(port.Connected());
  platform::Message m;
  while (platform::PeekMessage(m)) platform::DispatchMessage(m);
  EXPECT_EQ(receiver.Received(), "");  // nothing runs for a closed port
}

TEST_F(SerialEvents, StepsRunInTheirFixedOrder) {
  port.SetEvents({});
  port.SetConnected(true);
  ASSERT_TRUE(pty.Write("in"));
  ASSERT_TRUE(test::WaitUntil([&] { return port.BytesWaiting() == 2; }));
  std::vector<std::string> order;
  auto note = [&](const char* what) { return TNotifyEvent::FromFunction([&, what](TObject*) { order.push_back(what); }); };
  auto line = [&](const char* what) {
    return TComSignalEvent::FromFunction([&, what](TObject*, bool) { order.push_back(what); });
  };
  port.OnRxChar = TRxCharEvent::FromFunction([&](TObject*, std::int32_t count) {
    order.push_back("rxchar " + std::to_string(count));
  });
  port.OnTxEmpty = note("txempty");
  port.OnBreak = note("break");
  port.OnRing = note("ring");
  port.OnRxFlag = note("rxflag");
  port.OnRx80Full = note("rx80full");
  port.OnCTSChange = line("cts");
  port.OnDSRChange = line("dsr");
  port.OnRLSDChange = line("rlsd");
  port.RunEventSteps(kAllComEvents);  // the tty layer reports no line errors: that step calls nothing
  std::vector<std::string> expected = {"rxchar 2", "txempty", "break", "ring", "cts", "dsr", "rxflag", "rlsd", "rx80full"};
  EXPECT_EQ(order, expected);
  port.SetConnected(false);  // while `order` lives: closing reports the lines off
}

// Under smWindowSync each event of a batch is one message to the port's window, in the order
// of the steps; the window runs the step its mask bit names.
TEST(SerialEventMessages, FollowTheStepOrder) {
  std::vector<std::uintptr_t> sent;
  platform::WindowHandle window = platform::CreateNotificationWindow([&](const platform::Message& m) -> std::intptr_t {
    if (m.id == platform::kWmUser + 1) sent.push_back(m.wparam);
    return 0;
  });
  SendEventMessages(window, kAllComEvents);
  SendEventMessages(window, {evRLSD, evRing});
  platform::DestroyNotificationWindow(window);
  const std::vector<std::uintptr_t> expected = {0x0080, 0x0001, 0x0004, 0x0040, 0x0100, 0x0008,
                                                0x0010, 0x0002, 0x0020, 0x0400, 0x0100, 0x0020};
  EXPECT_EQ(sent, expected);
}

// A write ends with the transmit-empty event, which no handler of the relay wants: it must not
// cost a trip to the main thread. Only the received bytes do.
TEST_F(SerialEvents, EventsWithoutAHandlerAreNotDelivered) {
  std::atomic<int> wake_ups{0};
  main_thread::SetWakeUp([&] { ++wake_ups; });
  port.SetConnected(true);
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(port.PortWrite(ByteString(std::string("out"))), 3);
    ASSERT_EQ(pty.Read(3), "out");
  }
  ASSERT_TRUE(pty.Write("in"));
  ASSERT_TRUE(ServeMainThreadUntil([&] { return receiver.Received() == "in"; }));
  ASSERT_TRUE(pty.Write("!"));
  ASSERT_TRUE(ServeMainThreadUntil([&] { return receiver.Received() == "in!"; }));
  port.SetConnected(false);
  main_thread::SetWakeUp(nullptr);
  EXPECT_EQ(wake_ups.load(), static_cast<int>(receiver.Counts().size()));
}

TEST_F(SerialEvents, TxEmptyFollowsAWrite) {
  port.SetSyncMethod(smNone);
  std::atomic<int> empties{0};
  port.OnTxEmpty = TNotifyEvent::FromFunction([&](TObject*) { ++empties; });
  port.SetConnected(true);
  EXPECT_EQ(port.PortWrite(ByteString(std::string("out"))), 3);
  EXPECT_EQ(pty.Read(3), "out");
  EXPECT_TRUE(test::WaitUntil([&] { return empties > 0; }));
}

TEST_F(SerialEvents, FailedReceiveHandlerIsReportedOnceAndDeliveryGoesOn) {
  port.SetConnected(true);
  receiver.FailNext();
  ASSERT_TRUE(pty.Write("one"));
  ASSERT_TRUE(ServeMainThreadUntil([&] { return routed.Count() == 1; }));
  EXPECT_EQ(routed.Sender(0), &port);
  EXPECT_THROW(routed.Rethrow(0), Exception);
  // The unread bytes are not reported over and over; the next arrival brings them along.
  ASSERT_TRUE(pty.Write("two"));
  ASSERT_TRUE(ServeMainThreadUntil([&] { return receiver.Received() == "onetwo"; }));
  EXPECT_EQ(routed.Count(), 1u);
  EXPECT_TRUE(port.Connected());
}

TEST_F(SerialEvents, FailedHandlerUnderNoneAlsoKeepsDelivering) {
  port.SetSyncMethod(smNone);
  port.SetConnected(true);
  receiver.FailNext();
  ASSERT_TRUE(pty.Write("a"));
  ASSERT_TRUE(test::WaitUntil([&] { return routed.Count() == 1; }));
  ASSERT_TRUE(pty.Write("b"));
  ASSERT_TRUE(test::WaitUntil([&] { return receiver.Received() == "ab"; }));
  EXPECT_EQ(routed.Count(), 1u);
}

TEST_F(SerialEvents, FarEndClosingEndsTheThreadWithOneReport) {
  port.SetConnected(true);
  ASSERT_NE(port.EventThread(), nullptr);
  pty.CloseMaster();
  ASSERT_TRUE(ServeMainThreadUntil([&] { return port.EventThread()->Finished(); }));
  ASSERT_EQ(routed.Count(), 1u);
  EXPECT_EQ(routed.Sender(0), &port);
  try {
    routed.Rethrow(0);
  } catch (const EComPort& e) {
    EXPECT_EQ(e.ComErrorCode(), CError_WaitFailed);
    EXPECT_GT(e.WinErrorCode(), 0);
  }
  // Writes now fail as they do on a closed port; closing still works.
  EXPECT_EQ(serial_test::ComErrorOf([&] { port.PortWrite(ByteString(std::string("x"))); }).first, 2);
  EXPECT_TRUE(port.Connected());
  port.SetConnected(false);
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(routed.Count(), 1u);
}

TEST_F(SerialEvents, FarEndClosingGoesToTheLineFailureHandlerInsteadOfTheRouting) {
  std::mutex lock;
  std::vector<std::pair<std::int32_t, std::int32_t>> failures;  // com code, system code
  std::thread::id handler_thread;
  port.OnLineFailure = TComFailureEvent::FromFunction([&](TObject* sender, const EComPort& e) {
    EXPECT_EQ(sender, &port);
    std::lock_guard<std::mutex> hold(lock);
    failures.emplace_back(e.ComErrorCode(), e.WinErrorCode());
    handler_thread = std::this_thread::get_id();
  });
  port.SetConnected(true);
  pty.CloseMaster();
  ASSERT_TRUE(test::WaitUntil([&] { return port.EventThread()->Finished(); }));
  std::lock_guard<std::mutex> hold(lock);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].first, CError_WaitFailed);
  EXPECT_GT(failures[0].second, 0);
  // On the event thread itself: nothing waits for the main thread to serve it.
  EXPECT_NE(handler_thread, std::this_thread::get_id());
  EXPECT_EQ(routed.Count(), 0u);
}

TEST_F(SerialEvents, BytesBeforeTheFarEndClosesAreStillDelivered) {
  port.SetSyncMethod(smNone);
  port.SetConnected(true);
  ASSERT_TRUE(pty.Write("last words"));
  ASSERT_TRUE(test::WaitUntil([&] { return receiver.Received() == "last words"; }));
  pty.CloseMaster();
  ASSERT_TRUE(test::WaitUntil([&] { return port.EventThread()->Finished(); }));
  EXPECT_EQ(routed.Count(), 1u);
}

// Writes to the far end until told to stop.
class Flood {
 public:
  explicit Flood(PtyPair& pty) : thread_([this, &pty] {
      std::string chunk(512, 'f');
      while (!stop_) {
        if (::write(pty.master(), chunk.data(), chunk.size()) < 0) {
          pollfd p{pty.master(), POLLOUT, 0};
          ::poll(&p, 1, 10);
        }
      }
    }) {}
  ~Flood() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(SerialEvents, MainThreadCloseWhileBytesFlow) {
  port.SetConnected(true);
  Flood flood(pty);
  ASSERT_TRUE(ServeMainThreadUntil([&] { return receiver.Received().size() > 4096; }));
  port.SetConnected(false);  // the wait runs the batch queued for this thread
  EXPECT_FALSE(port.Connected());
}

TEST_F(SerialEvents, ServiceThreadCloseWhileTheEventThreadWaitsForTheMainThread) {
  port.SetConnected(true);
  Flood flood(pty);
  ASSERT_TRUE(ServeMainThreadUntil([&] { return receiver.Received().size() > 4096; }));
  // Stop serving for a moment so that the event thread is left waiting in its batch.
  ASSERT_TRUE(test::WaitUntil([&] { return port.BytesWaiting() > 0; }));
  std::atomic<bool> closed{false};
  std::thread service([&] {
    port.SetConnected(false);
    closed = true;
  });
  EXPECT_TRUE(ServeMainThreadUntil([&] { return closed.load(); }));
  service.join();
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(routed.Count(), 0u);
}

TEST_F(SerialEvents, HandlerThatClosesItsOwnPortUnderNone) {
  port.SetSyncMethod(smNone);
  std::atomic<bool> closed{false};
  port.OnRxChar = TRxCharEvent::FromFunction([&](TObject*, std::int32_t) {
    port.SetConnected(false);
    closed = true;
  });
  port.SetConnected(true);
  ASSERT_TRUE(pty.Write("bye"));
  ASSERT_TRUE(test::WaitUntil([&] { return closed.load(); }));
  EXPECT_FALSE(port.Connected());
}

TEST_F(SerialEvents, NoEventsNoNotifications) {
  port.SetEvents({});
  port.SetSyncMethod(smNone);
  port.SetConnected(true);
  ASSERT_TRUE(pty.Write("quiet"));
  ASSERT_TRUE(test::WaitUntil([&] { return port.BytesWaiting() == 5; }));
  EXPECT_EQ(port.EventThread(), nullptr);
  EXPECT_EQ(receiver.Received(), "");
}

}  // namespace
