// Kept apart from the other serial sources: the kernel's termios2 headers clash with the C
// library's <termios.h>. Also the RS-485 mode, whose ioctls come with those headers.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include "platform/linux/serial_device_state.h"

namespace platform::linux_serial {

int SetCustomBaudRate(int fd, std::uint32_t rate) {
  struct termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return errno;
  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ispeed = rate;
  settings.c_ospeed = rate;
  if (ioctl(fd, TCSETS2, &settings) != 0) return errno;
  // A driver that cannot reach the rate keeps another one and still succeeds.
  if (ioctl(fd, TCGETS2, &settings) != 0) return errno;
  return settings.c_ospeed == rate ? 0 : EINVAL;
}

int SetRs485(int fd, bool on) {
  struct serial_rs485 mode {};
  if (ioctl(fd, TIOCGRS485, &mode) != 0) {
    // A driver without the mode: only asking for it fails.
    return on ? errno : 0;
  }
  if (((mode.flags & SER_RS485_ENABLED) != 0) == on) return 0;
  if (on) {
    // The transmitter is on while a byte goes out, off after the last one.
    mode.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    mode.flags &= ~SER_RS485_RTS_AFTER_SEND;
  } else {
    mode.flags &= ~SER_RS485_ENABLED;
  }
  return ioctl(fd, TIOCSRS485, &mode) != 0 ? errno : 0;
}

}  // namespace platform::linux_serial
