#include "serial/com_groups.h"

#include "serial/com_port.h"

namespace {

// Stores a different value; answers whether anything changed.
template <typename T>
bool Store(T& field, T value) {
  if (field == value) return false;
  field = value;
  return true;
}

}  // namespace

// TComParity

template <typename T>
void TComParity::Change(T& field, T value) {
  if (Store(field, value) && port_) port_->ApplyLineSettings();
}

void TComParity::Assign(const TComParity& other) {
  bits_ = other.bits_;
  check_ = other.check_;
  replace_ = other.replace_;
  replace_char_ = other.replace_char_;
}

void TComParity::SetBits(TParityBits value) { Change(bits_, value); }
void TComParity::SetCheck(bool value) { Change(check_, value); }
void TComParity::SetReplace(bool value) { Change(replace_, value); }
void TComParity::SetReplaceChar(std::uint8_t value) { Change(replace_char_, value); }

// TComFlowControl

template <typename T>
void TComFlowControl::Change(T& field, T value) {
  if (Store(field, value) && port_) port_->ApplyLineSettings();
}

void TComFlowControl::Assign(const TComFlowControl& other) {
  out_cts_flow_ = other.out_cts_flow_;
  out_dsr_flow_ = other.out_dsr_flow_;
  control_dtr_ = other.control_dtr_;
  control_rts_ = other.control_rts_;
  xon_xoff_out_ = other.xon_xoff_out_;
  xon_xoff_in_ = other.xon_xoff_in_;
  dsr_sensitivity_ = other.dsr_sensitivity_;
  tx_continue_on_xoff_ = other.tx_continue_on_xoff_;
  xon_char_ = other.xon_char_;
  xoff_char_ = other.xoff_char_;
}

void TComFlowControl::SetOutCTSFlow(bool value) { Change(out_cts_flow_, value); }
void TComFlowControl::SetOutDSRFlow(bool value) { Change(out_dsr_flow_, value); }
void TComFlowControl::SetControlDTR(TDTRFlowControl value) { Change(control_dtr_, value); }
void TComFlowControl::SetControlRTS(TRTSFlowControl value) { Change(control_rts_, value); }
void TComFlowControl::SetXonXoffOut(bool value) { Change(xon_xoff_out_, value); }
void TComFlowControl::SetXonXoffIn(bool value) { Change(xon_xoff_in_, value); }
void TComFlowControl::SetDSRSensitivity(bool value) { Change(dsr_sensitivity_, value); }
void TComFlowControl::SetTxContinueOnXoff(bool value) { Change(tx_continue_on_xoff_, value); }
void TComFlowControl::SetXonChar(std::uint8_t value) { Change(xon_char_, value); }
void TComFlowControl::SetXoffChar(std::uint8_t value) { Change(xoff_char_, value); }

TFlowControl TComFlowControl::FlowControl() const {
  const bool xon_xoff = xon_xoff_in_ && xon_xoff_out_;
  const bool no_xon_xoff = !xon_xoff_in_ && !xon_xoff_out_;
  if (control_rts_ == rtsHandshake && out_cts_flow_ && no_xon_xoff) return fcHardware;
  if (control_rts_ == rtsDisable && !out_cts_flow_ && xon_xoff) return fcSoftware;
  if (control_rts_ != rtsDisable || out_cts_flow_ || xon_xoff_in_ || xon_xoff_out_) return fcCustom;
  return fcNone;
}

void TComFlowControl::SetFlowControl(TFlowControl value) {
  if (value != fcCustom) {
    control_rts_ = rtsDisable;
    out_cts_flow_ = false;
    xon_xoff_in_ = false;
    xon_xoff_out_ = false;
    if (value == fcHardware) {
      control_rts_ = rtsHandshake;
      out_cts_flow_ = true;
    } else if (value == fcSoftware) {
      xon_xoff_in_ = true;
      xon_xoff_out_ = true;
    }
  }
  if (port_) port_->ApplyLineSettings();
}

// TComTimeouts

void TComTimeouts::Change(std::int32_t& field, std::int32_t value) {
  if (Store(field, value) && port_) port_->ApplyTimeoutSettings();
}

void TComTimeouts::Assign(const TComTimeouts& other) {
  read_interval_ = other.read_interval_;
  read_total_multiplier_ = other.read_total_multiplier_;
  read_total_constant_ = other.read_total_constant_;
  write_total_multiplier_ = other.write_total_multiplier_;
  write_total_constant_ = other.write_total_constant_;
}

void TComTimeouts::SetReadInterval(std::int32_t value) { Change(read_interval_, value); }
void TComTimeouts::SetReadTotalMultiplier(std::int32_t value) { Change(read_total_multiplier_, value); }
void TComTimeouts::SetReadTotalConstant(std::int32_t value) { Change(read_total_constant_, value); }
void TComTimeouts::SetWriteTotalMultiplier(std::int32_t value) { Change(write_total_multiplier_, value); }
void TComTimeouts::SetWriteTotalConstant(std::int32_t value) { Change(write_total_constant_, value); }

// TComBuffer

void TComBuffer::Change(std::int32_t& field, std::int32_t value) {
  if (!Store(field, value)) return;
  if (field > 0 && field % 2 == 1) --field;
  if (port_) port_->ApplyQueueSizes();
}

void TComBuffer::Assign(const TComBuffer& other) {
  input_size_ = other.input_size_;
  output_size_ = other.output_size_;
}

void TComBuffer::SetInputSize(std::int32_t value) { Change(input_size_, value); }
void TComBuffer::SetOutputSize(std::int32_t value) { Change(output_size_, value); }
