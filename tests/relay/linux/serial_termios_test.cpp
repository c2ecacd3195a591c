// The terminal settings that a serial line of the options file produces, for the frames a
// pseudo-terminal cannot show (it keeps 8 data bits and no parity).

#include <gtest/gtest.h>

#include "platform/linux/serial_termios.h"
#include "relay/options_file.h"

namespace {

TEST(SerialTermios, EachFrameAndFlowOfALine) {
  struct Row {
    const char* line;
    tcflag_t cflag;  // of CSIZE, PARENB, PARODD, CMSPAR, CSTOPB, CRTSCTS
    tcflag_t iflag;  // of IXON, IXOFF
    speed_t speed;   // B0: left for the custom rate
  };
  const Row rows[] = {
      {"serial 9600 8N1", CS8, 0, B9600},
      {"serial 19200 7E1 rtscts", CS7 | PARENB | CRTSCTS, 0, B19200},
      {"serial 115200 6O2 xonxoff", CS6 | PARENB | PARODD | CSTOPB, IXON | IXOFF, B115200},
      {"serial 300 5M1.5", CS5 | PARENB | PARODD | CMSPAR | CSTOPB, 0, B300},
      {"serial 12345 8S1 rs485", CS8 | PARENB | CMSPAR, 0, B0},
  };
  for (const Row& row : rows) {
    const TOptionsFile file = ReadOptionsText(row.line);
    ASSERT_TRUE(file.Problems.empty()) << row.line;
    TComPort port;
    ApplySerialSettings(port, file.Options.Serial.Default.value);
    termios t{};
    ::cfsetospeed(&t, B0);
    ASSERT_EQ(platform::linux_serial::LineTermios(port.BuildControlBlock(), t), 0) << row.line;
    EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS), row.cflag) << row.line;
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF), row.iflag) << row.line;
    EXPECT_EQ(::cfgetospeed(&t), row.speed) << row.line;
  }
  // What no UART sends is refused rather than sent otherwise.
  platform::SerialControlBlock block;
  block.baud_rate = 9600;
  block.stop_bits = platform::kSerialOne5StopBits;
  termios t{};
  EXPECT_EQ(platform::linux_serial::LineTermios(block, t), EINVAL);
}

}  // namespace
