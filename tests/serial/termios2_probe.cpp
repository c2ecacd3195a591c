// Reads a terminal's output rate through termios2, which also shows rates that have no
// standard speed constant. Kept apart: the kernel's termios2 headers clash with <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace serial_test {

std::uint32_t OutputRateOf(int fd) {
  struct termios2 settings;
  if (ioctl(fd, TCGETS2, &settings) != 0) return 0;
  return settings.c_ospeed;
}

}  // namespace serial_test
