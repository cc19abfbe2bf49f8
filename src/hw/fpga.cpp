#include "hw/fpga.h"

#include "ctl/options_panel.h"

namespace hw {

int Fpga::WriteCommandFPGA(uint8_t command, uint8_t byte1, uint8_t byte2) {
  if (usb_.NbrQuickUSBConnected == 0) return 0;
  usb_.WritePortDir(PORT_C, 0xFF);
  uint8_t dir = 0;
  usb_.ReadPortDir(PORT_E, &dir);
  usb_.WritePortDir(PORT_E, dir | 0x03);
  uint8_t e = 0;
  usb_.ReadPort(PORT_E, &e);
  e |= 0x02;  // command frame
  usb_.WritePort(PORT_E, e);
  const uint8_t bytes[3] = {command, byte1, byte2};
  for (uint8_t b : bytes) {
    usb_.WritePort(PORT_C, b);
    e |= 0x01;  // strobe high
    usb_.WritePort(PORT_E, e);
    e &= static_cast<uint8_t>(~0x01);  // strobe low
    usb_.WritePort(PORT_E, e);
  }
  e &= static_cast<uint8_t>(~0x02);  // frame ends
  usb_.WritePort(PORT_E, e);
  return 1;
}

int Fpga::Write_Instruction(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  int p = panels_.OptionsPanel;
  auto low = [&](int ctrl) { return static_cast<uint8_t>(rt_.GetCtrlValI(p, ctrl) & 0xFF); };
  uint8_t command = low(ctl::Options::ManualCommand);
  uint8_t b1 = low(ctl::Options::ManualByte1);
  uint8_t b2 = low(ctl::Options::ManualByte2);
  WriteCommandFPGA(command, b1, b2);
  return 0;
}

int Fpga::Rst_fpga(int, int, int event) {
  if (event == rt::EVENT_COMMIT) WriteCommandFPGA(0x10, 0x10, 0x00);
  return 0;
}

int Fpga::ResetAdcCompensation(int, int, int event) {
  if (event == rt::EVENT_COMMIT) {
    WriteCommandFPGA(0xA0, 0xFF, 0xFF);
    WriteCommandFPGA(0xA0, 0x00, 0x00);
  }
  return 0;
}

int Fpga::Read_JTAG(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  // Without a module there is no access port to talk to: the identification is left as shown.
  if (usb_.NbrQuickUSBConnected == 0) return 0;
  uint8_t dir = 0;
  usb_.ReadPortDir(PORT_A, &dir);
  dir = static_cast<uint8_t>((dir & ~0x08) | 0x07);
  usb_.WritePortDir(PORT_A, dir);
  auto clocks = [&](int n, uint8_t low) {
    for (int i = 0; i < n; ++i) {
      usb_.WritePort(PORT_A, low);
      usb_.WritePort(PORT_A, static_cast<uint8_t>(low | 0x01));
    }
  };
  clocks(10, 0x00);  // Run-Test/Idle
  clocks(2, 0x02);   // Select-DR-Scan, Select-IR-Scan
  clocks(2, 0x00);   // Capture-IR, Shift-IR
  clocks(2, 0x04);   // instruction bits 1, 1
  clocks(3, 0x00);   // bits 0, 0, 0
  clocks(3, 0x02);   // last bit 0 and Exit1-IR, Update-IR, Select-DR-Scan
  clocks(2, 0x00);   // Capture-DR, Shift-DR
  uint32_t r = 0;
  for (int i = 0; i < 32; ++i) {
    usb_.WritePort(PORT_A, 0x00);
    usb_.WritePort(PORT_A, 0x01);
    uint8_t a = 0;
    usb_.ReadPort(PORT_A, &a);
    r = (r >> 1) | (static_cast<uint32_t>((a >> 3) & 1) << 31);
  }
  usb_.WritePort(PORT_A, 0x00);
  rt_.SetCtrlVal(panels_.OptionsPanel, ctl::Options::JtagId, static_cast<double>(r));
  return 0;
}

int CharToBitString(uint8_t value, char *text) {
  for (int i = 0; i < 8; ++i) text[i] = (value & (0x80 >> i)) ? '1' : '0';
  text[8] = '\0';
  return 1;
}

uint8_t SwapByte(uint8_t value) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i)
    if (value & (1 << i)) r |= static_cast<uint8_t>(0x80 >> i);
  return r;
}

}  // namespace hw
