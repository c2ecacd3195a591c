#include "relay/relay.h"

#include <cassert>
#include <utility>

#include "base/exception_routing.h"
#include "base/main_thread_calls.h"
#include "relay/channel_file.h"
#include "relay/log_texts.h"

Relay::Relay(TRelaySetup setup)
    : templates_(setup.Templates),
      write_start_entry_(std::move(setup.WriteStartEntry)),
      write_warning_entry_(std::move(setup.WriteWarningEntry)),
      write_error_entry_(std::move(setup.WriteErrorEntry)),
      write_information_entry_(std::move(setup.WriteInformationEntry)),
      log_(std::move(setup.Directory), std::move(setup.LogClock)),
      flow_control_(FlowHooks()) {
  assert(templates_.DeviceSide && templates_.ServerSide && templates_.Serial);
}

Relay::~Relay() {
  CloseChannels();
  CloseWindow();
}

std::array<TSocket_DEV, kMaxChannels + 1>& Relay::Listeners(TListenerSide side) {
  return side == lsDevice ? tables_.DeviceListeners : tables_.ServerListeners;
}

const PortIndex& Relay::Ports(TListenerSide side) const { return side == lsDevice ? device_ports_ : server_ports_; }

void Relay::Start() {
  service_thread_ = platform::CurrentThreadId();
  started_ = WallClock::now();
  CloseChannels();  // a relay started again starts from nothing
  tables_.ChannelCount = 0;
  TChannelFile file = LoadChannelFile(log_.Directory());
  if (file.Found) {
    // A record keeps what its line does not set at the initial value, also on a second start.
    const int count = static_cast<int>(file.Channels.size());
    for (int k = 1; k <= kMaxChannels; ++k) {
      tables_.ChannelTable[k] = k <= count ? std::move(file.Channels[k - 1]) : TSootv{};
    }
    tables_.ChannelCount = count;
    log_.AppendLogLine(kServiceStartText, kServiceLogFileName);
    const std::string ignored = ChannelLinesIgnoredLogText(file.LinesIgnored);
    if (!ignored.empty()) log_.AppendLogLine(ignored, kServiceLogFileName);
  }
  if (write_start_entry_) write_start_entry_(kEventLogStartText);
  LoadOptions();
  OpenWindow();
  BuildPortIndexes();
  OpenChannels();
}

void Relay::Stop() {
  assert(OnServiceThread() && "the relay stops on its service thread");
  CloseChannels();
}

void Relay::Tick(std::chrono::steady_clock::time_point now) {
  assert(OnServiceThread() && "the run loop of the relay runs on its service thread");
  try {
    flow_control_.Tick(now);
  } catch (...) {
    // Network failures are handled where they happen: this is a fault.
    routing::RouteException(nullptr);
  }
  if (now >= refusals_due_) TellRefusals(now);
  if (now < next_retry_) return;
  try {
    RetryDue(now);
  } catch (...) {
    // A retry that fails to open is handled there: this is a fault.
    routing::RouteException(nullptr);
  }
}

bool Relay::HasWork() {
  assert(OnServiceThread() && "the run loop of the relay runs on its service thread");
  return flow_control_.HasWork();
}

void Relay::ClientRead(TListenerSide side, TCustomWinSocket* connection) {
  assert(OnServiceThread() && "the relay's connections are read on its service thread");
  try {
    Forward(side, connection, false);
  } catch (const ESocketError&) {
    // The read failed and closed the connection; its next read event starts afresh.
  } catch (...) {
    routing::RouteException(connection);
  }
}

void Relay::ClientWrite(TObject* sender) {
  assert(OnServiceThread() && "the relay's connections report writes on its service thread");
  try {
    if (auto* listener = dynamic_cast<TServerWinSocket*>(sender)) flow_control_.NoteDrained(listener);
  } catch (...) {
    // Resuming handles the network failures of each connection itself: this is a fault.
    routing::RouteException(sender);
  }
}

void Relay::ClientDisconnect(TListenerSide side, TCustomWinSocket* connection) {
  if (!connection->OnOwnerThread()) return;
  assert(OnServiceThread() && "the relay's connections belong to its service thread");
  try {
    Forward(side, connection, true);
  } catch (const ESocketError&) {
    // The last read failed: the connection is closing anyway.
  } catch (...) {
    routing::RouteException(connection);
  }
}

void Relay::SerialRxChar(TObject* sender, std::int32_t count) {
  assert(main_thread::IsMainThread() && "serial ports deliver to the relay on the main thread");
  if (auto* port = dynamic_cast<TComPort*>(sender)) ForwardFromSerial(port, count);
}
