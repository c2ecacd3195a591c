// The control block that a serial line of the options file hands to the Windows driver.

#include <gtest/gtest.h>

#include "platform/win/serial_dcb.h"
#include "relay/options_file.h"

namespace {

TEST(SerialDcb, EachFrameAndFlowOfALine) {
  struct Row {
    const char* line;
    DWORD baud;
    BYTE byte_size, parity, stop_bits;
    DWORD cts, rts, out_x, in_x;
  };
  const Row rows[] = {
      {"", 9600, 8, NOPARITY, ONESTOPBIT, 0, RTS_CONTROL_DISABLE, 0, 0},
      {"serial 19200 7E1 rtscts", 19200, 7, EVENPARITY, ONESTOPBIT, 1, RTS_CONTROL_HANDSHAKE, 0, 0},
      {"serial 115200 6O2 xonxoff", 115200, 6, ODDPARITY, TWOSTOPBITS, 0, RTS_CONTROL_DISABLE, 1, 1},
      {"serial 300 5M1.5", 300, 5, MARKPARITY, ONE5STOPBITS, 0, RTS_CONTROL_DISABLE, 0, 0},
      {"serial 12345 8S1 rs485", 12345, 8, SPACEPARITY, ONESTOPBIT, 0, RTS_CONTROL_TOGGLE, 0, 0},
  };
  for (const Row& row : rows) {
    const TOptionsFile file = ReadOptionsText(row.line);
    ASSERT_TRUE(file.Problems.empty()) << row.line;
    TComPort port;
    ApplySerialSettings(port, SerialSettingsOf(file.Options.Serial, 1).value);
    const DCB dcb = platform::win_serial::SerialDcb(port.BuildControlBlock());
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB)) << row.line;
    EXPECT_EQ(dcb.BaudRate, row.baud) << row.line;
    EXPECT_EQ(dcb.ByteSize, row.byte_size) << row.line;
    EXPECT_EQ(dcb.Parity, row.parity) << row.line;
    EXPECT_EQ(dcb.StopBits, row.stop_bits) << row.line;
    EXPECT_EQ(dcb.fOutxCtsFlow, row.cts) << row.line;
    EXPECT_EQ(dcb.fRtsControl, row.rts) << row.line;
    EXPECT_EQ(dcb.fOutX, row.out_x) << row.line;
    EXPECT_EQ(dcb.fInX, row.in_x) << row.line;
    EXPECT_TRUE(dcb.fBinary) << row.line;
  }
}

}  // namespace
