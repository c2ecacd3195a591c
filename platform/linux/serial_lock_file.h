#pragma once
// Lock files for serial devices in the usual form shared by serial programs: /run/lock/LCK..name
// (name: the device's path below /dev with "/" as "_", so /dev/ttyUSB0 is LCK..ttyUSB0), holding
// the owner's process id as ten characters and a line end. Taken before the device is opened,
// so a refused open never touches the line (opening a tty raises DTR and RTS). A lock whose
// owner no longer runs is stale and is taken over.

#include <string>

namespace platform::linux_serial {

class SerialLockFile {
 public:
  SerialLockFile() = default;
  ~SerialLockFile() { Release(); }
  SerialLockFile(const SerialLockFile&) = delete;
  SerialLockFile& operator=(const SerialLockFile&) = delete;

  // Takes the lock for the device at `device_path`: 0, or EBUSY while a running process holds
  // it. Where lock files cannot be made (no lock directory, no right to write it) the answer
  // is 0 without a lock, and the device's own exclusive open is the only guard.
  int Take(const std::string& device_path);
  // Removes the lock file if this object holds it.
  void Release();

  // The lock file's path for a device path (for tests and diagnostics).
  static std::string PathFor(const std::string& device_path);

 private:
  std::string held_;  // the lock file this object made; empty when none
};

}  // namespace platform::linux_serial
