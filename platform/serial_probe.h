#pragma once
// A look at a serial device without keeping it: does the device a port name stands for exist,
// is it a serial device, and could it be opened now (no other program holds it). The device is
// opened as a serial port opens it and closed again at once.

#include <string>

namespace platform {

enum class SerialProbeResult {
  kUsable,     // opened and closed again
  kMissing,    // no device of that name
  kNotSerial,  // something that is not a serial device (a directory, a file, another device)
  kBusy,       // another program (or another port of this one) holds it
  kFailed,     // any other failure; see `error`
};

struct SerialProbe {
  SerialProbeResult result = SerialProbeResult::kFailed;
  int error = 0;     // the system's error code of the failed open (0 when usable)
  std::string path;  // the device path the name stands for (SerialDevicePath)
};

// Any thread.
SerialProbe ProbeSerialDevice(const std::string& port_name);

}  // namespace platform
