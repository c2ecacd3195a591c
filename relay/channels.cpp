// Opening what the channels use (a device-side listener for every channel, a server-side
// listener for every TCP channel, a serial port for every serial channel) and closing it all.

#include <atomic>
#include <cassert>
#include <optional>
#include <string>

#include "base/exception_routing.h"
#include "platform/serial_device.h"
#include "relay/failure_entries.h"
#include "relay/log_texts.h"
#include "relay/relay.h"

namespace {

// The client event slots a listener takes over from its template: reading; the write
// notification after kept bytes went out, which resumes paused sources; the disconnect that
// passes on the last bytes of a connection whose listener was paused.
constexpr int kReadSlot = 0;
constexpr int kWriteSlot = 1;
constexpr int kDisconnectSlot = 3;

}  // namespace

std::optional<Relay::OpenFailure> Relay::TryOpen(const std::function<void()>& open, const std::string& line_settings) {
  try {
    open();
    return std::nullopt;
  } catch (const ESocketError& e) {
    // The port is taken or not allowed, or no socket is available.
    return OpenFailure{FailureReason(e), e.ErrorCode()};
  } catch (const EComPort& e) {
    // No such serial port, not a serial port, or in use; or the device refused the line
    // settings, which the reason then names.
    platform::Text reason = FailureReason(e);
    if (e.ComErrorCode() == CError_SetStateFailed && !line_settings.empty()) {
      reason = platform::Text("the line does not take " + line_settings + ": ") + reason;
    }
    return OpenFailure{reason, e.WinErrorCode()};
  } catch (...) {
    routing::RouteException(nullptr);
    return OpenFailure{FailureReason(std::current_exception()), 0};
  }
}

void Relay::BuildPortIndexes() {
  device_ports_.Clear();
  server_ports_.Clear();
  for (int k = 1; k <= tables_.ChannelCount; ++k) {
    const TSootv& channel = tables_.ChannelTable[k];
    device_ports_.Add(channel.DevicePort, k);
    // Only a TCP channel passes on what its server side reads.
    if (channel.ChannelType == ctTcp) server_ports_.Add(channel.ServerPort, k);
  }
}

void Relay::OpenChannels() {
  assert(OnServiceThread() && "the relay opens its channels on its service thread");
  const int count = tables_.ChannelCount;
  for (std::atomic<bool>& reported : serial_failure_reported_) reported = false;  // no port is open
  ClearStatusCounts();
  if (!options_closed_reason_.empty()) {
    // The options file may have said who may connect: nothing opens rather than let in anyone
    // it meant to keep out. Its entries tell why.
    // In the order of opening: every device side, then the partners.
    for (int k = 1; k <= count; ++k) {
      log_.AppendLogLine(kSocketOpenFailedText + std::to_string(tables_.ChannelTable[k].DevicePort),
                         kServiceLogFileName);
      NoteClosedByOptions(health_[k].device);
    }
    for (int k = 1; k <= count; ++k) {
      const TSootv& channel = tables_.ChannelTable[k];
      if (channel.ChannelType == ctTcp) {
        log_.AppendLogLine(kSocketOpenFailedText + std::to_string(channel.ServerPort), kServiceLogFileName);
        NoteClosedByOptions(health_[k].server);
      }
      if (channel.ChannelType == ctSerial) NoteClosedByOptions(health_[k].serial);
    }
    return;
  }
  for (int k = 1; k <= count; ++k) OpenListenerOrReport(lsDevice, k);
  // Then the partners: every server-side listener, then every serial port, each in channel
  // order. The ports come last, so that a port delivers only once every listener exists.
  for (TChannelType type : {ctTcp, ctSerial}) {
    for (int k = 1; k <= count; ++k) {
      if (tables_.ChannelTable[k].ChannelType == type) OpenPartner(k);
    }
  }
}

