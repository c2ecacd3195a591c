// Per-thread message queues and notification windows.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/messages.h"
#include "tests/support/test_support.h"

using namespace platform;

namespace {

// A thread that owns one window and serves its queue until it gets kWmQuit.
class WindowThreadRunner {
 public:
  explicit WindowThreadRunner(WindowProcedure procedure) {
    thread_ = std::thread([this, procedure] {
      window_ = CreateNotificationWindow(procedure);
      id_ = CurrentThreadId();
      ready_ = true;
      Message m;
      while (GetMessage(m)) DispatchMessage(m);
    });
    test::WaitUntil([this] { return ready_.load(); });
  }
  ~WindowThreadRunner() { Stop(); }
  void Stop() {
    if (!thread_.joinable()) return;
    PostThreadMessageTo(id_, kWmQuit, 0, 0);
    thread_.join();
  }
  WindowHandle window() const { return window_; }
  ThreadId id() const { return id_; }

 private:
  std::thread thread_;
  std::atomic<bool> ready_{false};
  std::atomic<WindowHandle> window_{0};
  std::atomic<ThreadId> id_{0};
};

}  // namespace

TEST(MessagesQueue, PostedMessagesComeInOrderAndDispatchRunsTheWindowProcedure) {
  std::vector<std::uint32_t> seen;
  WindowHandle w = CreateNotificationWindow([&](const Message& m) {
    seen.push_back(m.id);
    return std::intptr_t{0};
  });
  ASSERT_NE(w, 0u);
  EXPECT_EQ(WindowThread(w), CurrentThreadId());
  ASSERT_TRUE(PostMessageTo(w, kWmUser + 1, 10, 20));
  ASSERT_TRUE(PostThreadMessageTo(CurrentThreadId(), kWmUser + 2, 0, 0));
  ASSERT_TRUE(PostMessageTo(w, kWmUser + 3, 0, -5));

  Message m;
  ASSERT_TRUE(PeekMessage(m));
  EXPECT_EQ(m.window, w);
  EXPECT_EQ(m.id, kWmUser + 1);
  EXPECT_EQ(m.wparam, 10u);
  EXPECT_EQ(m.lparam, 20);
  DispatchMessage(m);
  ASSERT_TRUE(PeekMessage(m));
  EXPECT_EQ(m.window, 0u);  // the thread message, which dispatch drops
  EXPECT_EQ(DispatchMessage(m), 0);
  ASSERT_TRUE(PeekMessage(m));
  EXPECT_EQ(m.lparam, -5);
  DispatchMessage(m);
  EXPECT_FALSE(PeekMessage(m));
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{kWmUser + 1, kWmUser + 3}));
  DestroyNotificationWindow(w);
}

TEST(MessagesQueue, DestroyingAWindowDropsItsMessagesAndItsHandleIsNeverReused) {
  int calls = 0;
  auto count = [&](const Message&) {
    ++calls;
    return std::intptr_t{0};
  };
  WindowHandle gone = CreateNotificationWindow(count);
  WindowHandle kept = CreateNotificationWindow(count);
  PostMessageTo(gone, kWmUser, 1, 0);
  PostMessageTo(kept, kWmUser, 2, 0);
  PostMessageTo(gone, kWmUser, 3, 0);
  DestroyNotificationWindow(gone);
  DestroyNotificationWindow(gone);  // unknown now: ignored
  EXPECT_FALSE(PostMessageTo(gone, kWmUser, 4, 0));
  EXPECT_EQ(WindowThread(gone), 0u);

  Message m;
  ASSERT_TRUE(PeekMessage(m));
  EXPECT_EQ(m.wparam, 2u);
  EXPECT_FALSE(PeekMessage(m));

  WindowHandle again = CreateNotificationWindow(count);
  EXPECT_NE(again, gone);
  EXPECT_NE(again, kept);
  // A message for a window destroyed after it was taken is dropped by dispatch.
  PostMessageTo(again, kWmUser, 5, 0);
  ASSERT_TRUE(PeekMessage(m));
  DestroyNotificationWindow(again);
  EXPECT_EQ(DispatchMessage(m), 0);
  EXPECT_EQ(calls, 0);
  DestroyNotificationWindow(kept);
}

