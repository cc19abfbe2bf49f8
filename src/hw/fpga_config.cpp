#include "hw/fpga_config.h"

#include "ctl/main_panel.h"
#include "ctl/options_panel.h"
#include "ctl/test_panel.h"

namespace hw {

namespace {

constexpr int kChannels = 8;

// Command bytes.
constexpr uint8_t kCmdReadOutMode = 0x20;
constexpr uint8_t kCmdFiber = 0x30;
constexpr uint8_t kCmdSingleValue = 0x40;
constexpr uint8_t kCmdSelectorA = 0x50;
constexpr uint8_t kCmdSourceValue = 0x60;  // + channel 1..8
constexpr uint8_t kCmdModulationOffset = 0x6B;
constexpr uint8_t kCmdTestVoltage = 0x6C;
constexpr uint8_t kCmdModulationDivider = 0x70;
constexpr uint8_t kCmdModulationMultiplication = 0x71;
constexpr uint8_t kCmdSelectorB = 0x80;
constexpr uint8_t kCmdSupplyAndSources = 0x90;

constexpr double kModulationBase = 3906.25;  // Hz at divider 1
constexpr double kModulationStep = 0.0078125;

inline uint8_t high(unsigned v) { return static_cast<uint8_t>((v >> 8) & 0xFF); }
inline uint8_t low(unsigned v) { return static_cast<uint8_t>(v & 0xFF); }
inline uint8_t channelCode(int ch) { return static_cast<uint8_t>(0x10 * ch); }  // ch 1..8
// One bit per selector value 0..7; a value outside the byte selects nothing.
inline uint8_t selectorBit(int selector) {
  return selector >= 0 && selector < 8 ? static_cast<uint8_t>(1u << selector) : 0;
}

// Main-panel controls dimmed, shown and hidden by the read-out mode.
constexpr int kModeDimmed[] = {ctl::Main::FiberSelect, ctl::Main::SingleValueSelect,
                               ctl::Main::FocusChannel, ctl::Main::ModeGatedControl};
constexpr int kRawGraphs[] = {ctl::Main::DataGraph1, ctl::Main::DataGraph2, ctl::Main::DacTable};

}  // namespace

int FpgaConfig::UpdateFPGAConfigFromOptionPanel() {
  const int o = panels_.OptionsPanel;
  auto value = [&](int ctrl) { return static_cast<unsigned>(rt_.GetCtrlValI(o, ctrl)) & 0xFFFF; };
  auto on = [&](int ctrl) { return rt_.GetCtrlValI(o, ctrl) == 1; };

  // 1, 2. Modulation, with its two displays. A divider of 0 has no frequency: shown as 0.
  const unsigned divider = value(ctl::Options::ModulationDivider);
  rt_.SetCtrlVal(o, ctl::Options::ModulationFrequency,
                 divider != 0 ? kModulationBase / divider : 0.0);
  fpga_.WriteCommandFPGA(kCmdModulationDivider, high(divider), low(divider));
  const unsigned multiplication = value(ctl::Options::ModulationMultiplication);
  rt_.SetCtrlVal(o, ctl::Options::ModulationFactorDisplay, multiplication * kModulationStep * 1000);
  fpga_.WriteCommandFPGA(kCmdModulationMultiplication, 0x00, low(multiplication));

  // 3, 4.
  const unsigned offset = value(ctl::Options::ModulationOffset);
  fpga_.WriteCommandFPGA(kCmdModulationOffset, high(offset), low(offset));
  const unsigned voltage = value(ctl::Options::TestCfcVoltage);
  fpga_.WriteCommandFPGA(kCmdTestVoltage, high(voltage), low(voltage));

  // Supply reductions.
  uint8_t supply = 0;
  if (on(ctl::Options::ReduceP5V)) supply |= 0x01;
  if (on(ctl::Options::ReduceP2V5)) supply |= 0x02;
  if (on(ctl::Options::ReduceM5V)) supply |= 0x04;

  // Linked sources: channel 1 speaks for all, the other channels' controls are dimmed.
  Link_current_sources = rt_.GetCtrlValI(o, ctl::Options::LinkSources);
  const double dim = Link_current_sources;
  for (const auto *group : {ctl::Options::SourceValue, ctl::Options::SourceSelA,
                            ctl::Options::SourceOn, ctl::Options::SourceSelB})
    for (int ch = 1; ch < kChannels; ++ch) rt_.SetCtrlAttribute(o, group[ch], rt::ATTR_DIMMED, dim);

  // Sources.
  uint8_t mask = 0;
  if (Link_current_sources == 1) {
    const unsigned v = value(ctl::Options::SourceValue[0]);
    for (int ch = 1; ch <= kChannels; ++ch)
      fpga_.WriteCommandFPGA(static_cast<uint8_t>(kCmdSourceValue + ch), high(v), low(v));
    const uint8_t a = selectorBit(rt_.GetCtrlValI(o, ctl::Options::SourceSelA[0]));
    for (int ch = 1; ch <= kChannels; ++ch)
      fpga_.WriteCommandFPGA(kCmdSelectorA, channelCode(ch), a);
    const uint8_t b = selectorBit(rt_.GetCtrlValI(o, ctl::Options::SourceSelB[0]));
    for (int ch = 1; ch <= kChannels; ++ch)
      fpga_.WriteCommandFPGA(kCmdSelectorB, channelCode(ch), b);
    mask = on(ctl::Options::SourceOn[0]) ? 0xFF : 0x00;
  } else {
    for (int ch = 1; ch <= kChannels; ++ch) {
      const unsigned v = value(ctl::Options::SourceValue[ch - 1]);
      fpga_.WriteCommandFPGA(static_cast<uint8_t>(kCmdSourceValue + ch), high(v), low(v));
      fpga_.WriteCommandFPGA(kCmdSelectorA, channelCode(ch),
                             selectorBit(rt_.GetCtrlValI(o, ctl::Options::SourceSelA[ch - 1])));
      fpga_.WriteCommandFPGA(kCmdSelectorB, channelCode(ch),
                             selectorBit(rt_.GetCtrlValI(o, ctl::Options::SourceSelB[ch - 1])));
      if (on(ctl::Options::SourceOn[ch - 1])) mask |= static_cast<uint8_t>(1u << (8 - ch));
    }
  }

  // 8.
  fpga_.WriteCommandFPGA(kCmdSupplyAndSources, supply, mask);
  return 0;
}

int FpgaConfig::UpdateMainPanel() {
  const int m = panels_.MainPanel;
  const int mode = rt_.GetCtrlValI(m, ctl::Main::ReadOutMode);
  const int fiber = rt_.GetCtrlValI(m, ctl::Main::FiberSelect);
  const int single = rt_.GetCtrlValI(m, ctl::Main::SingleValueSelect);
  FileSaveMultipleRun = rt_.GetCtrlValI(m, ctl::Main::MultipleRunSave);

  auto dim = [&](int ctrl, int v) { rt_.SetCtrlAttribute(m, ctrl, rt::ATTR_DIMMED, v); };
  auto show = [&](int ctrl, int v) { rt_.SetCtrlAttribute(m, ctrl, rt::ATTR_VISIBLE, v); };
  // The SUMS display: graph, status table, normalisation switch, plot switches, sum selector.
  auto showSums = [&](int v) {
    show(ctl::Main::SumsGraph, v);
    show(ctl::Main::StatusTable, v);
    show(ctl::Main::ShowNormalized, v);
    for (int ch = 0; ch < kChannels; ++ch) show(ctl::Main::PlotCh[ch], v);
    show(ctl::Main::SumSelect, v);
  };

  // Base state.
  for (int c : kModeDimmed) dim(c, 1);
  for (int c : kRawGraphs) show(c, 1);
  showSums(0);

  switch (mode) {
    case 0:  // RAWDATA
      dim(ctl::Main::ModeGatedControl, 0);
      fpga_.WriteCommandFPGA(kCmdReadOutMode, 0x10, 0x00);
      break;
    case 1:  // FRAMES
      dim(ctl::Main::FiberSelect, 0);
      dim(ctl::Main::FocusChannel, 0);
      dim(ctl::Main::ModeGatedControl, 0);
      fpga_.WriteCommandFPGA(kCmdReadOutMode, 0x20, 0x00);
      break;
    case 2:  // SUMS_MAXIMUMS_ANALYSIS
      show(ctl::Main::SumsGraph, 1);
      show(ctl::Main::StatusTable, 1);
      dim(ctl::Main::ModeGatedControl, 0);
      for (int c : kRawGraphs) show(c, 0);
      show(ctl::Main::ShowNormalized, 1);
      for (int ch = 0; ch < kChannels; ++ch) show(ctl::Main::PlotCh[ch], 1);
      show(ctl::Main::SumSelect, 1);
      fpga_.WriteCommandFPGA(kCmdReadOutMode, 0x40, 0x00);
      break;
    case 3:  // SINGLE_VALUE
      dim(ctl::Main::FiberSelect, 0);
      dim(ctl::Main::SingleValueSelect, 0);
      dim(ctl::Main::ModeGatedControl, 0);
      fpga_.WriteCommandFPGA(kCmdReadOutMode, 0x30, 0x00);
      break;
    default:
      break;
  }

  if (fiber == 0) fpga_.WriteCommandFPGA(kCmdFiber, 0x10, 0x00);
  if (fiber == 1) fpga_.WriteCommandFPGA(kCmdFiber, 0x20, 0x00);
  if (single >= 0 && single <= 7)
    fpga_.WriteCommandFPGA(kCmdSingleValue, 0xA1, static_cast<uint8_t>(single + 1));
  else if (single >= 8 && single <= 15)
    fpga_.WriteCommandFPGA(kCmdSingleValue, 0xA0, static_cast<uint8_t>(0x11 + single - 8));
  return 0;
}

int FpgaConfig::UpdateMainPanelWithoutFpga() {
  const int m = panels_.MainPanel;
  AdcCfcfocus = rt_.GetCtrlValI(m, ctl::Main::FocusChannel);
  rt_.SetCtrlAttribute(m, ctl::Main::AcqTimer, rt::ATTR_INTERVAL,
                       rt_.GetCtrlValD(m, ctl::Main::AcqInterval));
  return 0;
}

int FpgaConfig::UpdateCurrentChangeInFPGA() {
  const int o = panels_.OptionsPanel;
  rt_.SetCtrlVal(o, ctl::Options::LinkSources, 0);
  for (int ch = 0; ch < kChannels; ++ch) {
    const int i = rt_.GetCtrlValI(panels_.TestCFCPanel, ctl::Test::CurrentSelect[ch]);
    // A ring pointing outside the table leaves the channel's sources as they are.
    if (i < 0 || i >= kCurrentSetupCapacity) continue;
    const CurrentSetup &setup = setups_.CalibrParameter[static_cast<size_t>(i)];
    rt_.SetCtrlVal(o, ctl::Options::SourceSelA[ch], setup.Mux);
    rt_.SetCtrlVal(o, ctl::Options::SourceSelB[ch], setup.Mux_1);
    rt_.SetCtrlVal(o, ctl::Options::SourceValue[ch], setup.Dac[ch]);
  }
  return UpdateFPGAConfigFromOptionPanel();
}

int FpgaConfig::UpdateCurrentChange(int panel, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  const bool fromTest = panel == panels_.TestCFCPanel;
  const int from = fromTest ? panels_.TestCFCPanel : panels_.OptionsPanel;
  const int to = fromTest ? panels_.OptionsPanel : panels_.TestCFCPanel;
  // The rings of both panels carry the same ids.
  for (int ch = 0; ch < kChannels; ++ch)
    rt_.SetCtrlVal(to, ctl::Options::CurrentSelect[ch],
                   rt_.GetCtrlValD(from, ctl::Options::CurrentSelect[ch]));
  UpdateCurrentChangeInFPGA();
  return 0;
}

int FpgaConfig::ChangeReadOutMode(int, int, int event) {
  if (event != rt::EVENT_COMMIT) return 0;
  if (rt_.GetCtrlValI(panels_.TabSlope, ctl::TabSlope::ReadOutChoice) == 1) {
    for (int ch = 0; ch < kChannels; ++ch)
      rt_.SetCtrlIndex(panels_.TestCFCPanel, ctl::Test::CurrentSelect[ch], 0);
    UpdateCurrentChangeInFPGA();
  } else {
    rt_.SetCtrlVal(panels_.OptionsPanel, ctl::Options::LinkSources, 1);
    rt_.SetCtrlVal(panels_.OptionsPanel, ctl::Options::SourceOn[0], 1);
    UpdateFPGAConfigFromOptionPanel();
  }
  return 0;
}

}  // namespace hw
