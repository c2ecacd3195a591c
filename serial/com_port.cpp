#include "serial/com_port.h"

#include "base/exception_routing.h"
#include "serial/com_thread.h"

namespace {

constexpr std::int32_t kBaudRates[] = {0,     110,   300,   600,    1200,   2400,   4800,   9600,
                                       14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr std::uint8_t kDataBits[] = {5, 6, 7, 8};

}  // namespace

TCustomComPort::TCustomComPort(TObject* owner)
    : owner_(owner), parity_(this), flow_control_(this), timeouts_(this), buffer_(this) {}

TCustomComPort::~TCustomComPort() {
  try {
    SetConnected(false);
  } catch (...) {
    // A refused close leaves nothing to report to; the device is released below regardless.
  }
  if (connected_) {
    StopEventThread();
    CloseDevice();
    connected_ = false;
  }
}

void TCustomComPort::SetPort(const std::string& name) {
  if (name == port_) return;
  port_ = name;
  if (connected_ && !loading_) {
    SetConnected(false);
    SetConnected(true);
  }
}

void TCustomComPort::SetConnected(bool value) {
  if (loading_) {
    connected_ = value;
    return;
  }
  if (value == connected_) return;
  if (value) {
    OpenSequence();
  } else {
    CloseSequence();
  }
}

// Opening and closing

void TCustomComPort::OpenSequence() {
  DoBeforeOpen();
  OpenDevice();
  connected_ = true;
  // A step that raises from here on undoes the open: the device is released and no event
  // thread runs. The thread is made early, so that the device keeps the events from then on,
  // and started last, so that a port whose open failed has delivered nothing.
  try {
    ApplyAllSettings();
    if (!events_.Empty()) {
      if (sync_method_ == smWindowSync) {
        // Runs on this (the opening) thread when it dispatches its messages.
        window_ = platform::CreateNotificationWindow([this](const platform::Message& m) -> std::intptr_t {
          if (m.id != kComEventMessage) return 0;
          platform::ReplyMessage(0);  // the event thread goes on at once
          if (!connected_) return 0;
          try {
            RunEventSteps(MaskToEvents(static_cast<std::uint32_t>(m.wparam)));  // one bit: one step
          } catch (...) {
            routing::RouteException(this);
          }
          return 0;
        });
      }
      thread_ = std::make_unique<TComThread>(*this);
    }
    DoAfterOpen();
    DoCTSChange(ReadModemLines() & kModemLineCTS);
    DoDSRChange(ReadModemLines() & kModemLineDSR);
    DoRLSDChange(ReadModemLines() & kModemLineRLSD);
    if (thread_) thread_->Start();
  } catch (...) {
    StopEventThread();
    CloseDevice();
    connected_ = false;
    throw;
  }
}

void TCustomComPort::CloseSequence() {
  DoCTSChange(false);
  DoDSRChange(false);
  DoRLSDChange(false);
  DoBeforeClose();
  if (int error = platform::PurgeSerial(device_, platform::kSerialPurgeTxAbort | platform::kSerialPurgeRxAbort)) {
    throw EComPort(CError_PurgeFailed, error);
  }
  StopEventThread();
  CloseDevice();
  connected_ = false;
  DoAfterClose();
}

void TCustomComPort::StopEventThread() {
  if (thread_) {
    thread_->SignalStop();
    // The window goes before the wait: an event thread blocked in sending to it is released
    // (the send answers at once), so a close on the window's own thread cannot deadlock.
    if (window_) platform::DestroyNotificationWindow(window_);
    window_ = 0;
    thread_.reset();
  }
  if (window_) platform::DestroyNotificationWindow(window_);
  window_ = 0;
}

void TCustomComPort::OpenDevice() {
  platform::SerialHandle handle = platform::kNoSerialDevice;
  if (int error = platform::OpenSerialDevice(port_, handle)) throw EComPort(CError_OpenFailed, error);
  device_ = handle;
}

void TCustomComPort::CloseDevice() {
  platform::SerialHandle handle = device_.exchange(platform::kNoSerialDevice);
  if (handle != platform::kNoSerialDevice) platform::CloseSerialDevice(handle);
}

// Applying settings

void TCustomComPort::ApplyAllSettings() {
  ApplyQueueSizes();
  ApplyLineSettings();
  ApplyTimeoutSettings();
}

platform::SerialControlBlock TCustomComPort::BuildControlBlock() const {
  platform::SerialControlBlock b;
  b.length = 28;
  b.baud_rate = static_cast<std::uint32_t>(baud_rate_ == brCustom ? custom_baud_rate_ : kBaudRates[baud_rate_]);
  b.binary = true;
  b.parity_check = parity_.Check();
  b.out_cts_flow = flow_control_.OutCTSFlow();
  b.out_dsr_flow = flow_control_.OutDSRFlow();
  b.dtr_control = static_cast<std::uint8_t>(flow_control_.ControlDTR());
  b.dsr_sensitivity = flow_control_.DSRSensitivity();
  b.tx_continue_on_xoff = flow_control_.TxContinueOnXoff();
  b.out_x = flow_control_.XonXoffOut();
  b.in_x = flow_control_.XonXoffIn();
  b.error_char_enabled = parity_.Check() && parity_.Replace();
  b.discard_null = discard_null_;
  b.rts_control = static_cast<std::uint8_t>(flow_control_.ControlRTS());
  b.abort_on_error = false;
  b.xon_limit = static_cast<std::uint16_t>(buffer_.InputSize() / 4);
  b.xoff_limit = static_cast<std::uint16_t>(buffer_.InputSize() / 4);
  b.byte_size = kDataBits[data_bits_];
  b.parity = static_cast<std::uint8_t>(parity_.Bits());
  b.stop_bits = static_cast<std::uint8_t>(stop_bits_);
  b.xon_char = flow_control_.XonChar();
  b.xoff_char = flow_control_.XoffChar();
  b.error_char = b.error_char_enabled ? parity_.ReplaceChar() : 0;
  b.eof_char = 0;
  b.event_char = event_char_;
  return b;
}

platform::SerialTimeouts TCustomComPort::BuildTimeouts() const {
  platform::SerialTimeouts t;
  t.read_interval = static_cast<std::uint32_t>(timeouts_.ReadInterval());
  t.read_total_multiplier = static_cast<std::uint32_t>(timeouts_.ReadTotalMultiplier());
  t.read_total_constant = static_cast<std::uint32_t>(timeouts_.ReadTotalConstant());
  t.write_total_multiplier = static_cast<std::uint32_t>(timeouts_.WriteTotalMultiplier());
  t.write_total_constant = static_cast<std::uint32_t>(timeouts_.WriteTotalConstant());
  return t;
}

void TCustomComPort::ApplyLineSettings() {
  if (!CanApply()) return;
  if (int error = platform::SetSerialControlBlock(device_, BuildControlBlock()))
    throw EComPort(CError_SetStateFailed, error);
}

void TCustomComPort::ApplyTimeoutSettings() {
  if (!CanApply()) return;
  if (int error = platform::SetSerialTimeouts(device_, BuildTimeouts())) throw EComPort(CError_TimeoutsFailed, error);
}

void TCustomComPort::ApplyQueueSizes() {
  if (!CanApply()) return;
  if (int error = platform::SetSerialQueueSizes(device_, static_cast<std::uint32_t>(buffer_.InputSize()),
                                                static_cast<std::uint32_t>(buffer_.OutputSize())))
    throw EComPort(CError_SetupComFailed, error);
}

// Event steps

void TCustomComPort::RunEventSteps(TComEvents events) {
  for (const TComEventStep& step : kComEventSteps) {
    if (events.Contains(step.event)) RunEventStep(step.event);
  }
}

TComEvents TCustomComPort::HandledEvents() const {
  TComEvents handled;
  if (OnError) handled.Include(evError);
  if (OnRxChar) handled.Include(evRxChar);
  if (OnTxEmpty) handled.Include(evTxEmpty);
  if (OnBreak) handled.Include(evBreak);
  if (OnRing) handled.Include(evRing);
  if (OnCTSChange) handled.Include(evCTS);
  if (OnDSRChange) handled.Include(evDSR);
  if (OnRxFlag) handled.Include(evRxFlag);
  if (OnRLSDChange) handled.Include(evRLSD);
  if (OnRx80Full) handled.Include(evRx80Full);
  return handled;
}

void TCustomComPort::RunEventStep(TComEvent event) {
  // A step whose hook would do nothing also asks the driver nothing.
  if (!HandledEvents().Contains(event)) return;
  switch (event) {
    case evError: {
      TComErrors errors = ReadLineErrors();
      if (!errors.Empty()) DoError(errors);
      break;
    }
    case evRxChar: {
      std::int32_t count = BytesWaiting();
      if (count > 0) DoRxChar(count);
      break;
    }
    case evTxEmpty: DoTxEmpty(); break;
    case evBreak: DoBreak(); break;
    case evRing: DoRing(); break;
    case evCTS: DoCTSChange(ReadModemLines() & kModemLineCTS); break;
    case evDSR: DoDSRChange(ReadModemLines() & kModemLineDSR); break;
    case evRxFlag: DoRxFlag(); break;
    case evRLSD: DoRLSDChange(ReadModemLines() & kModemLineRLSD); break;
    case evRx80Full: DoRx80Full(); break;
  }
}

// Hooks: each calls its slot when a handler is assigned.

void TCustomComPort::DoAfterOpen() { if (OnAfterOpen) OnAfterOpen(this); }
void TCustomComPort::DoAfterClose() { if (OnAfterClose) OnAfterClose(this); }
void TCustomComPort::DoBeforeOpen() { if (OnBeforeOpen) OnBeforeOpen(this); }
void TCustomComPort::DoBeforeClose() { if (OnBeforeClose) OnBeforeClose(this); }
void TCustomComPort::DoRxChar(std::int32_t count) { if (OnRxChar) OnRxChar(this, count); }
void TCustomComPort::DoRxBuf(const void* buffer, std::int32_t count) { if (OnRxBuf) OnRxBuf(this, buffer, count); }
void TCustomComPort::DoTxEmpty() { if (OnTxEmpty) OnTxEmpty(this); }
void TCustomComPort::DoBreak() { if (OnBreak) OnBreak(this); }
void TCustomComPort::DoRing() { if (OnRing) OnRing(this); }
void TCustomComPort::DoCTSChange(bool on) { if (OnCTSChange) OnCTSChange(this, on); }
void TCustomComPort::DoDSRChange(bool on) { if (OnDSRChange) OnDSRChange(this, on); }
void TCustomComPort::DoRLSDChange(bool on) { if (OnRLSDChange) OnRLSDChange(this, on); }
void TCustomComPort::DoRxFlag() { if (OnRxFlag) OnRxFlag(this); }
void TCustomComPort::DoError(TComErrors errors) { if (OnError) OnError(this, errors); }
void TCustomComPort::DoRx80Full() { if (OnRx80Full) OnRx80Full(this); }