TEST(MessagesQueue, AProcedureMayDestroyItsOwnWindow) {
  WindowHandle w = 0;
  int calls = 0;
  w = CreateNotificationWindow([&](const Message&) {
    ++calls;
    DestroyNotificationWindow(w);
    return std::intptr_t{42};
  });
  PostMessageTo(w, kWmUser, 0, 0);
  PostMessageTo(w, kWmUser, 0, 0);
  Message m;
  ASSERT_TRUE(PeekMessage(m));
  EXPECT_EQ(DispatchMessage(m), 42);
  EXPECT_FALSE(PeekMessage(m));  // the second one went with the window
  EXPECT_EQ(calls, 1);
}

TEST(MessagesQueue, GetMessageWaitsForPostsFromOtherThreadsAndStopsAtQuit) {
  std::vector<std::uintptr_t> got;
  WindowHandle w = CreateNotificationWindow([&](const Message& m) {
    got.push_back(m.wparam);
    return std::intptr_t{0};
  });
  const ThreadId me = CurrentThreadId();
  std::thread poster([&] {
    for (std::uintptr_t i = 0; i < 200; ++i) PostMessageTo(w, kWmUser, i, 0);
    PostThreadMessageTo(me, kWmQuit, 0, 0);
  });
  Message m;
  while (GetMessage(m)) DispatchMessage(m);
  poster.join();
  EXPECT_EQ(m.id, kWmQuit);
  ASSERT_EQ(got.size(), 200u);
  for (std::uintptr_t i = 0; i < 200; ++i) EXPECT_EQ(got[i], i);
  DestroyNotificationWindow(w);
}

TEST(MessagesQueue, WaitMessageReturnsOnceAMessageIsQueued) {
  EnsureMessageQueue();
  const ThreadId me = CurrentThreadId();
  std::thread poster([me] { PostThreadMessageTo(me, kWmUser + 9, 0, 0); });
  WaitMessage();
  Message m;
  ASSERT_TRUE(PeekMessage(m));
  EXPECT_EQ(m.id, kWmUser + 9);
  poster.join();
}

TEST(MessagesQueue, WaitMessageForWaitsItsWholeTimeAndWakesForAPost) {
  EnsureMessageQueue();
  // Short waits too: one that ended at the last whole millisecond would turn into a spin.
  for (int ms : {1, 2, 3, 20}) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitMessageFor(ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms)) << ms;
  }
  const ThreadId me = CurrentThreadId();
  std::thread poster([me] { PostThreadMessageTo(me, kWmUser + 9, 0, 0); });
  EXPECT_TRUE(WaitMessageFor(60000));
  poster.join();
  Message m;
  ASSERT_TRUE(PeekMessage(m));
  EXPECT_EQ(m.id, kWmUser + 9);
}

TEST(MessagesQueue, WaitMessageUntilWaitsForItsInstantAndWakesForAPost) {
  EnsureMessageQueue();
  const ThreadId me = CurrentThreadId();
  using std::chrono::steady_clock;
  std::thread poster([me] { PostThreadMessageTo(me, kWmUser + 9, 0, 0); });
  EXPECT_TRUE(WaitMessageUntil(steady_clock::now() + std::chrono::seconds(60)));
  poster.join();
  Message m;
  ASSERT_TRUE(PeekMessage(m));
  // A message that waits already answers at once; then the wait goes on to the same instant.
  const auto instant = steady_clock::now() + std::chrono::milliseconds(20);
  PostThreadMessageTo(me, kWmUser + 9, 0, 0);
  EXPECT_TRUE(WaitMessageUntil(instant));
  ASSERT_TRUE(PeekMessage(m));
  EXPECT_FALSE(WaitMessageUntil(instant));
  EXPECT_GE(steady_clock::now(), instant);
  EXPECT_FALSE(WaitMessageUntil(instant));  // past: only looks
}

TEST(MessagesSend, SendRunsTheProcedureOnTheOwningThreadAndAnswersItsResult) {
  std::atomic<ThreadId> ran_on{0};
  WindowThreadRunner owner([&](const Message& m) {
    ran_on = CurrentThreadId();
    return static_cast<std::intptr_t>(m.wparam * 2);
  });
  EXPECT_EQ(SendMessageTo(owner.window(), kWmUser, 21, 0), 42);
  EXPECT_EQ(ran_on.load(), owner.id());
  EXPECT_NE(ran_on.load(), CurrentThreadId());
}

