#pragma once
// The flow control's test fixture: real sockets on a clock the test moves. Test thread only.

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

#include "net/server_client_win_socket.h"
#include "net/server_socket.h"
#include "relay/flow_control.h"
#include "serial/serial_writer.h"
#include "tests/net/net_test_support.h"

namespace flow_test {

using nettest::PumpUntil;
using namespace std::chrono_literals;
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

  // Connects one more peer to the destination listener (with a receive buffer of that size,
  // when given); answers its connection.
  TServerClientWinSocket* Join(int receive_buffer = 0) {
    peers_.push_back(std::make_unique<test::Client>(listening()->BoundPort(), receive_buffer));
    const int count = static_cast<int>(peers_.size());
    EXPECT_TRUE(PumpUntil([&] { return listening()->ConnectionCount() == count; }));
    // A send buffer the system may not grow: what a peer that reads nothing leaves kept stays kept.
    TServerClientWinSocket* connection = listening()->ConnectionAt(count - 1);
    EXPECT_TRUE(test::FixSendBuffer(connection->SocketHandle()));
    return connection;
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

}  // namespace flow_test
