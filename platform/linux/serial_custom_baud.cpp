// Kept apart from the other serial sources: the kernel's termios2 headers clash with the C
// library's <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <errno.h>
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
  return 0;
}

}  // namespace platform::linux_serial