TEST(MessagesSend, ReplyMessageReleasesTheSenderBeforeTheProcedureEnds) {
  std::atomic<bool> sender_released{false};
  std::atomic<bool> finished{false};
  WindowThreadRunner owner([&](const Message&) {
    EXPECT_TRUE(ReplyMessage(7));
    EXPECT_FALSE(ReplyMessage(8));  // already replied
    EXPECT_TRUE(test::WaitUntil([&] { return sender_released.load(); }));
    finished = true;
    return std::intptr_t{9};
  });
  EXPECT_EQ(SendMessageTo(owner.window(), kWmUser, 0, 0), 7);
  sender_released = true;
  EXPECT_TRUE(test::WaitUntil([&] { return finished.load(); }));
}

TEST(MessagesSend, OnTheOwningThreadSendRunsAtOnceAndReplyAnswersFalse) {
  bool replied = true;
  WindowHandle w = CreateNotificationWindow([&](const Message&) {
    replied = ReplyMessage(1);
    return std::intptr_t{5};
  });
  EXPECT_EQ(SendMessageTo(w, kWmUser, 0, 0), 5);
  EXPECT_FALSE(replied);
  EXPECT_FALSE(ReplyMessage(1));  // outside any procedure
  DestroyNotificationWindow(w);
  EXPECT_EQ(SendMessageTo(w, kWmUser, 0, 0), 0);
}

TEST(MessagesSend, TwoThreadsSendingToEachOtherDoNotDeadlock) {
  WindowHandle mine = CreateNotificationWindow([](const Message& m) { return static_cast<std::intptr_t>(m.wparam + 1); });
  WindowThreadRunner other([mine](const Message& m) {
    // While this thread waits for the test thread, the test thread waits for this one.
    return SendMessageTo(mine, kWmUser, m.wparam, 0) * 10;
  });
  EXPECT_EQ(SendMessageTo(other.window(), kWmUser, 4, 0), 50);
  DestroyNotificationWindow(mine);
}

TEST(MessagesSend, AnEndedThreadLeavesNoQueueOrWindowsAndReleasesNobodyLate) {
  WindowThreadRunner owner([](const Message&) { return std::intptr_t{1}; });
  const WindowHandle w = owner.window();
  const ThreadId id = owner.id();
  owner.Stop();
  EXPECT_EQ(WindowThread(w), 0u);
  EXPECT_FALSE(PostThreadMessageTo(id, kWmUser, 0, 0));
  EXPECT_FALSE(PostMessageTo(w, kWmUser, 0, 0));
  EXPECT_EQ(SendMessageTo(w, kWmUser, 0, 0), 0);
}

TEST(MessagesSend, DestroyingAWindowReleasesASenderStillWaiting) {
  std::atomic<bool> block{true};
  std::atomic<WindowHandle> second{0};
  std::atomic<int> second_calls{0};
  std::atomic<bool> owner_busy{false};
  WindowThreadRunner owner([&](const Message& m) -> std::intptr_t {
    if (m.id == kWmUser + 2) {  // makes a second window on the owning thread
      return static_cast<std::intptr_t>(CreateNotificationWindow([&](const Message&) {
        ++second_calls;
        return std::intptr_t{3};
      }));
    }
    // Keeps the owner busy while a send to the second window waits, then destroys it.
    owner_busy = true;
    test::WaitUntil([&] { return !block.load(); });
    DestroyNotificationWindow(second);
    return 1;
  });
  second = static_cast<WindowHandle>(SendMessageTo(owner.window(), kWmUser + 2, 0, 0));
  ASSERT_NE(second.load(), 0u);
  std::thread busy([&] { SendMessageTo(owner.window(), kWmUser, 0, 0); });
  ASSERT_TRUE(test::WaitUntil([&] { return owner_busy.load(); }));
  std::atomic<bool> sending{false};
  std::atomic<std::intptr_t> answer{-1};
  std::thread waiting([&] {
    sending = true;
    answer = SendMessageTo(second, kWmUser, 0, 0);
  });
  test::WaitUntil([&] { return sending.load(); });
  block = false;
  waiting.join();
  busy.join();
  EXPECT_EQ(answer.load(), 0);
  EXPECT_EQ(second_calls.load(), 0);
}
