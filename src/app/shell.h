// Settings file, secondary panels and their small callbacks.
// (Being filled in.)
#pragma once

#include <string>

#include "acq/acquisition.h"
#include "ctl/panels.h"
#include "hw/fpga_config.h"
#include "rt/runtime.h"

namespace app {

class Shell {
 public:
  Shell(rt::Runtime &rt, const ctl::Panels &panels, hw::FpgaConfig &config, acq::Acquisition &acq)
      : rt_(rt), panels_(panels), config_(config), acq_(acq) {}

  void setSettingsPath(std::string path) { settingsPath_ = std::move(path); }
  const std::string &settingsPath() const { return settingsPath_; }
  int SaveTheUserInterfaceSettings() { return 0; }
  int ReadTheUserInterfaceSettings() { return 0; }

  int UpdateOptions() { return 0; }
  int fControlCodeBars() { return 0; }

  // Callbacks.
  int OpenOptionUI(int, int, int) { return 0; }
  int CloseOptionsPanel(int, int, int) { return 0; }
  int ViewRawDatas(int, int, int) { return 0; }
  int CloseRawDataPanel(int, int, int) { return 0; }
  int CloseShowFrame(int, int, int) { return 0; }
  int ShowTestPanel(int, int, int) { return 0; }
  int CloseTestCFC(int, int, int) { return 0; }
  int ChangeOptionUI(int, int, int) { return 0; }
  int UpdateOptionPanelValues(int, int, int) { return 0; }
  int UpdateConfigPanelandUSB(int, int, int) { return 0; }
  int UIChangeSetup(int, int, int) { return 0; }
  int ControlCodeBars(int, int, int) { return 0; }
  int ChangeLinearityFile(int, int, int) { return 0; }

  int SetupCurrentAlreadyLoaded = 0;
  int UnderTest = 0;

 private:
  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  hw::FpgaConfig &config_;
  acq::Acquisition &acq_;
  std::string settingsPath_;
};

}  // namespace app
