#pragma once
// The port's four settings groups. Each holds a back reference to its port: changing a
// member to a different value stores it and re-applies the group to the open device.
// Assign copies every member and applies nothing by itself.

#include <cstdint>

#include "serial/com_types.h"

class TCustomComPort;

class TComParity {
 public:
  explicit TComParity(TCustomComPort* port = nullptr) : port_(port) {}
  void Assign(const TComParity& other);

  TParityBits Bits() const { return bits_; }
  bool Check() const { return check_; }
  bool Replace() const { return replace_; }
  std::uint8_t ReplaceChar() const { return replace_char_; }
  void SetBits(TParityBits value);
  void SetCheck(bool value);
  void SetReplace(bool value);
  void SetReplaceChar(std::uint8_t value);

 private:
  template <typename T> void Change(T& field, T value);
  TCustomComPort* port_;
  TParityBits bits_ = prNone;
  bool check_ = false;
  bool replace_ = false;
  std::uint8_t replace_char_ = 0;
};

class TComFlowControl {
 public:
  explicit TComFlowControl(TCustomComPort* port = nullptr) : port_(port) {}
  void Assign(const TComFlowControl& other);

  bool OutCTSFlow() const { return out_cts_flow_; }
  bool OutDSRFlow() const { return out_dsr_flow_; }
  TDTRFlowControl ControlDTR() const { return control_dtr_; }
  TRTSFlowControl ControlRTS() const { return control_rts_; }
  bool XonXoffOut() const { return xon_xoff_out_; }
  bool XonXoffIn() const { return xon_xoff_in_; }
  bool DSRSensitivity() const { return dsr_sensitivity_; }
  bool TxContinueOnXoff() const { return tx_continue_on_xoff_; }
  std::uint8_t XonChar() const { return xon_char_; }
  std::uint8_t XoffChar() const { return xoff_char_; }
  void SetOutCTSFlow(bool value);
  void SetOutDSRFlow(bool value);
  void SetControlDTR(TDTRFlowControl value);
  void SetControlRTS(TRTSFlowControl value);
  void SetXonXoffOut(bool value);
  void SetXonXoffIn(bool value);
  void SetDSRSensitivity(bool value);
  void SetTxContinueOnXoff(bool value);
  void SetXonChar(std::uint8_t value);
  void SetXoffChar(std::uint8_t value);

  // Derived from RTS control, CTS flow and the two Xon/Xoff members; never stored.
  TFlowControl FlowControl() const;
  // fcHardware, fcSoftware and fcNone reset those four members and set the chosen ones;
  // fcCustom changes nothing. The line settings are applied in every case.
  void SetFlowControl(TFlowControl value);

 private:
  template <typename T> void Change(T& field, T value);
  TCustomComPort* port_;
  bool out_cts_flow_ = false;
  bool out_dsr_flow_ = false;
  TDTRFlowControl control_dtr_ = dtrDisable;
  TRTSFlowControl control_rts_ = rtsDisable;
  bool xon_xoff_out_ = false;
  bool xon_xoff_in_ = false;
  bool dsr_sensitivity_ = false;
  bool tx_continue_on_xoff_ = false;
  std::uint8_t xon_char_ = 17;
  std::uint8_t xoff_char_ = 19;
};

// Milliseconds; each value reaches the driver as the same 32 bits (-1: all bits set).
class TComTimeouts {
 public:
  explicit TComTimeouts(TCustomComPort* port = nullptr) : port_(port) {}
  void Assign(const TComTimeouts& other);

  std::int32_t ReadInterval() const { return read_interval_; }
  std::int32_t ReadTotalMultiplier() const { return read_total_multiplier_; }
  std::int32_t ReadTotalConstant() const { return read_total_constant_; }
  std::int32_t WriteTotalMultiplier() const { return write_total_multiplier_; }
  std::int32_t WriteTotalConstant() const { return write_total_constant_; }
  void SetReadInterval(std::int32_t value);
  void SetReadTotalMultiplier(std::int32_t value);
  void SetReadTotalConstant(std::int32_t value);
  void SetWriteTotalMultiplier(std::int32_t value);
  void SetWriteTotalConstant(std::int32_t value);

 private:
  void Change(std::int32_t& field, std::int32_t value);
  TCustomComPort* port_;
  std::int32_t read_interval_ = -1;
  std::int32_t read_total_multiplier_ = 0;
  std::int32_t read_total_constant_ = 0;
  std::int32_t write_total_multiplier_ = 100;
  std::int32_t write_total_constant_ = 1000;
};

// Driver queue sizes in bytes; a positive odd size is stored one smaller.
class TComBuffer {
 public:
  explicit TComBuffer(TCustomComPort* port = nullptr) : port_(port) {}
  void Assign(const TComBuffer& other);

  std::int32_t InputSize() const { return input_size_; }
  std::int32_t OutputSize() const { return output_size_; }
  void SetInputSize(std::int32_t value);
  void SetOutputSize(std::int32_t value);

 private:
  void Change(std::int32_t& field, std::int32_t value);
  TCustomComPort* port_;
  std::int32_t input_size_ = 1024;
  std::int32_t output_size_ = 1024;
};
