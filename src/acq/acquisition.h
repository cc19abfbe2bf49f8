// Block reading, decoding, analysis and displays, continuous acquisition.
// (Being filled in: the shared acquisition state and the read cycle.)
#pragma once

#include <functional>

#include "ctl/panels.h"
#include "hw/fpga_config.h"
#include "hw/quickusb.h"
#include "rt/runtime.h"

namespace acq {

class Acquisition {
 public:
  Acquisition(rt::Runtime &rt, const ctl::Panels &panels, hw::QuickUsb &usb, hw::FpgaConfig &config)
      : rt_(rt), panels_(panels), usb_(usb), config_(config) {}

  int ReadShowFrame() { return 0; }
  int ContinuousReadStartStop() { return 0; }

  // Callbacks.
  int ReadFrame(int, int, int) { return 0; }
  int ContiReads(int, int, int) { return 0; }
  int ReadData__(int, int, int) { return 0; }
  int TimerRefresh(int, int, int) { return 0; }
  int KeyCallback(int, int, int, int) { return 0; }
  int UpdatePanelSumMax(int, int, int) { return 0; }

  // Display switches set by the secondary panels.
  int ViewRaw = 0;
  int ViewFrame = 0;
  int ShowGraph = 1;
  int SizeOfFrameShort = 20;
  uint16_t SizeOfFrameByte = 40;
  uint16_t CardNumber = 1;
  int WriteIntoFile = 0;

  // Called by TimerRefresh after the read: the barcode focus routine of the test panel.
  std::function<void()> refreshIdentification;

 private:
  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  hw::QuickUsb &usb_;
  hw::FpgaConfig &config_;
};

}  // namespace acq
