// Configuration of the FPGA and of the bench from the options and main panels. The panels are
// the only store of the configuration: every update reads all its controls and resends the
// complete set of commands.
#pragma once

#include <array>
#include <cstdint>

#include "ctl/panels.h"
#include "hw/fpga.h"
#include "rt/runtime.h"

namespace hw {

// One current setup: a data line of the linearity file, in stored order.
struct CurrentSetup {
  float Current = 0;  // amperes
  int Mux = 0;        // source selector A
  int Mux_1 = 0;      // source selector B
  int Dac[8] = {};    // 16-bit source value of channels 1..8
  int IntegrationTime = 0;
  int WaitingTime = 0;
  float TolerenceMin = 0;
  float TolerenceMax = 0;
};

inline constexpr int kCurrentSetupCapacity = 20;

// The table of current setups, filled from the linearity file and applied to the channels by
// UpdateCurrentChangeInFPGA. `count` records are loaded.
struct CurrentSetups {
  std::array<CurrentSetup, kCurrentSetupCapacity> CalibrParameter{};
  int count = 0;
};

class FpgaConfig {
 public:
  FpgaConfig(rt::Runtime &rt, const ctl::Panels &panels, Fpga &fpga, CurrentSetups &setups)
      : rt_(rt), panels_(panels), fpga_(fpga), setups_(setups) {}

  int UpdateFPGAConfigFromOptionPanel();
  int UpdateMainPanel();
  int UpdateMainPanelWithoutFpga();
  int UpdateCurrentChangeInFPGA();
  // Callbacks.
  int UpdateCurrentChange(int panel, int control, int event);
  int ChangeReadOutMode(int panel, int control, int event);

  int Link_current_sources = 0;
  int FileSaveMultipleRun = 0;
  int AdcCfcfocus = 0;

 private:
  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  Fpga &fpga_;
  CurrentSetups &setups_;
};

}  // namespace hw
