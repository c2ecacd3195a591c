// Settings, the device control block and the event masks, without a device.
#include <gtest/gtest.h>

#include "serial/com_port.h"
#include "serial/com_thread.h"

TEST(SerialSettings, ConstructionDefaults) {
  TComPort port;
  EXPECT_EQ(port.Owner(), nullptr);
  EXPECT_EQ(port.Port(), "COM1");
  EXPECT_EQ(port.BaudRate(), br9600);
  EXPECT_EQ(port.CustomBaudRate(), 9600);
  EXPECT_EQ(port.DataBits(), dbEight);
  EXPECT_EQ(port.StopBits(), sbOneStopBit);
  EXPECT_EQ(port.Parity().Bits(), prNone);
  EXPECT_EQ(port.FlowControl().FlowControl(), fcNone);
  EXPECT_EQ(port.FlowControl().XonChar(), 17);
  EXPECT_EQ(port.FlowControl().XoffChar(), 19);
  EXPECT_EQ(port.Timeouts().ReadInterval(), -1);
  EXPECT_EQ(port.Timeouts().WriteTotalMultiplier(), 100);
  EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);
  EXPECT_EQ(port.Buffer().InputSize(), 1024);
  EXPECT_EQ(port.Buffer().OutputSize(), 1024);
  EXPECT_EQ(port.Events(), kAllComEvents);
  EXPECT_EQ(port.SyncMethod(), smThreadSync);
  EXPECT_FALSE(port.Connected());
  EXPECT_EQ(port.EventThread(), nullptr);
}

TEST(SerialSettings, DefaultControlBlockAndTimeouts) {
  TComPort port;
  platform::SerialControlBlock b = port.BuildControlBlock();
  EXPECT_EQ(b.length, 28u);
  EXPECT_EQ(b.baud_rate, 9600u);
  EXPECT_EQ(b.FlagsWord(), 1u);  // only binary
  EXPECT_EQ(b.xon_limit, 256);
  EXPECT_EQ(b.xoff_limit, 256);
  EXPECT_EQ(b.byte_size, 8);
  EXPECT_EQ(b.parity, platform::kSerialParityNone);
  EXPECT_EQ(b.stop_bits, platform::kSerialOneStopBit);
  EXPECT_EQ(b.xon_char, 17);
  EXPECT_EQ(b.xoff_char, 19);
  EXPECT_EQ(b.error_char, 0);
  EXPECT_EQ(b.eof_char, 0);
  EXPECT_EQ(b.event_char, 0);

  platform::SerialTimeouts t = port.BuildTimeouts();
  EXPECT_EQ(t.read_interval, 0xFFFFFFFFu);
  EXPECT_EQ(t.read_total_multiplier, 0u);
  EXPECT_EQ(t.read_total_constant, 0u);
  EXPECT_EQ(t.write_total_multiplier, 100u);
  EXPECT_EQ(t.write_total_constant, 1000u);
}

TEST(SerialSettings, ChangedSettingsReachTheControlBlock) {
  TComPort port;
  port.SetBaudRate(brCustom);
  port.SetCustomBaudRate(12345);  // no member of TBaudRate has it
  port.SetDataBits(dbSeven);
  port.SetStopBits(sbOne5StopBits);
  port.Parity().SetBits(prMark);
  port.Parity().SetReplace(true);
  port.Parity().SetReplaceChar('?');
  port.FlowControl().SetControlDTR(dtrHandshake);
  port.FlowControl().SetControlRTS(rtsToggle);
  port.FlowControl().SetOutDSRFlow(true);
  port.FlowControl().SetXonChar(1);
  port.SetDiscardNull(true);
  port.SetEventChar('\n');

  platform::SerialControlBlock b = port.BuildControlBlock();
  EXPECT_EQ(b.baud_rate, 12345u);
  EXPECT_EQ(b.byte_size, 7);
  EXPECT_EQ(b.stop_bits, platform::kSerialOne5StopBits);
  EXPECT_EQ(b.parity, platform::kSerialParityMark);
  // Replace without Check: neither parity checking nor the error character.
  EXPECT_FALSE(b.parity_check);
  EXPECT_FALSE(b.error_char_enabled);
  EXPECT_EQ(b.error_char, 0);
  EXPECT_EQ(b.dtr_control, platform::kSerialDtrHandshake);
  EXPECT_EQ(b.rts_control, platform::kSerialRtsToggle);
  EXPECT_TRUE(b.out_dsr_flow);
  EXPECT_TRUE(b.discard_null);
  EXPECT_EQ(b.xon_char, 1);
  EXPECT_EQ(b.event_char, '\n');

  port.Parity().SetCheck(true);
  b = port.BuildControlBlock();
  EXPECT_TRUE(b.parity_check);
  EXPECT_TRUE(b.error_char_enabled);
  EXPECT_EQ(b.error_char, '?');
  EXPECT_EQ(b.FlagsWord(), 0x1u | 0x2u | 0x8u | (2u << 4) | 0x400u | 0x800u | (3u << 12));

  port.SetBaudRate(br256000);
  EXPECT_EQ(port.BuildControlBlock().baud_rate, 256000u);
}

