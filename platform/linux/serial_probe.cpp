#include "platform/serial_probe.h"

#include <cerrno>

#include "platform/serial_device.h"

namespace platform {

SerialProbe ProbeSerialDevice(const std::string& port_name) {
  SerialProbe probe;
  probe.path = SerialDevicePath(port_name);
  // The same open as the port's own, lock and exclusive mode included, so that "busy" means
  // what the relay would meet.
  SerialHandle handle = kNoSerialDevice;
  probe.error = OpenSerialDevice(port_name, handle);
  switch (probe.error) {
    case 0:
      CloseSerialDevice(handle);
      probe.result = SerialProbeResult::kUsable;
      break;
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
      probe.result = SerialProbeResult::kMissing;
      break;
    case ENOTTY:
    case EISDIR:
      probe.result = SerialProbeResult::kNotSerial;
      break;
    case EBUSY:
    case EWOULDBLOCK:
      probe.result = SerialProbeResult::kBusy;
      break;
    default:
      probe.result = SerialProbeResult::kFailed;
      break;
  }
  return probe;
}

}  // namespace platform
