// The relay's window on the service thread, where what runs on other threads reports: a serial
// writer that drained (paused sources may resume), a serial line that failed.

#include "base/exception_routing.h"
#include "relay/relay.h"

void Relay::OpenWindow() {
  if (window_) return;
  window_ = platform::CreateNotificationWindow([this](const platform::Message& message) -> std::intptr_t {
    try {
      return HandleMessage(message);
    } catch (...) {
      routing::RouteException(nullptr);
      return 0;
    }
  });
}

void Relay::CloseWindow() {
  if (platform::WindowHandle window = window_.exchange(0)) platform::DestroyNotificationWindow(window);
}

std::intptr_t Relay::HandleMessage(const platform::Message& message) {
  const auto k = static_cast<int>(message.wparam);
  if (message.id == kSerialLineFailedMessage) SerialLineFailed(k);
  if (message.id != kSerialDrainedMessage) return 0;
  // A report that comes after its port closed finds no writer.
  if (k >= 1 && k <= kMaxChannels && serial_writers_[k]) flow_control_.NoteSerialDrained(serial_writers_[k].get());
  return 0;
}

void Relay::OpenSerialWriter(int k) {
  TComPort& port = *tables_.SerialPorts[k];
  serial_writers_[k] = std::make_unique<SerialWriter>(
      port, FlowControl::kSerialLowWater,
      [this, k] { platform::PostMessageTo(window_.load(), kSerialDrainedMessage, static_cast<std::uintptr_t>(k), 0); },
      [this, k](const EComPort& failure) { ReportSerialFailure(k, failure); });
}