TEST(SerialSettings, OddBufferSizesAreStoredOneSmaller) {
  TComPort port;
  port.Buffer().SetInputSize(4097);
  port.Buffer().SetOutputSize(1025);
  EXPECT_EQ(port.Buffer().InputSize(), 4096);
  EXPECT_EQ(port.Buffer().OutputSize(), 1024);
  EXPECT_EQ(port.BuildControlBlock().xon_limit, 1024);
  port.Buffer().SetInputSize(-3);  // only positive sizes are evened
  EXPECT_EQ(port.Buffer().InputSize(), -3);
}

TEST(SerialSettings, DerivedFlowControl) {
  TComPort port;
  TComFlowControl& f = port.FlowControl();
  f.SetFlowControl(fcHardware);
  EXPECT_EQ(f.ControlRTS(), rtsHandshake);
  EXPECT_TRUE(f.OutCTSFlow());
  EXPECT_EQ(f.FlowControl(), fcHardware);
  f.SetControlDTR(dtrEnable);  // DTR does not enter the derived value
  f.SetOutDSRFlow(true);
  EXPECT_EQ(f.FlowControl(), fcHardware);
  EXPECT_TRUE(port.BuildControlBlock().out_cts_flow);

  f.SetFlowControl(fcSoftware);
  EXPECT_EQ(f.ControlRTS(), rtsDisable);
  EXPECT_FALSE(f.OutCTSFlow());
  EXPECT_TRUE(f.XonXoffIn() && f.XonXoffOut());
  EXPECT_EQ(f.FlowControl(), fcSoftware);
  EXPECT_EQ(f.ControlDTR(), dtrEnable);  // kept

  f.SetXonXoffIn(false);  // one Xon/Xoff member alone
  EXPECT_EQ(f.FlowControl(), fcCustom);
  f.SetFlowControl(fcCustom);  // changes nothing
  EXPECT_FALSE(f.XonXoffIn());
  EXPECT_TRUE(f.XonXoffOut());

  f.SetFlowControl(fcNone);
  EXPECT_EQ(f.FlowControl(), fcNone);
  f.SetControlRTS(rtsEnable);
  EXPECT_EQ(f.FlowControl(), fcCustom);
}

TEST(SerialSettings, GroupsCopyEveryMember) {
  TComPort a, b;
  a.Timeouts().SetReadInterval(5);
  a.Timeouts().SetWriteTotalConstant(7);
  a.Parity().SetBits(prEven);
  a.FlowControl().SetXoffChar(3);
  b.SetTimeouts(a.Timeouts());
  b.SetParity(a.Parity());
  b.SetFlowControl(a.FlowControl());
  EXPECT_EQ(b.Timeouts().ReadInterval(), 5);
  EXPECT_EQ(b.Timeouts().WriteTotalConstant(), 7);
  EXPECT_EQ(b.Timeouts().WriteTotalMultiplier(), 100);
  EXPECT_EQ(b.Parity().Bits(), prEven);
  EXPECT_EQ(b.FlowControl().XoffChar(), 3);
}

TEST(SerialSettings, EventMasks) {
  EXPECT_EQ(EventsToMask(kAllComEvents), 0x05FFu);
  EXPECT_EQ(EventsToMask(TComEvents{}), 0u);
  EXPECT_EQ(EventsToMask(TComEvents{evRing, evRLSD}), 0x0120u);
  EXPECT_EQ(MaskToEvents(0x05FF), kAllComEvents);
  EXPECT_EQ(MaskToEvents(0x0001 | 0x0200 | 0x8000), TComEvents{evRxChar});  // unknown bits ignored
  EXPECT_EQ(MaskToEvents(0x0004), TComEvents{evTxEmpty});
  EXPECT_EQ(MaskToEvents(0x0400), TComEvents{evRx80Full});
}

TEST(SerialSettings, PortNamesMapToDevicePaths) {
  EXPECT_EQ(platform::SerialDevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(platform::SerialDevicePath("com12"), "/dev/ttyS11");
  EXPECT_EQ(platform::SerialDevicePath("Com3"), "/dev/ttyS2");
  EXPECT_EQ(platform::SerialDevicePath("COM0"), "/dev/COM0");
  EXPECT_EQ(platform::SerialDevicePath("COM1 "), "/dev/COM1 ");
  EXPECT_EQ(platform::SerialDevicePath("COM"), "/dev/COM");
  EXPECT_EQ(platform::SerialDevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(platform::SerialDevicePath("/dev/pts/3"), "/dev/pts/3");
  EXPECT_EQ(platform::SerialDevicePath(""), "/dev/");
}
