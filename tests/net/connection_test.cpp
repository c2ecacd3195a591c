// Connection I/O: resets, failed sends, and keeping bytes for a peer that does not read.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/server_socket.h"
#include "tests/net/net_test_support.h"

using nettest::Pump;
using nettest::PumpUntil;

namespace {

// A listener with one accepted connection from a loopback client.
class SocketConnection : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<TServerSocket>();
    server_->SetOnClientDisconnect(TSocketNotifyEvent::FromFunction(
        [this](TObject*, TCustomWinSocket* socket) { disconnected_.push_back(socket); }));
    server_->SetActive(true);
    listening_ = server_->ListeningSocket();
    ASSERT_TRUE(client_.Connect(listening_->BoundPort()));
    ASSERT_TRUE(PumpUntil([&] { return listening_->ConnectionCount() == 1; }));
    connection_ = listening_->ConnectionAt(0);
  }

  // Waits until the connection's own socket sees the peer's reset.
  bool ResetSeen() { return test::SocketSeesReset(connection_->SocketHandle()); }

  // Fills the path to a client that does not read, until the socket takes nothing more.
  std::size_t FillWithSendBytes() {
    const ByteString chunk(std::string(64 * 1024, 'f'));
    std::size_t sent = 0;
    int result;
    while ((result = connection_->SendBytes(chunk)) > 0) sent += static_cast<std::size_t>(result);
    EXPECT_EQ(result, -1);
    return sent;
  }

  std::unique_ptr<TServerSocket> server_;
  TServerWinSocket* listening_ = nullptr;
  TServerClientWinSocket* connection_ = nullptr;
  test::Client client_;
  std::vector<TCustomWinSocket*> disconnected_;
};

// Numbered records, so that order and completeness can be checked at the far end.
std::string Record(char tag, int number) {
  std::string r(1000, static_cast<char>('a' + number % 26));
  const std::string head = std::to_string(number);
  r[0] = tag;
  r.replace(1, head.size(), head);
  r[1 + head.size()] = ':';
  r.back() = '\n';
  return r;
}

}  // namespace

TEST_F(SocketConnection, ResetIsRoutedAsAnAsynchronousErrorAndTheConnectionIsReleased) {
  if (test::RunningUnderWine()) GTEST_SKIP() << "Wine reports a reset as an orderly close";
  nettest::RoutedExceptions routed;
  std::vector<std::pair<TErrorEvent, int>> errors;
  server_->SetOnClientError(TSocketErrorEvent::FromFunction(
      [&](TObject*, TCustomWinSocket*, TErrorEvent error, int& code) { errors.push_back({error, code}); }));
  client_.Reset();
  ASSERT_TRUE(nettest::DispatchUntil([&] { return !routed.messages.empty(); }));
  EXPECT_EQ(routed.messages,
            std::vector<std::string>{"Asynchronous socket error " + std::to_string(test::kErrorConnectionReset)});
  EXPECT_EQ(routed.senders[0], connection_);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].first, eeDisconnect);
  EXPECT_EQ(errors[0].second, test::kErrorConnectionReset);
  // Closed before the error was raised, released like an orderly close.
  EXPECT_EQ(disconnected_, std::vector<TCustomWinSocket*>{connection_});
  EXPECT_EQ(listening_->ConnectionCount(), 1);
  EXPECT_FALSE(connection_->Connected());
  ASSERT_TRUE(PumpUntil([&] { return listening_->ConnectionCount() == 0; }));
}

TEST_F(SocketConnection, ResetWithTheCodeClearedIsAQuietClose) {
  if (test::RunningUnderWine()) GTEST_SKIP() << "Wine reports a reset as an orderly close";
  nettest::RoutedExceptions routed;
  server_->SetOnClientError(TSocketErrorEvent::FromFunction(
      [&](TObject*, TCustomWinSocket*, TErrorEvent, int& code) { code = 0; }));
  client_.Reset();
  ASSERT_TRUE(PumpUntil([&] { return listening_->ConnectionCount() == 0; }));
  EXPECT_TRUE(routed.messages.empty());
  EXPECT_EQ(disconnected_.size(), 1u);
}

TEST_F(SocketConnection, SendToAResetPeerReportsClosesAndRaises) {
  if (test::RunningUnderWine()) GTEST_SKIP() << "Wine reports a reset as an orderly close";
  std::vector<TErrorEvent> errors;
  server_->SetOnClientError(TSocketErrorEvent::FromFunction(
      [&](TObject*, TCustomWinSocket*, TErrorEvent error, int&) { errors.push_back(error); }));
  client_.Reset();
  ASSERT_TRUE(ResetSeen());
  try {
    connection_->SendBytes(ByteString(std::string("late")));
    ADD_FAILURE() << "no exception";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Message(), nettest::SocketErrorText(test::kErrorConnectionReset, "send"));
  }
  EXPECT_EQ(errors, std::vector<TErrorEvent>{eeSend});
  EXPECT_EQ(disconnected_.size(), 1u);
  EXPECT_FALSE(connection_->Connected());
  ASSERT_TRUE(PumpUntil([&] { return listening_->ConnectionCount() == 0; }));
}