void Relay::OpenPartner(int k) {
  const TSootv& channel = tables_.ChannelTable[k];
  switch (channel.ChannelType) {
    case ctTcp:
      OpenListenerOrReport(lsServer, k);
      break;
    case ctSerial:
      OpenSerialOrReport(k);
      break;
    default:
      break;  // a device side only
  }
}

void Relay::OpenListenerOrReport(TListenerSide side, int k) {
  TSideHealth& health = Health(side, k);
  const TSootv& channel = tables_.ChannelTable[k];
  const std::int32_t port = side == lsDevice ? channel.DevicePort : channel.ServerPort;
  admission_[k][side].rule = ListenerRule(side, k);
  std::optional<OpenFailure> failure = TryOpen([&] { OpenListener(side, k); });
  if (!failure) {
    NoteOpened(health);
    return;
  }
  log_.AppendLogLine(kSocketOpenFailedText + std::to_string(port), kServiceLogFileName);
  // Such a port is refused whatever word the system has for it.
  const bool out_of_range = port < 0 || port > 0xFFFF;
  if (out_of_range) failure->reason = kPortOutOfRangeReason;
  // A port that an earlier listener of the file holds is that listener's: this one never opens.
  const bool taken = PortOpenedBefore(options_.Access, device_ports_, server_ports_, side, k, port).has_value();
  const std::string retry = NoteOpenFailed(health, failure->reason, !out_of_range && !taken);
  WriteWarning(ListenerFailureEntry(k, channel, side == lsServer, failure->reason, BindText(side)) +
               platform::Text(retry));
}

void Relay::OpenSerialOrReport(int k) {
  TSideHealth& health = health_[k].serial;
  serial_failure_reported_[k] = false;  // no port of it is open
  std::optional<OpenFailure> failure = TryOpen([&] { OpenSerialPort(k); }, LineSettingsText(k));
  if (!failure) {
    NoteOpened(health);
    return;
  }
  const TSootv& channel = tables_.ChannelTable[k];
  log_.AppendLogLine(kComPortOpenFailedText + channel.ComPortName, kServiceLogFileName);
  const bool can_pass = !platform::IsNotASerialDevice(failure->code) && !DeviceTakenBefore(k);
  const std::string retry = NoteOpenFailed(health, failure->reason, can_pass);
  // Its later failures (every write to the closed port) are this one.
  if (!serial_failure_reported_[k].exchange(true)) {
    WriteWarning(SerialOpenFailureEntry(k, channel, failure->reason) + platform::Text(retry));
  }
}

void Relay::OpenListener(TListenerSide side, int k) {
  const TServerSocket& from = side == lsDevice ? *templates_.DeviceSide : *templates_.ServerSide;
  TSocket_DEV& entry = Listeners(side)[k];
  // In the table at once, so that it is there (and destroyed at the stop) even when a later
  // step raises.
  entry.Listener = std::make_unique<TServerSocket>();
  TServerSocket& listener = *entry.Listener;
  listeners_[listener.ListeningSocket()] = ListenerInfo{side, k};
  listener.SetTag(k);
  for (int slot : {kReadSlot, kWriteSlot, kDisconnectSlot}) {
    listener.AssignClientEventSlot(slot, from.ClientEventSlot(slot));
  }
  const TSootv& channel = tables_.ChannelTable[k];
  listener.SetPort(side == lsDevice ? channel.DevicePort : channel.ServerPort);
  if (options_.Backlog.Given()) listener.SetBacklog(options_.Backlog.value);
  listener.SetAddress(BindText(side));
  if (admission_[k][side].rule.Restricts()) {
    listener.SetOnAdmitPeer(TAdmitPeerEvent::FromFunction(
        [this, side, k](TObject*, std::uint32_t peer, int connections, bool& admit) {
          AdmitPeer(side, k, peer, connections, admit);
        },
        this));
  }
  listener.SetActive(true);  // this thread becomes the owner of the listener and its connections
}

std::string Relay::LineSettingsText(int k) const {
  return SerialSettingsText(SerialSettingsOf(options_.Serial, k).value);
}

