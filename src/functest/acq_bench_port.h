// The real bench behind the functional test: the program's acquisition, FPGA configuration and
// QuickUSB module.
#pragma once

#include "acq/acquisition.h"
#include "functest/bench_port.h"
#include "hw/fpga_config.h"
#include "hw/quickusb.h"

namespace functest {

class AcqBenchPort final : public BenchPort {
 public:
  AcqBenchPort(rt::Runtime &rt, const ctl::Panels &panels, acq::Acquisition &acq,
               hw::FpgaConfig &config, hw::QuickUsb &usb);

  double Timer() override;
  long long WallTime() override;
  int ReadShowFrame() override;
  bool AcquisitionRunning() override;
  int ContinuousReadStartStop() override;
  int UpdateMainPanel() override;
  int UpdateMainPanelWithoutFpga() override;
  int UpdateFPGAConfigFromOptionPanel() override;
  int UpdateCurrentChangeInFPGA() override;
  int UpdateOptions() override;
  void EndRecording() override;
  acq::AcqState &state() override;
  bool ModuleConnected() override;
  std::string ModuleName() override;
  bool ModuleLost() override;
  double ModuleLostAt() override;

 private:
  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  acq::Acquisition &acq_;
  hw::FpgaConfig &config_;
  hw::QuickUsb &usb_;
  long long wallAtStart_;
  double clockAtStart_;
};

}  // namespace functest
