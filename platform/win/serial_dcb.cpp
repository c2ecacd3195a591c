#include "platform/win/serial_dcb.h"

namespace platform::win_serial {

DCB SerialDcb(const SerialControlBlock& block) {
  DCB dcb{};  // the reserved fields stay 0
  dcb.DCBlength = block.length;
  dcb.BaudRate = block.baud_rate;
  dcb.fBinary = block.binary;
  dcb.fParity = block.parity_check;
  dcb.fOutxCtsFlow = block.out_cts_flow;
  dcb.fOutxDsrFlow = block.out_dsr_flow;
  dcb.fDtrControl = block.dtr_control & 3;
  dcb.fDsrSensitivity = block.dsr_sensitivity;
  dcb.fTXContinueOnXoff = block.tx_continue_on_xoff;
  dcb.fOutX = block.out_x;
  dcb.fInX = block.in_x;
  dcb.fErrorChar = block.error_char_enabled;
  dcb.fNull = block.discard_null;
  dcb.fRtsControl = block.rts_control & 3;
  dcb.fAbortOnError = block.abort_on_error;
  dcb.XonLim = block.xon_limit;
  dcb.XoffLim = block.xoff_limit;
  dcb.ByteSize = block.byte_size;
  dcb.Parity = block.parity;
  dcb.StopBits = block.stop_bits;
  dcb.XonChar = static_cast<char>(block.xon_char);
  dcb.XoffChar = static_cast<char>(block.xoff_char);
  dcb.ErrorChar = static_cast<char>(block.error_char);
  dcb.EofChar = static_cast<char>(block.eof_char);
  dcb.EvtChar = static_cast<char>(block.event_char);
  return dcb;
}

bool TookLineSettings(const DCB& wanted, const DCB& got) {
  return got.BaudRate == wanted.BaudRate && got.ByteSize == wanted.ByteSize && got.Parity == wanted.Parity &&
         got.StopBits == wanted.StopBits && got.fOutxCtsFlow == wanted.fOutxCtsFlow &&
         got.fRtsControl == wanted.fRtsControl && got.fOutX == wanted.fOutX && got.fInX == wanted.fInX;
}

}  // namespace platform::win_serial
