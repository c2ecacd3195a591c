#include "platform/serial_probe.h"

#include "platform/serial_device.h"
#include "platform/win/windows_api.h"

namespace platform {

SerialProbe ProbeSerialDevice(const std::string& port_name) {
  SerialProbe probe;
  probe.path = SerialDevicePath(port_name);
  // Opened as the port opens it: read and write, shared with no one.
  HANDLE opened = ::CreateFileA(probe.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
  if (opened == INVALID_HANDLE_VALUE) {
    probe.error = static_cast<int>(::GetLastError());
    switch (probe.error) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_NAME:
      case ERROR_BAD_PATHNAME:
        probe.result = SerialProbeResult::kMissing;
        break;
      // A serial port that another handle holds refuses a second open with "access denied".
      case ERROR_ACCESS_DENIED:
      case ERROR_SHARING_VIOLATION:
        probe.result = SerialProbeResult::kBusy;
        break;
      default:
        probe.result = SerialProbeResult::kFailed;
        break;
    }
    return probe;
  }
  // Files, disks and other devices of the "\\.\" name space refuse the serial driver's query.
  DCB block{};
  block.DCBlength = sizeof block;
  if (::GetCommState(opened, &block)) {
    probe.result = SerialProbeResult::kUsable;
  } else {
    probe.error = static_cast<int>(::GetLastError());
    probe.result = SerialProbeResult::kNotSerial;
  }
  ::CloseHandle(opened);
  return probe;
}

}  // namespace platform
