// Reads, writes and driver queries of an open port. A port that is not open has no device:
// the platform refuses at once and the operation raises its code with that refusal.
#include <string>

#include "serial/com_port.h"

std::int32_t TCustomComPort::PortWrite(const ByteString& data) { return PortWrite(data, WriteAbortMark()); }

std::int32_t TCustomComPort::PortWrite(const ByteString& data, platform::SerialAbortMark abort_mark,
                                       std::size_t* taken) {
  if (taken) *taken = 0;
  if (data.empty()) return 0;
  std::size_t done = 0;
  const int error = platform::SerialWrite(device_, abort_mark, data.data(), data.size(), done);
  if (taken) *taken = done;
  if (error) throw EComPort(CError_WriteFailed, error);
  return static_cast<std::int32_t>(done);
}

platform::SerialAbortMark TCustomComPort::WriteAbortMark() const { return platform::SerialWriteAbortMark(device_); }

std::int32_t TCustomComPort::PortWriteNow(const ByteString& data, std::size_t* taken) {
  if (taken) *taken = 0;
  if (data.empty()) return 0;
  std::size_t done = 0;
  const int error = platform::SerialWriteNow(device_, data.data(), data.size(), done);
  if (taken) *taken = done;
  if (error) throw EComPort(CError_WriteFailed, error);
  return static_cast<std::int32_t>(done);
}

void TCustomComPort::AbortWrites() { (void)platform::PurgeSerial(device_, platform::kSerialPurgeTxAbort); }

std::int32_t TCustomComPort::PortRead(ByteString& data, std::int32_t count) {
  data = ByteString();
  if (count <= 0) return 0;
  ByteString buffer = ByteString::Uninitialized(static_cast<std::size_t>(count));
  std::size_t done = 0;
  if (int error = platform::SerialRead(device_, buffer.MutableData(), buffer.size(), done))
    throw EComPort(CError_ReadFailed, error);
  buffer.Truncate(done);
  data = std::move(buffer);
  return static_cast<std::int32_t>(done);
}

std::int32_t TCustomComPort::BytesWaiting() {
  std::uint32_t count = 0;
  if (int error = platform::SerialBytesWaiting(device_, count)) throw EComPort(CError_ClearComFailed, error);
  return static_cast<std::int32_t>(count);
}

TComErrors TCustomComPort::ReadLineErrors() {
  std::uint32_t flags = 0;
  if (int error = platform::SerialLineErrors(device_, flags)) throw EComPort(CError_ClearComFailed, error);
  TComErrors errors;
  if (flags & platform::kSerialErrorFrame) errors.Include(ceFrame);
  if ((flags & platform::kSerialErrorRxParity) && parity_.Check()) errors.Include(ceRxParity);
  if (flags & platform::kSerialErrorOverrun) errors.Include(ceOverrun);
  if (flags & platform::kSerialErrorBreak) errors.Include(ceBreak);
  if (flags & platform::kSerialErrorIO) errors.Include(ceIO);
  if (flags & platform::kSerialErrorMode) errors.Include(ceMode);
  if (flags & platform::kSerialErrorRxOver) errors.Include(ceRxOver);
  if (flags & platform::kSerialErrorTxFull) errors.Include(ceTxFull);
  return errors;
}

std::uint32_t TCustomComPort::ReadModemLines() {
  std::uint32_t lines = 0;
  if (int error = platform::SerialModemLines(device_, lines)) throw EComPort(CError_ModemStatFailed, error);
  std::uint32_t result = 0;
  if (lines & platform::kSerialModemCts) result |= kModemLineCTS;
  if (lines & platform::kSerialModemDsr) result |= kModemLineDSR;
  if (lines & platform::kSerialModemRing) result |= kModemLineRing;
  if (lines & platform::kSerialModemRlsd) result |= kModemLineRLSD;
  return result;
}
