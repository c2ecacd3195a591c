// Changing the port's settings, and loading them from a stored form. The relay keeps every
// construction default and opens its ports directly; these are here for everyone else.

#include "base/exception_routing.h"
#include "serial/com_port.h"

template <typename T>
void TCustomComPort::ChangeLineSetting(T& field, T value) {
  if (field == value) return;
  field = value;
  ApplyLineSettings();
}

void TCustomComPort::SetBaudRate(TBaudRate value) { ChangeLineSetting(baud_rate_, value); }
void TCustomComPort::SetCustomBaudRate(std::int32_t value) { ChangeLineSetting(custom_baud_rate_, value); }
void TCustomComPort::SetDataBits(TDataBits value) { ChangeLineSetting(data_bits_, value); }
void TCustomComPort::SetStopBits(TStopBits value) { ChangeLineSetting(stop_bits_, value); }
void TCustomComPort::SetDiscardNull(bool value) { ChangeLineSetting(discard_null_, value); }
void TCustomComPort::SetEventChar(std::uint8_t value) { ChangeLineSetting(event_char_, value); }

void TCustomComPort::SetParity(const TComParity& value) {
  parity_.Assign(value);
  ApplyLineSettings();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& value) {
  flow_control_.Assign(value);
  ApplyLineSettings();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& value) {
  timeouts_.Assign(value);
  ApplyTimeoutSettings();
}

void TCustomComPort::SetBuffer(const TComBuffer& value) {
  buffer_.Assign(value);
  ApplyQueueSizes();
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
  if (value == sync_method_) return;
  if (connected_) throw EComPort(CError_ConnChangeProp);
  sync_method_ = value;
}

void TCustomComPort::Loaded() {
  loading_ = false;
  if (!connected_) return;
  connected_ = false;
  try {
    SetConnected(true);
  } catch (...) {
    routing::RouteException(this);
  }
}
