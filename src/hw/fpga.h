// The three-byte FPGA command protocol over port C and the strobes of port E, the fixed
// commands, the JTAG identification read over port A, and two bit utilities.
#pragma once

#include <cstdint>

#include "ctl/panels.h"
#include "hw/quickusb.h"
#include "rt/runtime.h"

namespace hw {

// Port addresses.
inline constexpr uint16_t PORT_A = 0;
inline constexpr uint16_t PORT_C = 2;
inline constexpr uint16_t PORT_E = 4;

class Fpga {
 public:
  Fpga(rt::Runtime &rt, const ctl::Panels &panels, QuickUsb &usb)
      : rt_(rt), panels_(panels), usb_(usb) {}

  // Sends one command: 1 when sent, 0 when no module is connected (nothing written).
  int WriteCommandFPGA(uint8_t command, uint8_t byte1, uint8_t byte2);

  // Callbacks (act on commit only, return 0).
  int Write_Instruction(int panel, int control, int event);
  int Rst_fpga(int panel, int control, int event);
  int ResetAdcCompensation(int panel, int control, int event);
  int Read_JTAG(int panel, int control, int event);

  QuickUsb &usb() { return usb_; }

 private:
  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  QuickUsb &usb_;
};

// Writes the eight bits of value, most significant first, as '1'/'0' into text (9 bytes).
int CharToBitString(uint8_t value, char *text);
// value with its bit order reversed.
uint8_t SwapByte(uint8_t value);

}  // namespace hw
