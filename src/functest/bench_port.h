// The bench as the functional test sees it: the board's data, the acquisition, the FPGA
// configuration and the clocks. Steps reach hardware only through this interface, so a test can
// put a fake bench under a step and drive it without the whole program. The panels stay the
// panels: steps write the wanted settings into the options and main panels and ask the bench to
// send them, exactly as an operator's apply does.
#pragma once

#include <string>

#include "acq/acq_state.h"

namespace functest {

class BenchPort {
 public:
  virtual ~BenchPort() = default;

  // The seconds clock of the program (Timer()).
  virtual double Timer() = 0;
  // Wall-clock seconds since the epoch, for dates written to files: the wall clock at the
  // program's start plus the program's own elapsed time (virtual time on a simulated bench).
  virtual long long WallTime() = 0;

  // Reads one block in the mode of Main.ReadOutMode into the shared acquisition state.
  // 0 done; negative on a failed read (-10: the module is lost).
  virtual int ReadShowFrame() = 0;
  // Whether the continuous acquisition (Main.AcqTimer) is running, and its toggle.
  virtual bool AcquisitionRunning() = 0;
  virtual int ContinuousReadStartStop() = 0;

  // Send the panels' configuration to the FPGA.
  virtual int UpdateMainPanel() = 0;
  virtual int UpdateMainPanelWithoutFpga() = 0;
  virtual int UpdateFPGAConfigFromOptionPanel() = 0;
  virtual int UpdateCurrentChangeInFPGA() = 0;

  // The name of the QuickUSB module the bench drives; empty without one.
  virtual std::string ModuleName() { return {}; }
  // Applies Options.ShowGraph to the main window's data graphs (UpdateOptions). A bench
  // without graphs has nothing to do.
  virtual int UpdateOptions() { return 0; }
  // Closes the record file if one is open and switches recording off. A bench without record
  // files has nothing to do.
  virtual void EndRecording() {}

  // The shared acquisition state that every read fills.
  virtual acq::AcqState &state() = 0;
  // A module is open (0 after a module was lost or when none was found).
  virtual bool ModuleConnected() = 0;
  // The module the bench drove went away (asked of the library when not yet known), and when.
  virtual bool ModuleLost() { return false; }
  virtual double ModuleLostAt() { return 0; }
};

}  // namespace functest
