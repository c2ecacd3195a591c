#pragma once
// Helpers for the socket layer tests: dispatching the test thread's messages with a deadline,
// and catching what window procedures route.

#include <exception>
#include <string>
#include <vector>

#include "base/exception.h"
#include "base/exception_routing.h"
#include "platform/messages.h"
#include "tests/support/test_support.h"

namespace nettest {

// Dispatches every message waiting for the test thread.
inline void Pump() {
  platform::Message m;
  while (platform::PeekMessage(m)) platform::DispatchMessage(m);
}

// Dispatches until `condition` holds or the deadline passes.
template <typename Condition>
bool PumpUntil(Condition condition) {
  return test::WaitUntil([&] {
    Pump();
    return condition();
  });
}

// Dispatches one message at a time until `condition` holds after a dispatch, so that
// messages queued behind stay queued.
template <typename Condition>
bool DispatchUntil(Condition condition) {
  return test::WaitUntil([&] {
    platform::Message m;
    while (platform::PeekMessage(m)) {
      platform::DispatchMessage(m);
      if (condition()) return true;
    }
    return condition();
  });
}

// The message of an ESocketError for a system error code and the call that failed.
inline std::string SocketErrorText(int code, const std::string& api) {
  return "Windows socket error: " + SystemErrorText(code) + " (" + std::to_string(code) + "), on API '" + api + "'";
}

// Records the messages of routed exceptions while it lives.
class RoutedExceptions {
 public:
  RoutedExceptions() {
    routing::SetRouter([this](TObject* sender, std::exception_ptr error) {
      senders.push_back(sender);
      try {
        std::rethrow_exception(error);
      } catch (const Exception& e) {
        messages.push_back(e.Message());
      } catch (...) {
        messages.push_back("?");
      }
    });
  }
  ~RoutedExceptions() { routing::SetRouter(nullptr); }
  std::vector<TObject*> senders;
  std::vector<std::string> messages;
};

}  // namespace nettest
