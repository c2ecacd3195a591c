#include "platform/linux/serial_termios.h"

#include <errno.h>

namespace platform::linux_serial {
namespace {

speed_t StandardSpeed(std::uint32_t rate) {
  switch (rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    default: return B0;
  }
}

constexpr tcflag_t kFrameFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

}  // namespace

bool HasStandardSpeed(std::uint32_t rate) { return StandardSpeed(rate) != B0; }

int LineTermios(const SerialControlBlock& block, termios& t) {
  if (block.byte_size < 5 || block.byte_size > 8 || block.parity > kSerialParitySpace ||
      block.stop_bits > kSerialTwoStopBits || block.baud_rate == 0) {
    return EINVAL;
  }
  if ((block.stop_bits == kSerialOne5StopBits && block.byte_size != 5) ||
      (block.stop_bits == kSerialTwoStopBits && block.byte_size == 5)) {
    return EINVAL;
  }
  ::cfmakeraw(&t);
  t.c_iflag &= ~(IXOFF | IXANY | INPCK | IGNPAR | IMAXBEL);
  t.c_cflag &= ~kFrameFlags;
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;

  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[block.byte_size - 5];
  switch (block.parity) {
    case kSerialParityOdd: t.c_cflag |= PARENB | PARODD; break;
    case kSerialParityEven: t.c_cflag |= PARENB; break;
    case kSerialParityMark: t.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case kSerialParitySpace: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (block.stop_bits != kSerialOneStopBit) t.c_cflag |= CSTOPB;
  // CRTSCTS covers both directions: output waits for CTS, input drives RTS.
  if (block.out_cts_flow || block.rts_control == kSerialRtsHandshake) t.c_cflag |= CRTSCTS;
  if (block.out_x) t.c_iflag |= IXON;
  if (block.in_x) t.c_iflag |= IXOFF;
  t.c_cc[VSTART] = static_cast<cc_t>(block.xon_char);
  t.c_cc[VSTOP] = static_cast<cc_t>(block.xoff_char);
  // With checking on, a byte received with a parity error is read as a zero byte (there is
  // no way to choose another replacement); without it the byte is passed on as received.
  if (block.parity_check) t.c_iflag |= INPCK;

  const speed_t speed = StandardSpeed(block.baud_rate);
  if (speed != B0 && (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0)) return errno;
  return 0;
}

bool TookLineSettings(const SerialControlBlock& block, const termios& wanted, const termios& got) {
  // Without parity the parity kind means nothing (a driver may keep or clear it).
  const tcflag_t frame = (wanted.c_cflag & PARENB) ? kFrameFlags : kFrameFlags & ~(PARODD | CMSPAR);
  if ((wanted.c_cflag & frame) != (got.c_cflag & frame)) return false;
  if ((wanted.c_iflag & (IXON | IXOFF)) != (got.c_iflag & (IXON | IXOFF))) return false;
  const speed_t speed = StandardSpeed(block.baud_rate);
  return speed == B0 || ::cfgetospeed(&got) == speed;
}

}  // namespace platform::linux_serial