TEST_F(SocketConnection, ReceiveFromAResetPeerReportsClosesAndRaises) {
  if (test::RunningUnderWine()) GTEST_SKIP() << "Wine reports a reset as an orderly close";
  std::vector<TErrorEvent> errors;
  server_->SetOnClientError(TSocketErrorEvent::FromFunction(
      [&](TObject*, TCustomWinSocket*, TErrorEvent error, int&) { errors.push_back(error); }));
  client_.Reset();
  ASSERT_TRUE(ResetSeen());
  try {
    ByteString received = connection_->ReadPending();
    ADD_FAILURE() << "no exception; received " << received.size() << " bytes";
  } catch (const ESocketError& e) {
    EXPECT_EQ(e.Message(), nettest::SocketErrorText(test::kErrorConnectionReset, "recv"));
  }
  EXPECT_EQ(errors, std::vector<TErrorEvent>{eeReceive});
  EXPECT_EQ(disconnected_.size(), 1u);
  EXPECT_FALSE(connection_->Connected());
  EXPECT_TRUE(connection_->ReadPending().empty());  // closed: empty, no error
  ASSERT_TRUE(PumpUntil([&] { return listening_->ConnectionCount() == 0; }));
}

TEST_F(SocketConnection, SendWithTheCodeClearedAnswersMinusOneAndStillCloses) {
  if (test::RunningUnderWine()) GTEST_SKIP() << "Wine reports a reset as an orderly close";
  server_->SetOnClientError(TSocketErrorEvent::FromFunction(
      [&](TObject*, TCustomWinSocket*, TErrorEvent, int& code) { code = 0; }));
  client_.Reset();
  ASSERT_TRUE(ResetSeen());
  EXPECT_EQ(connection_->SendBytes(ByteString(std::string("late"))), -1);
  EXPECT_FALSE(connection_->Connected());
  EXPECT_EQ(disconnected_.size(), 1u);
}

TEST_F(SocketConnection, SendBytesKeepsNothingWhenThePeerDoesNotRead) {
  const std::size_t sent = FillWithSendBytes();
  EXPECT_EQ(connection_->KeptBytes(), 0u);
  EXPECT_EQ(client_.Receive(sent).size(), sent);
  EXPECT_TRUE(client_.NothingWithin(std::chrono::milliseconds(100)));  // the refused chunk is gone
}

TEST_F(SocketConnection, SendOrKeepKeepsWhatTheSocketRefusesAndDeliversAllInOrder) {
  std::string expected;
  int number = 0;
  auto now = TServerClientWinSocket::Clock::now();
  while (connection_->KeptBytes() == 0) {
    std::string r = Record('k', number++);
    expected += r;
    connection_->SendOrKeep(ByteString(r));
  }
  for (int i = 0; i < 50; ++i) {  // more behind the kept bytes
    std::string r = Record('k', number++);
    expected += r;
    EXPECT_EQ(connection_->SendOrKeep(ByteString(r)), 0);
  }
  EXPECT_GT(connection_->KeptBytes(), 50u * 1000u - 1);
  EXPECT_GE(connection_->StalledSince(), now);
  EXPECT_TRUE(connection_->IsStalled(TServerClientWinSocket::Clock::now() + std::chrono::hours(1),
                                     std::chrono::minutes(1)));
  EXPECT_FALSE(connection_->IsStalled(TServerClientWinSocket::Clock::now(), std::chrono::hours(1)));

  std::string received;
  std::thread reader([&] { received = client_.Receive(expected.size()); });
  const bool drained = PumpUntil([&] { return connection_->KeptBytes() == 0; });
  reader.join();
  EXPECT_TRUE(drained);
  EXPECT_TRUE(received == expected) << "received " << received.size() << " of " << expected.size();
  EXPECT_EQ(connection_->StalledSince(), TServerClientWinSocket::Clock::time_point());
  EXPECT_FALSE(connection_->IsStalled(TServerClientWinSocket::Clock::now() + std::chrono::hours(1),
                                      std::chrono::minutes(1)));
}

