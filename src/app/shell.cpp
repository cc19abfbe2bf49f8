#include "app/shell.h"

#include <charconv>
#include <cstdint>
#include <sstream>

#include "app/bench.h"
#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"
#include "functest/identification.h"
#include "rt/input_file.h"
#include "rt/scan.h"

namespace app {

namespace {

// The integer read with "  %d" from `text` starting at character `from`; 0 when none can be read.
int numberFrom(const std::string &text, size_t from) { return rt::scanIntAt(text, from); }

}  // namespace

Shell::Shell(rt::Runtime &rt, const ctl::Panels &panels, hw::FpgaConfig &config,
             acq::Acquisition &acq, hw::CurrentSetups &setups, const functest::TestState &test)
    : rt_(rt),
      panels_(panels),
      config_(config),
      acq_(acq),
      test_(test),
      currentSetups_(rt, panels, setups) {}

std::string Shell::path() const {
  return settingsPath_.empty() ? defaultSettingsPath() : settingsPath_;
}

// ---------------------------------------------------------------- settings file

UiSettings Shell::CurrentSettings() const {
  namespace M = ctl::Main;
  namespace O = ctl::Options;
  const int mainPanel = panels_.MainPanel, opt = panels_.OptionsPanel;
  UiSettings s;
  s.ReadOutMode = rt_.GetCtrlValI(mainPanel, M::ReadOutMode);
  s.FiberSelect = rt_.GetCtrlValI(mainPanel, M::FiberSelect);
  s.SingleValueSelect = rt_.GetCtrlValI(mainPanel, M::SingleValueSelect);
  s.MultipleRunSave = rt_.GetCtrlValI(mainPanel, M::MultipleRunSave);
  s.LinearityFile = rt_.GetCtrlValS(panels_.TabBData, ctl::TabBData::LinearityFile);
  s.ModulationDivider = rt_.GetCtrlValI(opt, O::ModulationDivider);
  s.ModulationMultiplication = rt_.GetCtrlValI(opt, O::ModulationMultiplication);
  s.ModulationOffset = rt_.GetCtrlValI(opt, O::ModulationOffset);
  s.TestCfcVoltage = rt_.GetCtrlValI(opt, O::TestCfcVoltage);
  s.LinkSources = rt_.GetCtrlValI(opt, O::LinkSources);
  for (size_t ch = 0; ch < s.Sources.size(); ++ch) {
    SourceSettings &src = s.Sources[ch];
    src.SourceValue = rt_.GetCtrlValI(opt, O::SourceValue[ch]);
    src.SourceSelA = rt_.GetCtrlValI(opt, O::SourceSelA[ch]);
    src.SourceSelB = rt_.GetCtrlValI(opt, O::SourceSelB[ch]);
    src.SourceOn = rt_.GetCtrlValI(opt, O::SourceOn[ch]);
  }
  s.Unattended = unattendedInFile_;
  return s;
}

void Shell::ApplySettings(const SettingsFound &f) {
  namespace M = ctl::Main;
  namespace O = ctl::Options;
  const int mainPanel = panels_.MainPanel, opt = panels_.OptionsPanel;
  auto set = [&](int panel, int ctrl, const std::optional<int> &v) {
    if (v) rt_.SetCtrlVal(panel, ctrl, *v);
  };
  set(mainPanel, M::ReadOutMode, f.ReadOutMode);
  set(mainPanel, M::FiberSelect, f.FiberSelect);
  set(mainPanel, M::SingleValueSelect, f.SingleValueSelect);
  set(mainPanel, M::MultipleRunSave, f.MultipleRunSave);
  if (f.LinearityFile)
    rt_.SetCtrlVal(panels_.TabBData, ctl::TabBData::LinearityFile, *f.LinearityFile);
  set(opt, O::ModulationDivider, f.ModulationDivider);
  set(opt, O::ModulationMultiplication, f.ModulationMultiplication);
  set(opt, O::ModulationOffset, f.ModulationOffset);
  set(opt, O::TestCfcVoltage, f.TestCfcVoltage);
  set(opt, O::LinkSources, f.LinkSources);
  for (size_t ch = 0; ch < f.Sources.size(); ++ch) {
    set(opt, O::SourceValue[ch], f.Sources[ch][0]);
    set(opt, O::SourceSelA[ch], f.Sources[ch][1]);
    set(opt, O::SourceSelB[ch], f.Sources[ch][2]);
    set(opt, O::SourceOn[ch], f.Sources[ch][3]);
  }
  if (f.Unattended) {
    unattendedInFile_ = f.Unattended;
    if (policy_) {
      double *durations[3] = {&policy_->biasSeconds, &policy_->channelSeconds,
                              &policy_->longCheckSeconds};
      for (int k = 0; k < 3; ++k)
        if (!durationsFromOptions_[k]) *durations[k] = (*f.Unattended)[k];
    }
  }
}

int Shell::SaveTheUserInterfaceSettings() {
  const std::string file = path();
  const std::string problem = WriteSettingsFile(file, FormatSettings(CurrentSettings()));
  if (problem.empty()) {
    saveFailureReported_ = false;
  } else if (!saveFailureReported_) {
    saveFailureReported_ = true;
    rt_.MessagePopup("Settings not saved",
                     "The settings file " + file + " cannot be written (" + problem +
                         "). The settings of this session will not be restored at the next start.");
  }
  return 0;
}

int Shell::ReadTheUserInterfaceSettings() {
  const std::string file = path();
  const rt::InputFile read = rt::readInputFile(file, rt::kSettingsFileLimit);
  if (read.missing) return 0;
  if (read.ok()) {
    std::istringstream in(read.text);
    ApplySettings(ParseSettings(in));
  } else {
    // A file that is there but cannot be read (no permission, a folder, a device, far too
    // large) keeps the panel defaults, and the operator learns why.
    rt_.InsertTextBoxLine(panels_.MainPanel, ctl::Main::InfoBox, -1,
                          "The settings file '" + file + "' cannot be read: " + read.problem);
  }
  config_.UpdateFPGAConfigFromOptionPanel();
  config_.UpdateMainPanel();
  return 0;
}

// ---------------------------------------------------------------- small routines

int Shell::UpdateOptions() {
  acq_.ShowGraph = rt_.GetCtrlValI(panels_.OptionsPanel, ctl::Options::ShowGraph);
  return 0;
}

int Shell::fControlCodeBars() {
  namespace B = ctl::TabBData;
  const int page = panels_.TabBData;
  const int active = rt_.GetActiveCtrl(page);
  // A label is read into a buffer of 100 characters: at most 99 characters count.
  auto text = [&] { return rt_.GetCtrlValS(page, active).substr(0, 99); };
  auto cardNumberAt = [&](size_t from) {
    return static_cast<uint16_t>(numberFrom(text(), from)) == acq_.CardNumber;
  };
  int next = 0;
  if (active == B::DeviceBarcode1) {
    if (cardNumberAt(6)) next = B::DeviceBarcode2;
  } else if (active == B::DeviceBarcode2) {
    if (cardNumberAt(8)) next = B::BoardBarcode;
  } else if (active == B::BoardBarcode) {
    if (text().size() == 21) next = B::Otr1Barcode;
  } else if (active == B::Otr1Barcode) {
    if (text().size() == 14) next = B::Otr2Barcode;
  } else if (active == B::Otr2Barcode) {
    if (text().size() == 14) next = B::PcbVersion;
  }
  if (next != 0) rt_.SetActiveCtrl(page, next);
  return 0;
}

void Shell::loadCurrentSetupsOnce() {
  if (SetupCurrentAlreadyLoaded != 0) return;
  currentSetups_.LoadCurrentSetupIntoTheRings();
  SetupCurrentAlreadyLoaded = 1;
}

// ---------------------------------------------------------------- callbacks

int Shell::OpenOptionUI(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  rt_.DisplayPanel(panels_.OptionsPanel);
  loadCurrentSetupsOnce();
  return 0;
}

int Shell::CloseOptionsPanel(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  // The frame size chosen on the options panel takes effect here.
  acq_.SizeOfFrameShort = rt_.GetCtrlValI(panels_.OptionsPanel, ctl::Options::FrameWords);
  acq_.SizeOfFrameByte = static_cast<uint16_t>(2 * acq_.SizeOfFrameShort);
  SaveTheUserInterfaceSettings();
  rt_.HidePanel(panels_.OptionsPanel);
  return 0;
}

int Shell::ViewRawDatas(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  acq_.ViewRaw = 1;
  acq_.ViewFrame = 1;
  rt_.DisplayPanel(panels_.RawData);
  rt_.DisplayPanel(panels_.ShowFramePanel);
  return 0;
}

int Shell::CloseRawDataPanel(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  acq_.ViewRaw = 0;
  rt_.HidePanel(panels_.RawData);
  return 0;
}

int Shell::CloseShowFrame(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  rt_.HidePanel(panels_.ShowFramePanel);
  acq_.ViewFrame = 0;
  return 0;
}

int Shell::ShowTestPanel(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  rt_.DisplayPanel(panels_.TestCFCPanel);
  // During a test the panel is only shown: no reload, and the refresh timer stays off.
  if (test_.UnderTest != 0) return 0;
  loadCurrentSetupsOnce();
  rt_.SetCtrlAttribute(panels_.TabBData, ctl::TabBData::RefreshTimer, rt::ATTR_ENABLED, 1);
  return 0;
}

int Shell::CloseTestCFC(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  rt_.HidePanel(panels_.TestCFCPanel);
  SaveTheUserInterfaceSettings();
  rt_.SetCtrlAttribute(panels_.TabBData, ctl::TabBData::RefreshTimer, rt::ATTR_ENABLED, 0);
  return 0;
}

int Shell::ChangeOptionUI(int, int, int event) {
  if (event == rt::EVENT_COMMIT) UpdateOptions();
  return 0;
}

int Shell::UpdateOptionPanelValues(int, int, int event) {
  if (event == rt::EVENT_COMMIT) config_.UpdateFPGAConfigFromOptionPanel();
  return 0;
}

int Shell::UpdateConfigPanelandUSB(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  config_.UpdateMainPanel();
  SaveTheUserInterfaceSettings();
  return 0;
}

int Shell::UIChangeSetup(int, int, int event) {
  if (event == rt::EVENT_COMMIT) config_.UpdateMainPanelWithoutFpga();
  return 0;
}

int Shell::ControlCodeBars(int panel, int control, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  // A commit of the field that still has the focus is the operator's (or the scanner's) Enter:
  // the field is complete, and it is checked as the start will check it. A field that holds
  // moves the focus on, also the board label at its 20 characters, which the 21-character rule
  // of the focus routine never lets go; a field that does not keeps the focus, its text ready
  // to be replaced by the next scan, and is marked with what was expected and what was read.
  // A commit on leaving the field (the focus already elsewhere) is the focus routine's alone.
  if (panel != panels_.TabBData || rt_.GetActiveCtrl(panel) != control) {
    fControlCodeBars();
    return 0;
  }
  const auto problem =
      functest::CheckBarcodeField(rt_, panel, control, static_cast<uint16_t>(acq_.CardNumber));
  if (onScanChecked) onScanChecked(control, problem ? problem->line() : std::string());
  if (!problem)
    if (const int next = functest::NextIdentificationField(control)) rt_.SetActiveCtrl(panel, next);
  return 0;
}

int Shell::ChangeLinearityFile(int panel, int control, int event) {
  return currentSetups_.ChangeLinearityFile(panel, control, event);
}

}  // namespace app