void Relay::OpenSerialPort(int k) {
  std::unique_ptr<TComPort>& port = tables_.SerialPorts[k];
  port = std::make_unique<TComPort>();  // in the table at once, as a listener is
  port->SetTag(k);
  port->OnRxChar = templates_.Serial->OnRxChar;
  // A device that goes away ends the port's event thread: that is the line's failure.
  port->OnLineFailure = TComFailureEvent::FromFunction(
      [this](TObject* sender, const EComPort& failure) {
        if (auto* failed = dynamic_cast<TComPort*>(sender)) ReportSerialFailure(failed->Tag(), failure);
      },
      this);
  port->SetPort(tables_.ChannelTable[k].ComPortName);
  // Stored only: the open hands them to the device, as every later open (a retry) does.
  ApplySerialSettings(*port, SerialSettingsOf(options_.Serial, k).value);
  // The writer comes first, so that nothing is left to fail once the port is open: a port
  // that fails to open undoes its open, and then its writer goes too. A channel either
  // relays both ways or not at all.
  OpenSerialWriter(k);
  try {
    port->SetConnected(true);
  } catch (...) {
    serial_writers_[k].reset();
    throw;
  }
}

void Relay::ReportSerialFailure(int k, const EComPort& failure) {
  if (k < 1 || k > tables_.ChannelCount) return;
  if (serial_failure_reported_[k].exchange(true)) return;
  // With healing on, the service thread reports it, as it knows when the port is tried again.
  LineFailure report{FailureReason(failure), false};
  report.gone = platform::IsSerialDeviceGone(failure.WinErrorCode());
  if (RetrySeconds() == 0) WriteWarning(SerialLineFailureEntry(k, tables_.ChannelTable[k], report.reason));
  {
    std::lock_guard<std::mutex> hold(line_failures_lock_);
    line_failures_[k] = std::move(report);
  }
  platform::PostMessageTo(window_.load(), kSerialLineFailedMessage, static_cast<std::uintptr_t>(k), 0);
}

void Relay::WriteError(const platform::Text& text) const {
  if (write_error_entry_) write_error_entry_(text);
}

void Relay::WriteWarning(const platform::Text& text) const {
  if (write_warning_entry_) write_warning_entry_(text);
}

void Relay::WriteInformation(const platform::Text& text) const {
  if (write_information_entry_) write_information_entry_(text);
}

void Relay::CloseChannels() {
  const int count = tables_.ChannelCount;
  // The writers stop first: a write that waits for its line ends at once, and what they keep
  // is dropped.
  for (int k = 1; k <= count; ++k) {
    if (serial_writers_[k]) serial_writers_[k]->Stop();
  }
  // Then serial delivery ends, so the receive handler never meets a destroyed listener.
  for (int k = 1; k <= count; ++k) {
    std::unique_ptr<TComPort>& port = tables_.SerialPorts[k];
    if (!port) continue;
    try {
      port->SetConnected(false);
    } catch (const EComPort&) {
      // The port could not be closed in order (its line went away): destroying it now ends
      // its delivery instead.
      serial_writers_[k].reset();
      port.reset();
    } catch (...) {
      routing::RouteException(port.get());
      serial_writers_[k].reset();
      port.reset();
    }
  }
  flow_control_.Reset();
  listeners_.clear();
  // Nothing is open or tried again any more, and nothing is refused.
  for (TChannelHealth& channel : health_) channel = TChannelHealth{};
  next_retry_ = Clock::time_point::max();
  options_reread_at_ = Clock::time_point::max();
  for (auto& sides : admission_) sides = {};
  refusals_due_ = Clock::time_point::max();
  // reset() clears each entry before its object goes.
  for (int k = 1; k <= count; ++k) tables_.DeviceListeners[k].Listener.reset();
  for (int k = 1; k <= count; ++k) tables_.ServerListeners[k].Listener.reset();
  for (int k = 1; k <= count; ++k) {
    serial_writers_[k].reset();
    tables_.SerialPorts[k].reset();
  }
}
