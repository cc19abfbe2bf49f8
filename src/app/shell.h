// Settings file, secondary panels and their small callbacks.
//
// The options, raw-data, frame-view and test panels are loaded hidden at start-up; the callbacks
// here show and hide them, keep the display switches of the acquisition in step with what is
// visible, save the settings file when a panel closes, forward the operator's apply actions to
// the FPGA configuration, and guide a bar-code reader through the identification fields of the
// test panel's data page.
#pragma once

#include <array>
#include <functional>
#include <optional>
#include <string>

#include "acq/acquisition.h"
#include "app/settings.h"
#include "ctl/panels.h"
#include "functest/current_setups.h"
#include "functest/step.h"
#include "functest/unattended.h"
#include "hw/fpga_config.h"
#include "rt/runtime.h"

namespace app {

class Shell {
 public:
  Shell(rt::Runtime &rt, const ctl::Panels &panels, hw::FpgaConfig &config, acq::Acquisition &acq,
        hw::CurrentSetups &setups, const functest::TestState &test);

  // Settings file path (empty: the default path).
  void setSettingsPath(std::string path) { settingsPath_ = std::move(path); }
  // The unattended policy whose durations the settings file may hold; `fromOptions` marks the
  // ones the command line gave (bias, channel, long-time check), which the file does not change.
  void setUnattended(functest::UnattendedPolicy *policy, std::array<bool, 3> fromOptions) {
    policy_ = policy;
    durationsFromOptions_ = fromOptions;
  }
  const std::string &settingsPath() const { return settingsPath_; }

  // Writes the settings file from the controls. A folder that does not exist is created; a file
  // that still cannot be written is reported to the operator once, until a write succeeds again.
  int SaveTheUserInterfaceSettings();
  // Reads the settings file into the controls and sends the configuration (options panel, then
  // main panel). Without a file nothing changes and nothing is sent.
  int ReadTheUserInterfaceSettings();

  // The settings as the controls hold them now.
  UiSettings CurrentSettings() const;
  // Puts what a read found into the controls; absent values leave their controls alone.
  void ApplySettings(const SettingsFound &found);

  // ShowGraph from Options.ShowGraph.
  int UpdateOptions();
  // Moves the focus to the next identification field of the data page once the active one holds
  // a complete label.
  int fControlCodeBars();

  // Callbacks (act on commit, return 0).
  int OpenOptionUI(int panel, int control, int event);
  int CloseOptionsPanel(int panel, int control, int event);
  int ViewRawDatas(int panel, int control, int event);
  int CloseRawDataPanel(int panel, int control, int event);
  int CloseShowFrame(int panel, int control, int event);
  int ShowTestPanel(int panel, int control, int event);
  int CloseTestCFC(int panel, int control, int event);
  int ChangeOptionUI(int panel, int control, int event);
  int UpdateOptionPanelValues(int panel, int control, int event);
  int UpdateConfigPanelandUSB(int panel, int control, int event);
  int UIChangeSetup(int panel, int control, int event);
  int ControlCodeBars(int panel, int control, int event);
  int ChangeLinearityFile(int panel, int control, int event);

  functest::CurrentSetupLoader &currentSetups() { return currentSetups_; }

  // Told of each identification field completed by Enter: its data-page id and, when it would
  // refuse the start, the problem ("Board number not correct: expected 20 characters, read 21
  // characters"); empty when it holds.
  std::function<void(int field, const std::string &problem)> onScanChecked;

  int SetupCurrentAlreadyLoaded = 0;  // 1 once the current setups are in the rings (once a run)

 private:
  functest::UnattendedPolicy *policy_ = nullptr;
  std::array<bool, 3> durationsFromOptions_{};
  std::optional<std::array<double, 3>> unattendedInFile_;
  std::string path() const;
  // Loads the current setups into the rings the first time a panel that shows them opens.
  void loadCurrentSetupsOnce();

  rt::Runtime &rt_;
  const ctl::Panels &panels_;
  hw::FpgaConfig &config_;
  acq::Acquisition &acq_;
  const functest::TestState &test_;  // UnderTest: 1 while a functional test runs
  functest::CurrentSetupLoader currentSetups_;
  std::string settingsPath_;
  bool saveFailureReported_ = false;
};

}  // namespace app