TEST_F(SocketConnection, SendOrKeepClosesTheConnectionAtTheLimit) {
  EXPECT_EQ(connection_->KeptBytesLimit(), TServerClientWinSocket::kDefaultKeptBytesLimit);
  connection_->SetKeptBytesLimit(10000);
  int number = 0;
  while (connection_->KeptBytes() == 0) connection_->SendOrKeep(ByteString(Record('c', number++)));
  while (connection_->Connected()) {
    EXPECT_LE(connection_->KeptBytes(), 10000u);
    connection_->SendOrKeep(ByteString(Record('c', number++)));
  }
  EXPECT_EQ(connection_->KeptBytes(), 0u);
  EXPECT_EQ(connection_->SendOrKeep(ByteString(std::string("x"))), 0);
  // The close runs on the owning thread, after the send that asked for it.
  EXPECT_TRUE(disconnected_.empty());
  ASSERT_TRUE(PumpUntil([&] { return disconnected_.size() == 1u; }));
  EXPECT_TRUE(client_.ClosedByPeer());
  ASSERT_TRUE(PumpUntil([&] { return listening_->ConnectionCount() == 0; }));
}

// Two threads hand records to one connection while the owning thread dispatches: every
// record arrives whole, and each thread's records arrive in the order it sent them.
class MessagesSocketThreads : public SocketConnection {};

TEST_F(MessagesSocketThreads, SendOrKeepFromTwoThreadsAtOnce) {
  constexpr int kRecords = 1500;
  std::atomic<int> done{0};
  auto sender = [&](char tag) {
    for (int i = 0; i < kRecords; ++i) connection_->SendOrKeep(ByteString(Record(tag, i)));
    ++done;
  };
  std::string received;
  const std::size_t total = 2u * kRecords * 1000u;
  std::thread a(sender, 'A'), b(sender, 'B');
  // The peer starts reading once bytes are kept, so that flushing meets further sends.
  PumpUntil([&] { return done == 2 || connection_->KeptBytes() > 0; });
  std::thread reader([&] { received = client_.Receive(total); });
  const bool drained = PumpUntil([&] { return done == 2 && connection_->KeptBytes() == 0; });
  a.join();
  b.join();
  reader.join();
  ASSERT_TRUE(drained);
  ASSERT_EQ(received.size(), total);
  int next_a = 0, next_b = 0;
  for (std::size_t at = 0; at < received.size(); at += 1000) {
    const std::string r = received.substr(at, 1000);
    const char tag = r[0];
    int& next = tag == 'A' ? next_a : next_b;
    ASSERT_EQ(r, Record(tag, next)) << "at " << at;
    ++next;
  }
  EXPECT_EQ(next_a, kRecords);
  EXPECT_EQ(next_b, kRecords);
}

TEST_F(SocketConnection, ClosedByCodeRaisesDisconnectOnceAndIgnoresStaleHandles) {
  const platform::SocketHandle handle = connection_->SocketHandle();
  connection_->CloseSocketObject(handle + 1000);  // not its handle: nothing
  EXPECT_TRUE(connection_->Connected());
  connection_->CloseSocketObject(handle);
  connection_->CloseSocketObject(handle);
  EXPECT_EQ(disconnected_.size(), 1u);
  EXPECT_TRUE(client_.ClosedByPeer());
  ASSERT_TRUE(PumpUntil([&] { return listening_->ConnectionCount() == 0; }));
}

TEST_F(SocketConnection, StaleNotificationsRaiseNothingAndHandlerExceptionsAreRouted) {
  nettest::RoutedExceptions routed;
  int reads = 0;
  server_->SetOnClientRead(TSocketNotifyEvent::FromFunction([&](TObject*, TCustomWinSocket* socket) {
    ++reads;
    socket->ReadPending();
    throw ESocketError("handler failed");
  }));
  const platform::SocketHandle stale = connection_->SocketHandle() + 1000;
  platform::PostMessageTo(connection_->NotificationWindow(), kSocketNotifyMessage, static_cast<std::uintptr_t>(stale),
                          platform::kFdRead);
  platform::PostMessageTo(connection_->NotificationWindow(), kSocketNotifyMessage, static_cast<std::uintptr_t>(stale),
                          platform::kFdClose);
  Pump();
  EXPECT_EQ(reads, 0);
  EXPECT_TRUE(connection_->Connected());

  ASSERT_TRUE(client_.SendAll("1"));
  ASSERT_TRUE(PumpUntil([&] { return reads == 1; }));
  ASSERT_TRUE(client_.SendAll("2"));  // later notifications are handled as usual
  ASSERT_TRUE(PumpUntil([&] { return reads == 2; }));
  EXPECT_EQ(routed.messages, (std::vector<std::string>{"handler failed", "handler failed"}));
  EXPECT_EQ(routed.senders[0], connection_);
}
